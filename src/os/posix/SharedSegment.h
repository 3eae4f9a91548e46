// A named POSIX shared-memory object that lives exactly as long as some
// process has it open, as a Windows named object does: openers are listed
// by process ID, and an object that no live process holds (its last opener
// closed it, or died) is laid out afresh by the next opener.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kw::os {

class SharedSegment {
 public:
  SharedSegment() = default;
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;
  ~SharedSegment() { close(); }

  // "Local\\a.b" becomes "/a.b"; separators become '_' and an overlong
  // name is shortened with a hash of the whole.
  static std::string objectName(const wchar_t* name);

  // Maps `size` bytes of the object, created with mode 0600 when missing.
  // `layOut` runs on zeroed bytes when the object is fresh, under a lock
  // that keeps other openers out. False on failure, with errno set.
  bool open(const std::string& objectName, std::size_t size, std::uint32_t magic,
            const std::function<void(void*)>& layOut);
  // Removes this opener; the last live one unlinks the object.
  void close();

  void* data() const { return m_data; }
  bool isOpen() const { return m_base != nullptr; }

 private:
  struct Header;

  bool lockedOpen(int fd, std::size_t size, std::uint32_t magic,
                  const std::function<void(void*)>& layOut);

  std::string m_name;
  int m_fd = -1;
  void* m_base = nullptr;
  void* m_data = nullptr;
  std::size_t m_total = 0;
};

}  // namespace kw::os
