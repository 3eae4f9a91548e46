// Execute: starts a command line hidden from a folder and waits up to five seconds for it.
#include <kw/Execute.h>

#include <string>

#include "Utf16.h"
#include "os/FileSystem.h"
#include "os/Identity.h"
#include "os/Process.h"

namespace kw {

namespace {

// The command line's buffer holds MAX_PATH characters with the terminator;
// a longer line is refused, not cut.
constexpr std::size_t kMaxCommandLine = 259;
constexpr unsigned kWaitMs = 5000;

}  // namespace

bool Execute::exec(const wchar_t* program, const wchar_t* folder) {
  if (!program || !*program) return false;
  std::wstring line;
  if (folder) {
    line = folder;
    line += os::kSeparator;
  } else {
    line = os::executablePath();
    std::size_t separator = line.rfind(os::kSeparator);
    line.erase(separator == std::wstring::npos ? 0 : separator + 1);
  }
  line += program;
  // Counted in UTF-16 code units, so both platforms refuse the same lines.
  if (utf16::unitCount(line) > kMaxCommandLine) return false;
  return os::runHidden(line, kWaitMs);
}

}  // namespace kw
