#pragma once

#include <kw/Platform.h>

#include <string>

namespace kw {

// An owning byte buffer with exact-fit growth. Wide text and integers are
// appended little-endian; text as UTF-16 code units without terminator.
class KW_API ByteArray {
 public:
  ByteArray();
  ByteArray(const char* data, int size);
  ByteArray(const ByteArray& other);
  explicit ByteArray(const std::wstring& text);
  virtual ~ByteArray();

  ByteArray& operator=(const ByteArray& other);

  int getSize() const { return m_nSize; }
  char* getData() const { return m_pData; }
  char* getBuffer(int size);

  void copyData(const char* data, int size);
  void appendData(char* data, int size);
  void ensure(int size);
  void resize(int size);
  void clear();
  void release();

  ByteArray operator+(const ByteArray& other) const;
  ByteArray& operator+=(const ByteArray& other);
  ByteArray& operator+=(const std::wstring& text);
  ByteArray& operator+=(int value);
  ByteArray& operator+=(unsigned int value);
  bool operator==(const ByteArray& other) const;
  bool operator!=(const ByteArray& other) const;

  std::wstring a2w();
  std::wstring w2w();
  // Exclusive-or with the key, byte by byte; `xor` itself is a C++ keyword.
  void xor_(const ByteArray& key);

 protected:
  void freeData();

 private:
  // The message writer fills a block it has sized exactly in place.
  friend class Msg;

  void append(const void* data, int size);

  char* m_pData;
  int m_nSize;
  int m_nCapacity;
};

}  // namespace kw
