// Waiting for another thread or process to get somewhere, bounded so that a
// hang fails the test instead of stalling the suite.
#pragma once

#include <functional>

namespace kwtest {

// Polls `done` until it holds or the time-out passes; its last answer. Ten
// seconds is long enough for a loaded machine.
bool eventually(const std::function<bool()>& done, int timeoutMs = 10000);

}  // namespace kwtest
