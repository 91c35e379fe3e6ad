// Standard output and error that cannot hold the program: when one is a pipe, a
// socket or a terminal, what the program writes there goes into a pipe of its own
// instead, which a relay thread empties into memory at once; a writer thread passes
// it on to the real destination. A destination that takes nothing (a pipe nobody
// reads, a terminal on hold) then blocks that writer thread only, never a thread of
// the run. Files and /dev/null are left as they are: they do not block.
//
// Both streams on one destination (a terminal) share one relay, so their lines keep
// their order. Every stdio, iostream and library write goes through the relay.
#pragma once

#include <cstdint>
#include <string>

namespace Console {

// Once, at the start of the program, before any thread is started.
void relayStandardOutput();

// What became of the relayed bytes when the program ends.
struct OutputEnd {
    uint64_t delivered = 0;  // reached their destination
    uint64_t lost = 0;       // dropped (memory bound reached, destination closed) or left behind
};

// At the end of the program: flushes stdio and iostreams, then waits until everything
// written reached its destination, or until a destination has taken nothing for
// patienceMs (it is given up: what it did not take is lost). Harmless without relays.
OutputEnd finishStandardOutput(int patienceMs);

// Standard error's terminal gets a status line (the progress) below the output: taken away
// before each output and drawn again after each whole line, so the two never mix; empty
// text takes it away. False (nothing drawn) when standard error is not a relayed terminal.
bool showStatusLine(const std::string& text);

// Whether the program's standard output (1) or error (2) was a terminal when it started.
bool isTerminal(int fd);

}  // namespace Console
