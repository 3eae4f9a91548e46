// eventually: a poll every few milliseconds until the condition holds or the time is up.
#include "support/Eventually.h"

#include <chrono>
#include <thread>

namespace kwtest {

bool eventually(const std::function<bool()>& done, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kwtest
