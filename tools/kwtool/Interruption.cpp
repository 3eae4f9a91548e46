// Ctrl+C and SIGTERM noted rather than fatal while a command holds a channel.
#include "kwtool/Interruption.h"

#include <atomic>
#include <csignal>
#include <mutex>

namespace kwtool {

namespace {

// Lock-free, so the handler may store to it; atomic, so the loops of two
// commands run side by side (as the tests do) read it without a race.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may store to it");

extern "C" void onSignal(int number) { g_signal.store(number, std::memory_order_relaxed); }

using Handler = void (*)(int);

// The first living Interruption installs the handlers, the last puts the
// previous ones back.
std::mutex g_lock;
int g_users = 0;
Handler g_previousInterrupt = SIG_DFL;
Handler g_previousTerminate = SIG_DFL;

}  // namespace

Interruption::Interruption() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_users++ > 0) return;
  g_signal.store(0, std::memory_order_relaxed);
  g_previousInterrupt = std::signal(SIGINT, onSignal);
  g_previousTerminate = std::signal(SIGTERM, onSignal);
}

Interruption::~Interruption() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (--g_users > 0) return;
  std::signal(SIGINT, g_previousInterrupt == SIG_ERR ? SIG_DFL : g_previousInterrupt);
  std::signal(SIGTERM, g_previousTerminate == SIG_ERR ? SIG_DFL : g_previousTerminate);
}

bool Interruption::requested() { return g_signal.load(std::memory_order_relaxed) != 0; }

int Interruption::exitCode() {
  const int number = g_signal.load(std::memory_order_relaxed);
  return number == 0 ? 0 : 128 + number;
}

}  // namespace kwtool
