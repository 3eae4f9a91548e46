// The debug-file search: by build ID below the search path's folders, then
// by the module's debug link, checked against the link's CRC.
#include "os/posix/DebugFileSearch.h"

#include <elfutils/libdwelf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/posix/DebugFileCache.h"
#include "os/posix/OwnedFile.h"
#include "os/posix/SymbolSession.h"

namespace kw::os {

namespace {

// The checksum of a debug link, over no more than the file's size.
std::uint32_t fileCrc32(int fd) {
  static std::uint32_t table[256];
  if (table[1] == 0)
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  std::uint32_t crc = 0xFFFFFFFFu;
  struct stat info;
  if (fstat(fd, &info) != 0) return crc;
  unsigned char buffer[65536];
  off_t done = 0;
  for (ssize_t count; done < info.st_size; done += count) {
    const auto want = static_cast<std::size_t>(
        std::min<off_t>(static_cast<off_t>(sizeof buffer), info.st_size - done));
    count = pread(fd, buffer, want, done);
    if (count < 0 && errno == EINTR)
      count = 0;
    else if (count <= 0)
      break;
    for (ssize_t i = 0; i < count; ++i) crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

// The folders of a debug-info path, without their +/- marks.
std::vector<std::string> debuginfoPlaces(const std::string& path) {
  std::vector<std::string> places;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(':', start), path.size());
    std::string place = path.substr(start, end - start);
    start = end + 1;
    if (!place.empty() && (place[0] == '+' || place[0] == '-')) place.erase(0, 1);
    places.push_back(place);
  }
  return places;
}

// The files named by a build ID below the absolute folders of the path, as
// libdw names them, in the order they are tried.
std::vector<std::string> buildIdCandidates(const std::string& id, const std::string& path) {
  std::vector<std::string> candidates;
  if (id.size() < 4) return candidates;
  const std::string name = "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
  for (const std::string& place : debuginfoPlaces(path))
    if (!place.empty() && place[0] == '/') candidates.push_back(place + name);
  return candidates;
}

// The files a debug link names, in the order they are tried: beside the
// module, in the relative folders of the path and below its absolute ones.
std::vector<std::string> debuglinkCandidates(const std::string& file, const char* debuglink,
                                             const std::string& path) {
  std::vector<std::string> candidates;
  if (!debuglink || file.empty() || file[0] != '/') return candidates;
  const std::string folder = file.substr(0, file.find_last_of('/'));
  for (const std::string& place : debuginfoPlaces(path)) {
    std::string candidate = place.empty()     ? folder + "/" + debuglink
                            : place[0] == '/' ? place + folder + "/" + debuglink
                                              : folder + "/" + place + "/" + debuglink;
    if (candidate != file) candidates.push_back(candidate);
  }
  return candidates;
}

// The module's debug file named by its build ID, as libdw would find it.
// libdw's own lookup would keep the file it opened, and so bypass the cache
// of uncompressed copies.
int openByBuildId(Dwfl_Module* module, const std::string& path, char** debugFileName) {
  const unsigned char* bits = nullptr;
  GElf_Addr address = 0;
  int length = dwfl_module_build_id(module, &bits, &address);
  if (length < 2) return -1;
  const std::string id = hexText(bits, static_cast<std::size_t>(length));
  for (const std::string& candidate : buildIdCandidates(id, path)) {
    int fd = openRegularFile(candidate.c_str());
    if (fd < 0) continue;
    fd = uncompressedDebugFile(fd, &id);
    if (fd < 0) continue;
    free(*debugFileName);
    *debugFileName = realpath(candidate.c_str(), nullptr);
    if (!*debugFileName) *debugFileName = strdup(candidate.c_str());
    return fd;
  }
  return -1;
}

// The build ID of the code loaded at [low, high), read from its notes in
// memory; empty when it has none.
std::string loadedBuildId(Dwarf_Addr low, Dwarf_Addr high) {
  struct Search {
    Dwarf_Addr low, high;
    std::string id;
  } search{low, high, std::string()};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* search = static_cast<Search*>(data);
        bool here = false;
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          const Dwarf_Addr start = info->dlpi_addr + header.p_vaddr;
          here = here || (header.p_type == PT_LOAD && start < search->high &&
                          search->low < start + header.p_memsz);
        }
        for (ElfW(Half) i = 0; here && i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          if (header.p_type != PT_NOTE) continue;
          const std::size_t align = header.p_align == 8 ? 8 : 4;
          const auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + header.p_vaddr);
          const unsigned char* end = at + header.p_memsz;
          while (static_cast<std::size_t>(end - at) >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const unsigned char* name = at + sizeof note;
            const unsigned char* desc = name + (note.n_namesz + align - 1) / align * align;
            if (desc > end || note.n_descsz > static_cast<std::size_t>(end - desc)) break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0) {
              search->id = hexText(desc, note.n_descsz);
              return 1;
            }
            at = desc + (note.n_descsz + align - 1) / align * align;
          }
        }
        return here ? 1 : 0;
      },
      &search);
  return search.id;
}

