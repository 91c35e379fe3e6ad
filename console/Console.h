#pragma once

#include <functional>

// Key input for a console program on Linux: key test, unechoed key read, sleep.
//
// On a foreground terminal the first key call switches stdin to unechoed, non-canonical
// input (Ctrl-C still raises SIGINT); the saved modes come back at exit, on restoreTerminal(),
// on std::terminate and on the second SIGINT/SIGTERM. From a pipe or file the bytes read are
// the key codes. A key that produces several codes (escape sequences, UTF-8) delivers them in
// successive calls. Enter arrives as '\n' (10). All calls are thread-safe.
namespace Console {

// Non-zero when a key code waits; never blocks. 0 after end of input with nothing queued.
int _kbhit();
// Next key code (0..255). Blocks until one is available; -1 at once, every time, at end of input.
int _getch();
// True once stdin has ended and every code read from it has been taken: no key can
// arrive from the terminal or pipe any more (pushKey and signal keys still can).
bool inputClosed();
// Blocks until another thread takes a key (the code stays theirs, so no key is lost),
// input has ended, or keepWaiting() turns false. True when a key was taken.
bool waitForKeyTaken(const std::function<bool()>& keepWaiting);
// Blocks for at least `milliseconds`; zero or negative returns at once.
void _sleep(int milliseconds);
// Queues a key from another source (e.g. a viewer window) after the codes already waiting.
void pushKey(int code);
// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM become a 'q' key and a
// stop request (all but SIGINT and SIGTERM stay ignored when they were); a second one
// restores the terminal and ends the process at once with status 130.
void installSignalKeys();
// The first stop signal caught (0 when none): the console loop ends on it ahead of queued keys.
int stopRequested();
// Puts back the terminal modes saved before raw input; harmless when none were changed.
void restoreTerminal();

}  // namespace Console
