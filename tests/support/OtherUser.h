// Acting as a second local user ("nobody"), as a hostile neighbour on the
// same machine would (Linux only; needs root).
#pragma once

#include <string>

namespace kwtest {

// Whether this process can act as the second user; the reason when not.
bool canActAsOtherUser(std::string& reason);

// Turns the calling process into the second user for good: for a child
// process started to play that user. False when it could not.
bool becomeOtherUser();

// Runs `body` in a child forked now as the second user and returns its exit
// code (-1 when it could not run). Only system calls belong in `body`: the
// test process has threads.
int runAsOtherUser(int (*body)(const void* data), const void* data);

// The second user's ID (0 when there is none).
unsigned otherUserId();

}  // namespace kwtest
