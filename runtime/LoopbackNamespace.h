// A network namespace of the calling process's own, with only the loopback interface up:
// a camera served on 127.0.0.1 there can be reached, and nothing sent there leaves it
// (GigE Vision discovery broadcasts; in such a namespace it reaches no other machine).
#pragma once

#include <string>

namespace Vy::Live {

// Moves the calling process (single-threaded: before any thread starts) into a new network
// namespace and brings its loopback up. False with the reason (e.g. not root) when it cannot.
bool enterLoopbackNamespace(std::string& error);

// Whether the process's network has no interface up but loopback (the interfaces the kernel lists).
bool onlyLoopbackUp();

}  // namespace Vy::Live
