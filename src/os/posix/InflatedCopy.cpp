// Compressed sections inflated by libdeflate, which takes half the
// instructions of libelf's zlib. A 64-bit file of the host's byte order with
// zlib sections, which is what distributions ship, is laid out here and
// inflated straight into a mapping of the new file: no copy of the
// original's bytes to rewrite, no buffer per section and no second write.
// Anything else is copied and libelf inflates and lays it out again.
#include "os/posix/InflatedCopy.h"

#include <elf.h>
#include <gelf.h>
#include <libdeflate.h>
#include <libelf.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "os/posix/DebugFileCache.h"

namespace kw::os {

namespace {

// Copies bigger than this are not made.
const std::uint64_t kMaxCopy = 4ull << 30;

class Mapping {
 public:
  Mapping(void* start, std::size_t size) : m_start(start), m_size(size) {}
  ~Mapping() {
    if (m_start != MAP_FAILED) munmap(m_start, m_size);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  explicit operator bool() const { return m_start != MAP_FAILED; }
  unsigned char* bytes() const { return static_cast<unsigned char*>(m_start); }

 private:
  void* m_start;
  std::size_t m_size;
};

std::uint64_t alignedUp(std::uint64_t value, std::uint64_t align) {
  return (value + align - 1) / align * align;
}

bool hostOrder(unsigned char data) {
  return data == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB);
}

// Whether `count` records of `size` bytes at `offset` lie within `total`.
bool within(std::uint64_t offset, std::uint64_t count, std::uint64_t size, std::uint64_t total) {
  return offset <= total && count <= (total - offset) / size;
}

// The sections in the order of their bytes in the original, the null one left out.
std::vector<std::size_t> fileOrder(const std::vector<Elf64_Shdr>& headers) {
  std::vector<std::size_t> order(headers.size() - 1);
  std::iota(order.begin(), order.end(), 1);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return headers[a].sh_offset < headers[b].sh_offset;
  });
  return order;
}

// The copy of a 64-bit file of the host's byte order, laid out as the
// original: headers first, then each section in its order and alignment
// (an inflated one at its inflated size and alignment), then the section
// headers. False for anything it does not lay out so.
bool writeLaidOut(int original, int fd, libdeflate_decompressor* inflater,
                  std::optional<std::uint64_t>& sum) {
  struct stat info;
  if (!inflater || fstat(original, &info) != 0 ||
      static_cast<std::uint64_t>(info.st_size) < sizeof(Elf64_Ehdr) ||
      static_cast<std::uint64_t>(info.st_size) > kMaxCopy)
    return false;
  const auto size = static_cast<std::size_t>(info.st_size);
  const Mapping in(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, original, 0), size);
  if (!in) return false;
  const unsigned char* image = in.bytes();
  Elf64_Ehdr elfHeader;
  std::memcpy(&elfHeader, image, sizeof elfHeader);
  if (std::memcmp(elfHeader.e_ident, ELFMAG, SELFMAG) != 0 ||
      elfHeader.e_ident[EI_CLASS] != ELFCLASS64 || !hostOrder(elfHeader.e_ident[EI_DATA]) ||
      elfHeader.e_shentsize != sizeof(Elf64_Shdr) || elfHeader.e_shnum == 0 ||
      !within(elfHeader.e_shoff, elfHeader.e_shnum, sizeof(Elf64_Shdr), size) ||
      (elfHeader.e_phnum != 0 &&
       (elfHeader.e_phentsize != sizeof(Elf64_Phdr) ||
        !within(elfHeader.e_phoff, elfHeader.e_phnum, sizeof(Elf64_Phdr), size))))
    return false;
  std::vector<Elf64_Shdr> from(elfHeader.e_shnum);
  std::memcpy(from.data(), image + elfHeader.e_shoff, from.size() * sizeof(Elf64_Shdr));
  std::vector<Elf64_Shdr> to = from;

  std::uint64_t at = sizeof(Elf64_Ehdr), phoff = 0;
  if (elfHeader.e_phnum != 0) {
    phoff = alignedUp(at, 8);
    at = phoff + elfHeader.e_phnum * sizeof(Elf64_Phdr);
  }
  for (std::size_t index : fileOrder(from)) {
    const Elf64_Shdr& source = from[index];
    Elf64_Shdr& header = to[index];
    if (source.sh_type != SHT_NOBITS && !within(source.sh_offset, source.sh_size, 1, size))
      return false;
    if (source.sh_flags & SHF_COMPRESSED) {
      Elf64_Chdr chdr;
      if (source.sh_type == SHT_NOBITS || source.sh_size < sizeof chdr) return false;
      std::memcpy(&chdr, image + source.sh_offset, sizeof chdr);
      if (chdr.ch_type != ELFCOMPRESS_ZLIB) return false;
      header.sh_flags &= ~static_cast<Elf64_Xword>(SHF_COMPRESSED);
      header.sh_size = chdr.ch_size;
      header.sh_addralign = chdr.ch_addralign;
    }
    const std::uint64_t align = header.sh_addralign ? header.sh_addralign : 1;
    if ((align & (align - 1)) != 0 || align > 4096) return false;
    header.sh_offset = at = alignedUp(at, align);
    if (header.sh_type != SHT_NOBITS) at += header.sh_size;
    if (at > kMaxCopy) return false;
  }
  const std::uint64_t shoff = alignedUp(at, 8), total = shoff + to.size() * sizeof(Elf64_Shdr);

  if (ftruncate(fd, static_cast<off_t>(total)) != 0) return false;
  const Mapping out(mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), total);
  if (!out) return false;
  unsigned char* copy = out.bytes();
  // Its pages made at once, not one fault at a time as they are written.
  madvise(copy, total, MADV_POPULATE_WRITE);
  Elf64_Ehdr copyHeader = elfHeader;
  copyHeader.e_phoff = phoff;
  copyHeader.e_shoff = shoff;
  std::memcpy(copy, &copyHeader, sizeof copyHeader);
  if (elfHeader.e_phnum != 0)
    std::memcpy(copy + phoff, image + elfHeader.e_phoff, elfHeader.e_phnum * sizeof(Elf64_Phdr));
  for (std::size_t index = 1; index < to.size(); ++index) {
    const Elf64_Shdr &source = from[index], &header = to[index];
    if (header.sh_type == SHT_NOBITS || header.sh_size == 0) continue;
    if (!(source.sh_flags & SHF_COMPRESSED)) {
      std::memcpy(copy + header.sh_offset, image + source.sh_offset, source.sh_size);
      continue;
    }
    std::size_t inflated = 0;
    if (libdeflate_zlib_decompress(inflater, image + source.sh_offset + sizeof(Elf64_Chdr),
                                   source.sh_size - sizeof(Elf64_Chdr), copy + header.sh_offset,
                                   header.sh_size, &inflated) != LIBDEFLATE_SUCCESS ||
        inflated != header.sh_size)
      return false;
  }
  std::memcpy(copy + shoff, to.data(), to.size() * sizeof(Elf64_Shdr));
  // While the bytes are at hand; the flush before the copy takes its name
  // reports any that did not reach the file.
  sum = checksumOf(copy, total);
  return true;
}

