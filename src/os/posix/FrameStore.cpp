// One file per module state in the cache's frames/ folder, private to the
// user like the debug copies: what it holds decides what exceptions say.
// The file names the state by its checksum and holds the state itself, so
// that two states never share frames; it ends in a checksum of its bytes,
// and a file that is not the user's own, is damaged or reads oddly in any
// way is ignored and written again. Writers write a whole new file under a
// unique name and rename it into place.
#include "os/posix/FrameStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/posix/DebugFileCache.h"
#include "os/posix/OwnedFile.h"

namespace kw::os {

namespace {

const char kMark[8] = {'K', 'W', 'F', 'R', 'A', 'M', 'E', '1'};
// Frames kept per module: a program throws from a bounded set of places.
const std::size_t kMaxFrames = 4096;
const std::size_t kMaxFileSize = 16u << 20;

std::uint64_t keyOf(std::uint64_t offset, bool exact) { return offset * 2 + (exact ? 1 : 0); }

class Writer {
 public:
  void bytes(const void* data, std::size_t size) {
    m_text.append(static_cast<const char*>(data), size);
  }
  template <typename Number>
  void number(Number value) {
    bytes(&value, sizeof value);
  }
  void text(const std::string& value) {
    number(static_cast<std::uint32_t>(value.size()));
    bytes(value.data(), value.size());
  }
  std::string& result() { return m_text; }

 private:
  std::string m_text;
};

// Reads what Writer wrote; every read fails once one ran past the end.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : m_at(data), m_left(size) {}
  bool bytes(void* data, std::size_t size) {
    if (!m_ok || size > m_left) return m_ok = false;
    std::memcpy(data, m_at, size);
    m_at += size;
    m_left -= size;
    return true;
  }
  template <typename Number>
  bool number(Number& value) {
    return bytes(&value, sizeof value);
  }
  bool text(std::string& value) {
    std::uint32_t size = 0;
    if (!number(size) || size > m_left) return m_ok = false;
    value.assign(m_at, size);
    m_at += size;
    m_left -= size;
    return true;
  }
  bool atEnd() const { return m_ok && m_left == 0; }

 private:
  const char* m_at;
  std::size_t m_left;
  bool m_ok = true;
};

enum Flags : std::uint8_t { kSymbol = 1, kLineLookup = 2, kLine = 4, kModule = 8 };

void writeFrame(Writer& out, std::uint64_t key, const FrameSymbols& frame) {
  out.number(key);
  out.number(static_cast<std::uint8_t>(
      (frame.symbolFound ? kSymbol : 0) | (frame.lineLookup ? kLineLookup : 0) |
      (frame.lineFound ? kLine : 0) | (frame.moduleFound ? kModule : 0)));
  out.number(frame.symbolError);
  out.number(frame.lineError);
  out.number(frame.moduleError);
  out.number(static_cast<std::int32_t>(frame.symType));
  out.number(frame.offsetFromSymbol);
  out.number(frame.lineNumber);
  out.number(frame.offsetFromLine);
  for (const std::string* text : {&frame.name, &frame.undecoratedName, &frame.fullName,
                                  &frame.fileName, &frame.moduleName, &frame.loadedImageName})
    out.text(*text);
}

bool readFrame(Reader& in, std::uint64_t& key, FrameSymbols& frame) {
  std::uint8_t flags = 0;
  std::int32_t symType = 0;
  bool read = in.number(key) && in.number(flags) && in.number(frame.symbolError) &&
              in.number(frame.lineError) && in.number(frame.moduleError) && in.number(symType) &&
              in.number(frame.offsetFromSymbol) && in.number(frame.lineNumber) &&
              in.number(frame.offsetFromLine);
  for (std::string* text : {&frame.name, &frame.undecoratedName, &frame.fullName, &frame.fileName,
                            &frame.moduleName, &frame.loadedImageName})
    read = read && in.text(*text);
  frame.symbolFound = flags & kSymbol;
  frame.lineLookup = flags & kLineLookup;
  frame.lineFound = flags & kLine;
  frame.moduleFound = flags & kModule;
  frame.symType = symType;
  return read;
}

// The frames of the file when it is whole and of this state; false otherwise.
bool parse(const std::string& bytes, const std::string& state,
           std::map<std::uint64_t, FrameSymbols>& frames) {
  std::uint64_t sum = 0;
  if (bytes.size() < sizeof kMark + sizeof sum) return false;
  const std::size_t body = bytes.size() - sizeof sum;
  std::memcpy(&sum, bytes.data() + body, sizeof sum);
  if (sum != checksumOf(bytes.data(), body)) return false;
  Reader in(bytes.data(), body);
  char mark[sizeof kMark];
  std::string stored;
  std::uint32_t count = 0;
  if (!in.bytes(mark, sizeof mark) || std::memcmp(mark, kMark, sizeof mark) != 0 ||
      !in.text(stored) || stored != state || !in.number(count) || count > kMaxFrames)
    return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t key = 0;
    FrameSymbols frame;
    if (!readFrame(in, key, frame)) return false;
    frames[key] = std::move(frame);
  }
  return in.atEnd();
}

