// ByteArray: exact-fit growth, and little-endian appending of integers and UTF-16 text.
#include <kw/ByteArray.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Utf16.h"

namespace kw {

namespace {

char* reallocOrThrow(char* block, int size) {
  auto* p = static_cast<char*>(std::realloc(block, static_cast<std::size_t>(size)));
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

ByteArray::ByteArray() : m_pData(nullptr), m_nSize(0), m_nCapacity(0) {}

ByteArray::ByteArray(const char* data, int size) : ByteArray() { copyData(data, size); }

ByteArray::ByteArray(const ByteArray& other) : ByteArray() {
  copyData(other.m_pData, other.m_nSize);
}

ByteArray::ByteArray(const std::wstring& text) : ByteArray() { *this += text; }

ByteArray::~ByteArray() { freeData(); }

ByteArray& ByteArray::operator=(const ByteArray& other) {
  if (this != &other) copyData(other.m_pData, other.m_nSize);
  return *this;
}

char* ByteArray::getBuffer(int size) {
  if (size == m_nSize) return m_pData;
  freeData();
  if (size > 0) {
    m_pData = reallocOrThrow(nullptr, size);
    m_nSize = m_nCapacity = size;
  }
  return m_pData;
}

void ByteArray::copyData(const char* data, int size) {
  freeData();
  if (data && size > 0) {
    m_pData = reallocOrThrow(nullptr, size);
    std::memcpy(m_pData, data, static_cast<std::size_t>(size));
    m_nSize = m_nCapacity = size;
  }
}

void ByteArray::appendData(char* data, int size) { append(data, size); }

void ByteArray::append(const void* data, int size) {
  if (!data || size <= 0) return;
  if (size > INT_MAX - m_nSize) throw std::bad_alloc();
  int newSize = m_nSize + size;
  ensure(newSize);
  std::memcpy(m_pData + m_nSize, data, static_cast<std::size_t>(size));
  m_nSize = newSize;
}

void ByteArray::ensure(int size) {
  // A block of exactly `size` bytes already is what a reallocation would give.
  if (size <= capacity()) return;
  reallocate(size);
}

void ByteArray::resize(int size) {
  if (size <= 0) {
    freeData();
    return;
  }
  reallocate(size);
  m_nSize = size;
}

void ByteArray::reallocate(int size) {
  if (m_nCapacity >= 0) {
    m_pData = reallocOrThrow(m_pData, size);
  } else {
    // A lent block stays where it is; the bytes that fit move to one of the array's own.
    char* block = reallocOrThrow(nullptr, size);
    std::memcpy(block, m_pData,
                static_cast<std::size_t>(size < -m_nCapacity ? size : -m_nCapacity));
    m_pData = block;
  }
  m_nCapacity = size;
}

void ByteArray::clear() { m_nSize = 0; }

void ByteArray::release() { freeData(); }

void ByteArray::freeData() {
  if (m_nCapacity >= 0) std::free(m_pData);
  m_pData = nullptr;
  m_nSize = m_nCapacity = 0;
}

ByteArray ByteArray::operator+(const ByteArray& other) const {
  ByteArray sum;
  sum.ensure(m_nSize + other.m_nSize);
  sum.append(m_pData, m_nSize);
  sum.append(other.m_pData, other.m_nSize);
  return sum;
}

ByteArray& ByteArray::operator+=(const ByteArray& other) {
  // Appending an array to itself reads the bytes before they can move.
  if (&other == this && m_nSize > 0) {
    ByteArray copy(*this);
    append(copy.m_pData, copy.m_nSize);
  } else {
    append(other.m_pData, other.m_nSize);
  }
  return *this;
}

ByteArray& ByteArray::operator+=(const std::wstring& text) {
  std::size_t units = utf16::unitCount(text);
  if (units == 0) return *this;
  if (units > static_cast<std::size_t>(INT_MAX - m_nSize) / 2) throw std::bad_alloc();
  int newSize = m_nSize + static_cast<int>(units * 2);
  ensure(newSize);
  utf16::writeLE(m_pData + m_nSize, text.data(), text.size());
  m_nSize = newSize;
  return *this;
}

ByteArray& ByteArray::operator+=(int value) { return *this += static_cast<unsigned int>(value); }

ByteArray& ByteArray::operator+=(unsigned int value) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  append(bytes, 4);
  return *this;
}

bool ByteArray::operator==(const ByteArray& other) const {
  if (m_nSize != other.m_nSize) return false;
  if (m_nSize == 0) return true;
  if (!m_pData || !other.m_pData) return false;
  return std::memcmp(m_pData, other.m_pData, static_cast<std::size_t>(m_nSize)) == 0;
}

bool ByteArray::operator!=(const ByteArray& other) const { return !(*this == other); }

std::wstring ByteArray::a2w() {
  std::wstring text(static_cast<std::size_t>(m_nSize), L'\0');
  for (int i = 0; i < m_nSize; ++i)
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(m_pData[i]));
  return text;
}

std::wstring ByteArray::w2w() {
  std::wstring text;
  if (m_nSize >= 2) utf16::appendFromLE(text, m_pData, static_cast<std::size_t>(m_nSize / 2));
  return text;
}

void ByteArray::xor_(const ByteArray& key) {
  int n = m_nSize < key.m_nSize ? m_nSize : key.m_nSize;
  for (int i = 0; i < n; ++i) m_pData[i] ^= key.m_pData[i];
}

}  // namespace kw
