// ScratchDir: a uniquely named folder under the temporary folder, removed with its contents.
#include "support/ScratchDir.h"

#include <atomic>
#include <chrono>
#include <random>

namespace kwtest {

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("kwtest-" + std::to_string(random()) + "-" + std::to_string(stamp) +
                             "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      m_path = candidate;
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kwtest