std::string serialise(const std::string& state,
                      const std::map<std::uint64_t, FrameSymbols>& frames) {
  Writer out;
  out.bytes(kMark, sizeof kMark);
  out.text(state);
  out.number(static_cast<std::uint32_t>(frames.size()));
  for (const auto& frame : frames) writeFrame(out, frame.first, frame.second);
  out.number(checksumOf(out.result().data(), out.result().size()));
  return std::move(out.result());
}

// The file's bytes, when it is the user's own regular file of a sane size.
bool readStore(int folder, const std::string& name, std::string& bytes, bool touch) {
  int fd = openOwnedFile(folder, name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  struct stat info;
  bool read = fstat(fd, &info) == 0 && info.st_size > 0 &&
              static_cast<std::size_t>(info.st_size) <= kMaxFileSize;
  if (read) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    for (std::size_t done = 0; read && done < bytes.size();) {
      const ssize_t count = pread(fd, &bytes[done], bytes.size() - done, static_cast<off_t>(done));
      if (count < 0 && errno == EINTR) continue;
      read = count > 0;
      if (read) done += static_cast<std::size_t>(count);
    }
  }
  if (read && touch) markCacheEntryUsed(fd, info.st_mtime);
  close(fd);
  return read;
}

bool writeAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

FrameStore::FrameStore(std::string state, std::string searchPath)
    : m_state(std::move(state)), m_searchPath(std::move(searchPath)) {
  const std::uint64_t id = checksumOf(m_state.data(), m_state.size());
  m_name = hexText(&id, sizeof id) + ".frames";
  int folder = openCacheFolder("frames");
  // Without a folder of the user's own nothing is kept.
  if (folder < 0) {
    m_enabled = false;
    return;
  }
  std::string bytes;
  if (readStore(folder, m_name, bytes, true) && !parse(bytes, m_state, m_frames)) m_frames.clear();
  close(folder);
}

const FrameSymbols* FrameStore::find(std::uint64_t offset, bool exact) const {
  if (!m_enabled) return nullptr;
  auto found = m_frames.find(keyOf(offset, exact));
  return found == m_frames.end() ? nullptr : &found->second;
}

void FrameStore::add(std::uint64_t offset, bool exact, const FrameSymbols& symbols) {
  if (!m_enabled) return;
  FrameSymbols kept = symbols;
  kept.moduleBase = 0;
  kept.keptLine.clear();
  m_added.emplace_back(keyOf(offset, exact), kept);
  m_frames[keyOf(offset, exact)] = std::move(kept);
}

void FrameStore::disable() {
  m_enabled = false;
  m_added.clear();
  m_frames.clear();
}

void FrameStore::save() {
  if (m_added.empty()) return;
  int folder = openCacheFolder("frames");
  if (folder < 0) {
    m_added.clear();
    return;
  }
  // Another process may have kept frames since this one read the file.
  std::map<std::uint64_t, FrameSymbols> frames;
  std::string bytes;
  const bool existed = readStore(folder, m_name, bytes, false);
  if (!existed || !parse(bytes, m_state, frames) || frames.size() + m_added.size() > kMaxFrames)
    frames.clear();
  for (auto& added : m_added) frames[added.first] = std::move(added.second);
  m_added.clear();
  while (frames.size() > kMaxFrames) frames.erase(frames.begin());

  const std::string temporary = temporaryNameFor(m_name);
  int fd = openOwnedFile(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  // Not flushed: a file a crash damaged fails its checksum and is written again.
  const bool written = fd >= 0 && writeAll(fd, serialise(m_state, frames));
  if (fd >= 0) close(fd);
  if (written && renameat(folder, temporary.c_str(), folder, m_name.c_str()) == 0) {
    if (!existed) pruneCacheFolder(folder, m_name);
  } else if (fd >= 0) {
    unlinkat(folder, temporary.c_str(), 0);
  }
  m_frames = std::move(frames);
  close(folder);
}

}  // namespace kw::os
