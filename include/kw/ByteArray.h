// ByteArray: the owning byte buffer of message attributes and file contents.
#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw {

// An owning byte buffer with exact-fit growth. Wide text and integers are
// appended little-endian; text as UTF-16 code units without terminator.
class KW_API ByteArray {
 public:
  ByteArray();
  // A copy of `size` bytes from `data`; null or 0 gives an empty array.
  ByteArray(const char* data, int size);
  // A deep copy of the other's bytes in use.
  ByteArray(const ByteArray& other);
  // The text's UTF-16LE code units, without terminator.
  explicit ByteArray(const std::wstring& text);
  virtual ~ByteArray();

  // Replaces the contents with a copy of the other's bytes in use.
  ByteArray& operator=(const ByteArray& other);

  // The number of bytes in use.
  int getSize() const { return m_nSize; }
  // The block (null when there is none); valid until it is freed or grown.
  char* getData() const { return m_pData; }
  // A writable block of exactly `size` bytes; a new size discards the contents.
  char* getBuffer(int size);

  // Replaces the contents with a copy of `size` bytes from `data`.
  void copyData(const char* data, int size);
  // Appends `size` bytes from `data`, growing the block to fit exactly.
  void appendData(char* data, int size);
  // Grows the block to `size` bytes when it is not larger; never shrinks.
  void ensure(int size);
  // Reallocates to exactly `size` bytes, keeping what fits; size becomes `size`.
  void resize(int size);
  // Sets the size to 0 and keeps the block for reuse.
  void clear();
  // Frees the block: data null, size and capacity 0.
  void release();

  // A new array: these bytes followed by the other's.
  ByteArray operator+(const ByteArray& other) const;
  // Appends the other's bytes in use.
  ByteArray& operator+=(const ByteArray& other);
  // Appends the text as UTF-16LE code units, without terminator.
  ByteArray& operator+=(const std::wstring& text);
  // Appends the value as 4 bytes, little-endian.
  ByteArray& operator+=(int value);
  // Appends the value as 4 bytes, little-endian.
  ByteArray& operator+=(unsigned int value);
  // Same size and same bytes in use.
  bool operator==(const ByteArray& other) const;
  // The negation of operator==.
  bool operator!=(const ByteArray& other) const;

  // Each byte as the character of the same value (0x00-0xFF).
  std::wstring a2w();
  // The bytes read as UTF-16LE code units; an odd last byte is ignored.
  std::wstring w2w();
  // Exclusive-or with the key, byte by byte; `xor` itself is a C++ keyword.
  void xor_(const ByteArray& key);

 protected:
  // What release does; also used by the destructor, copyData and getBuffer.
  void freeData();

 private:
  // The message writer fills a block it has sized exactly in place.
  friend class Msg;

  void append(const void* data, int size);
  // Gives the array a block of `size` bytes holding what fits of its bytes.
  void reallocate(int size);
  // The bytes the block has room for.
  int capacity() const { return m_nCapacity < 0 ? -m_nCapacity : m_nCapacity; }

  char* m_pData;
  int m_nSize;
  // Negative for a block lent by its owner (a parsed message's), which the
  // array never frees: its room is then -m_nCapacity.
  int m_nCapacity;
};

}  // namespace kw
