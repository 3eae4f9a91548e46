#include "kwtool/Interruption.h"

#include <csignal>

namespace kwtool {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void onSignal(int number) { g_signal = number; }

using Handler = void (*)(int);
Handler g_previousInterrupt = SIG_DFL;
Handler g_previousTerminate = SIG_DFL;

}  // namespace

Interruption::Interruption() {
  g_signal = 0;
  g_previousInterrupt = std::signal(SIGINT, onSignal);
  g_previousTerminate = std::signal(SIGTERM, onSignal);
}

Interruption::~Interruption() {
  std::signal(SIGINT, g_previousInterrupt == SIG_ERR ? SIG_DFL : g_previousInterrupt);
  std::signal(SIGTERM, g_previousTerminate == SIG_ERR ? SIG_DFL : g_previousTerminate);
}

bool Interruption::requested() { return g_signal != 0; }

int Interruption::exitCode() { return g_signal == 0 ? 0 : 128 + g_signal; }

}  // namespace kwtool
