// Conversions between the API's wchar_t text and UTF-16LE / UTF-8 bytes.
// On Windows wchar_t already is a UTF-16 code unit; on Linux it is a code
// point and characters above U+FFFF become surrogate pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kw::utf16 {

// Number of UTF-16 code units needed for n characters.
std::size_t unitCount(const wchar_t* text, std::size_t n);
inline std::size_t unitCount(const std::wstring& text) {
  return unitCount(text.data(), text.size());
}

// Writes the code units little-endian at out; returns the end of what was written.
char* writeLE(char* out, const wchar_t* text, std::size_t n);

// Appends `units` little-endian code units read from bytes to text.
void appendFromLE(std::wstring& text, const char* bytes, std::size_t units);

// Code-unit order of two texts: <0, 0 or >0.
int compare(const std::wstring& a, const std::wstring& b);

// A text's UTF-16 code units in native order: the text itself where wchar_t
// is a code unit, otherwise a converted copy that lives as long as the object.
class Units {
 public:
  Units(const wchar_t* text, std::size_t n);
  explicit Units(const std::wstring& text) : Units(text.data(), text.size()) {}
  Units(const Units&) = delete;
  Units& operator=(const Units&) = delete;

  const char16_t* data() const { return m_pUnits; }
  std::uint32_t size() const { return m_nSize; }

 private:
  const char16_t* m_pUnits;
  std::uint32_t m_nSize;
  char16_t m_aInline[48];
  std::unique_ptr<char16_t[]> m_pHeap;
};

// Replaces text with the characters of n native-order code units.
void assign(std::wstring& text, const char16_t* units, std::size_t n);

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

}  // namespace kw::utf16
