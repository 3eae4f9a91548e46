// A named shared-memory object in the user's object folder that lives
// exactly as long as some process has it open, as a Windows named object
// does. Every opener holds a shared file lock on the object for as long as
// it has it open; the kernel drops the locks of a process that dies, so an
// opener that finds no other lock holder lays the object out afresh, and
// the last one to close removes the name. Only objects that the caller's
// user owns and that nobody else may read or write are ever used. A peer
// that shrinks the object does not bring this process down: the access
// that meets the missing pages grows the object back, zero-filled.
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

  // The file name in the object folder: "Local\\a.b" becomes "a.b";
  // separators become '_' and an overlong name is shortened with a hash of
  // the whole.
  static std::string objectName(const wchar_t* name);

  // Maps `size` bytes of the object, created with mode 0600 when missing.
  // `layOut` runs on zeroed bytes when no other opener holds the object,
  // under a lock that keeps other openers out; it returns false (errno set)
  // when it fails. False on failure, with errno set: EACCES for an object
  // that another user owns or that others may read or write, or for an
  // object folder that is not the user's; ETIMEDOUT when a peer keeps the
  // object's locks.
  bool open(const std::string& objectName, std::size_t size, std::uint32_t magic,
            const std::function<bool(void*)>& layOut);
  // Removes this opener; the last live one unlinks the object.
  void close();

  // Marks, one per index (0 or 1), that an opener holds while it takes
  // part in something; they go with the opener. `isMarked` sees the marks
  // of the other openers only.
  bool setMark(int index);
  bool isMarked(int index) const;

  // Another open file description of the object, for locks of its own
  // (file locks belong to a description, which a forked child shares).
  // -1 with errno set.
  int openAgain() const;
  // The first byte that the segment leaves to its user for file locks.
  static constexpr long kFirstFreeLockByte = 16;

  void* data() const { return m_pData; }
  bool isOpen() const { return m_pBase != nullptr; }

 private:
  struct Header;

  bool lockedOpen(std::size_t size, std::uint32_t magic, const std::function<bool(void*)>& layOut);
  bool stillNamed() const;

  std::string m_strName;
  int m_nFd = -1;
  int m_nSlot = -1;
  void* m_pBase = nullptr;
  void* m_pData = nullptr;
  std::size_t m_nTotal = 0;
};

}  // namespace kw::os
