// Ctrl+C and SIGTERM noted rather than fatal while a command holds a channel.
#pragma once

namespace kwtool {

// While one lives, Ctrl+C (SIGINT) and SIGTERM no longer end the process at
// once: they are noted, so that a command's loop can stop and let its
// devices remove the channel's objects on the way out.
class Interruption {
 public:
  Interruption();
  ~Interruption();
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // True once a signal came; the exit code that the signal asks for
  // (130 for SIGINT, 143 for SIGTERM), or 0 while none came.
  static bool requested();
  static int exitCode();
};

}  // namespace kwtool