std::string identity(const struct stat& info) {
  char text[160];
  std::snprintf(text, sizeof text, " %llx %llx %o %llx %lld.%09ld %lld.%09ld",
                static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino), static_cast<unsigned>(info.st_mode),
                static_cast<unsigned long long>(info.st_size),
                static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                static_cast<long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
  return text;
}

}  // namespace

int findLocalDebuginfo(Dwfl_Module* module, void** userData, const char* moduleName,
                       Dwarf_Addr base, const char* fileName, const char* debuglink,
                       GElf_Word debuglinkCrc, char** debugFileName) {
  // Asked for a dwz file that the debug file found before refers to, when
  // the module already knows its debug file: that is libdw's to find.
  const char* knownDebugFile = nullptr;
  dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &knownDebugFile);
  const bool forModule = knownDebugFile == *debugFileName;
  int fd = -1;
  if (forModule && *userData)
    fd = openByBuildId(module, static_cast<SymbolSession*>(*userData)->debuginfoPathText,
                       debugFileName);
  if (fd < 0)
    fd = dwfl_build_id_find_debuginfo(module, userData, moduleName, base, fileName, debuglink,
                                      debuglinkCrc, debugFileName);
  if (fd >= 0 || !debuglink || !fileName || fileName[0] != '/' || !*userData) return fd;
  const std::string& path = static_cast<SymbolSession*>(*userData)->debuginfoPathText;
  for (const std::string& candidate : debuglinkCandidates(fileName, debuglink, path)) {
    // Anything of that name may sit beside a program run from a shared
    // folder: a FIFO or a device would hang every exception.
    fd = openRegularFile(candidate.c_str());
    if (fd < 0) continue;
    if (debuglinkCrc == 0 || fileCrc32(fd) == debuglinkCrc) {
      *debugFileName = strdup(candidate.c_str());
      return uncompressedDebugFile(fd);
    }
    close(fd);
  }
  return -1;
}

std::string debugSearchState(Dwfl_Module* module, const std::string& debuginfoPath) {
  Dwarf_Addr low = 0, high = 0;
  const char* name =
      dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr);
  if (!name || name[0] != '/' || elf_version(EV_CURRENT) == EV_NONE) return std::string();
  int fd = openRegularFile(name);
  if (fd < 0) return std::string();
  struct stat info;
  std::string id, link;
  GElf_Word crc = 0;
  bool read = fstat(fd, &info) == 0;
  if (Elf* elf = read ? elf_begin(fd, ELF_C_READ_MMAP, nullptr) : nullptr) {
    const void* bits = nullptr;
    const ssize_t length = dwelf_elf_gnu_build_id(elf, &bits);
    if (length > 0) id = hexText(bits, static_cast<std::size_t>(length));
    if (const char* debuglink = dwelf_elf_gnu_debuglink(elf, &crc)) link = debuglink;
    elf_end(elf);
  } else {
    read = false;
  }
  close(fd);
  // A file replaced since it was loaded is not the code that runs: what it
  // says of an offset holds for no process.
  if (!read || id != loadedBuildId(low, high)) return std::string();
  std::string state = std::string("module ") + name + identity(info) + "\nbuild-id " + id +
                      "\ndebuglink " + link + " " + std::to_string(crc);
  std::vector<std::string> candidates = buildIdCandidates(id, debuginfoPath);
  if (!link.empty()) {
    const auto more = debuglinkCandidates(name, link.c_str(), debuginfoPath);
    candidates.insert(candidates.end(), more.begin(), more.end());
  }
  // Where nothing is found now, nothing was found when the state was written.
  for (const std::string& candidate : candidates)
    if (stat(candidate.c_str(), &info) == 0) state += "\n" + candidate + identity(info);
  return state;
}

}  // namespace kw::os
