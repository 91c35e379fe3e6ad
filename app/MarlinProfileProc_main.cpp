#include "Application.h"

int main(int argc, char* argv[]) { return runMarlinProfileProc(argc, argv); }
