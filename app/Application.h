// The program from its command line to its exit status.
#pragma once

int runMarlinProfileProc(int argc, const char* const argv[]);
