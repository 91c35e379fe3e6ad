// How a runtime failure is reported on the console: the message, a prompt,
// and a wait for one key so the operator sees it before the run goes on.
#pragma once

#include <functional>

class CVyException;

void reportExceptionAndWaitForKey(const char* text);
void reportExceptionAndWaitForKey(const CVyException& exception);
// The same report from a worker thread while the console loop reads the keys: it
// waits until the loop has taken a key (which still acts there, so a typed 'q' is
// not lost), input has ended, or keepWaiting() turns false.
void reportWorkerException(const char* text, const std::function<bool()>& keepWaiting);
// A worker's step: any exception it throws is reported as above and goes no further,
// so the worker goes on with its next frame. Returns whether the step ended normally.
bool runReportingFailures(const std::function<void()>& step, const std::function<bool()>& keepWaiting);