bool copyBytes(int from, int to) {
  char buffer[1 << 16];
  off_t offset = 0;
  for (;;) {
    ssize_t count = pread(from, buffer, sizeof buffer, offset);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    for (ssize_t done = 0; done < count;) {
      ssize_t written = write(to, buffer + done, static_cast<std::size_t>(count - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
    offset += count;
  }
}

// One zlib section inflated by libdeflate, which takes half the
// instructions of libelf's zlib for what the copy holds most of.
bool inflateSection(libdeflate_decompressor* inflater, Elf* elf, Elf_Scn* scn, GElf_Shdr& header,
                    std::unique_ptr<unsigned char[]>& inflated) {
  GElf_Chdr chdr;
  Elf_Data* raw = elf_rawdata(scn, nullptr);
  const std::size_t chdrSize =
      gelf_getclass(elf) == ELFCLASS32 ? sizeof(Elf32_Chdr) : sizeof(Elf64_Chdr);
  if (!inflater || !gelf_getchdr(scn, &chdr) || chdr.ch_type != ELFCOMPRESS_ZLIB || !raw ||
      raw->d_size < chdrSize)
    return false;
  // Not zeroed first: every byte is written or the section is refused.
  inflated.reset(new unsigned char[chdr.ch_size]);
  std::size_t size = 0;
  if (libdeflate_zlib_decompress(inflater, static_cast<const char*>(raw->d_buf) + chdrSize,
                                 raw->d_size - chdrSize, inflated.get(), chdr.ch_size,
                                 &size) != LIBDEFLATE_SUCCESS ||
      size != chdr.ch_size)
    return false;
  Elf_Data* data = elf_getdata(scn, nullptr);
  if (!data) return false;
  data->d_buf = inflated.get();
  data->d_size = size;
  data->d_type = ELF_T_BYTE;
  data->d_off = 0;
  data->d_align = chdr.ch_addralign;
  header.sh_flags &= ~static_cast<GElf_Xword>(SHF_COMPRESSED);
  header.sh_size = size;
  header.sh_addralign = chdr.ch_addralign;
  return gelf_update_shdr(scn, &header) && elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY) &&
         elf_flagshdr(scn, ELF_C_SET, ELF_F_DIRTY);
}

// Inflates every compressed section of the copy in place; libelf lays the
// file out again.
bool decompressInPlace(int fd, libdeflate_decompressor* inflater) {
  std::unique_ptr<Elf, int (*)(Elf*)> elf(elf_begin(fd, ELF_C_RDWR, nullptr), &elf_end);
  if (!elf) return false;
  // The sections' bytes until libelf has written them.
  std::vector<std::unique_ptr<unsigned char[]>> inflated;
  for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn; scn = elf_nextscn(elf.get(), scn)) {
    GElf_Shdr header;
    if (!gelf_getshdr(scn, &header)) return false;
    if (!(header.sh_flags & SHF_COMPRESSED)) continue;
    inflated.emplace_back();
    // Other kinds of compression, and anything libdeflate refuses, are libelf's.
    if (!inflateSection(inflater, elf.get(), scn, header, inflated.back()) &&
        elf_compress(scn, 0, 0) < 0)
      return false;
  }
  off_t size = elf_update(elf.get(), ELF_C_WRITE);
  return size >= 0 && ftruncate(fd, size) == 0;
}

}  // namespace

bool writeInflatedCopy(int original, int fd, std::optional<std::uint64_t>& sum) {
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
      libdeflate_alloc_decompressor(), &libdeflate_free_decompressor);
  sum.reset();
  if (writeLaidOut(original, fd, inflater.get(), sum)) return true;
  sum.reset();
  return ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 && copyBytes(original, fd) &&
         decompressInPlace(fd, inflater.get());
}

}  // namespace kw::os
