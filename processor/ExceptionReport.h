// How a runtime failure is reported on the console: the message, a prompt,
// and a wait for one key so the operator sees it before the run goes on.
#pragma once

class CVyException;

void reportExceptionAndWaitForKey(const char* text);
void reportExceptionAndWaitForKey(const CVyException& exception);
