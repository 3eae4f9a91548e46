// The trace file on Linux: opened for append, written in one call, closed.
// Twin: src/os/win32/TraceFile.cpp.
#include "os/TraceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "Utf16.h"
#include "os/ErrorText.h"
#include "os/posix/OwnedFile.h"

namespace kw::os {

namespace {

int toDescriptor(TraceFileHandle file) { return static_cast<int>(file); }

// A device opens the same file for every event: its name is converted once
// per thread, not once per event.
const std::string& narrowPath(const std::wstring& path) {
  struct Names {
    std::wstring wide;
    std::string narrow;
  };
  thread_local Names t_last;
  Names& last = t_last;
  if (path != last.wide || last.narrow.empty()) {
    last.narrow = utf16::toUtf8(path);
    last.wide = path;
  }
  return last.narrow;
}

}  // namespace

OwnedTraceFile traceFileOpen(const std::wstring& path) {
  // No lock stands in for Windows' unshared open. Our own writers already
  // take turns under the logger's cross-process lock, and O_APPEND puts each
  // event's single write whole at the end, whoever else appends. An advisory
  // lock would only let another program, or another user who can open the
  // file, silence the trace. A link or another user's file in its place
  // would turn the trace into a write elsewhere: it is not opened.
  const int fd =
      openOwnedFile(AT_FDCWD, narrowPath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  return OwnedTraceFile(fd < 0 ? TraceFileHandle::None : static_cast<TraceFileHandle>(fd));
}

void traceFileWrite(TraceFileHandle file, const wchar_t* text, std::size_t length) {
  // Most events fit the stack. Room for a surrogate pair per character spares
  // a counting pass over the text.
  char local[4096];
  std::unique_ptr<char[]> heap;
  char* bytes = local;
  if (length > sizeof local / 4) {
    heap.reset(new char[length * 4]);
    bytes = heap.get();
  }
  const std::size_t size = static_cast<std::size_t>(utf16::writeLE(bytes, text, length) - bytes);
  // A partial write would leave half a code unit behind and shift every
  // later line; finish it unless the file refuses.
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(toDescriptor(file), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

void traceFileClose(TraceFileHandle file) {
  keepingLastError([file] { ::close(toDescriptor(file)); });
}

}  // namespace kw::os
