// Foreign text made safe to print.
#pragma once

#include <cstdint>
#include <string>

namespace kwtool {

// Text that came from elsewhere (a peer's message, a trace file), made safe
// to print: a control character, an unpaired surrogate, a line separator or
// a bidirectional override shows as an escape (\n, \r, \t, \0, \xHH,
// \uHHHH), and the backslash as \\, so the text can neither drive the
// terminal nor cut or forge a line.
class SafeText {
 public:
  static bool isHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
  static bool isLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
  static std::uint32_t join(std::uint32_t high, std::uint32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
  }

  // The escape for a code point, or empty when it prints as itself.
  static std::wstring escape(std::uint32_t c);
  // UTF-16 code units, pairs joined, with the escapes; a character of
  // `alsoEscaped` shows as \xHH too (an attribute name's "=").
  static std::wstring fromUtf16(const std::uint16_t* units, std::size_t count,
                                const wchar_t* alsoEscaped = L"");
  // Wide text with the escapes, but for the characters of `plain`, which
  // show as themselves.
  static std::wstring fromWide(const std::wstring& text, const wchar_t* plain);
  // The text that the escapes stand for, each character of it as it was
  // (an unpaired surrogate included); false, with the reason in `error`,
  // for a backslash that starts no escape.
  static bool unescape(const std::wstring& text, std::wstring& out, std::wstring& error);
  // The code point itself: one wchar_t, or a surrogate pair where wchar_t
  // is a UTF-16 unit.
  static void append(std::wstring& out, std::uint32_t c);
  // The code point's escape, or the code point itself.
  static void appendSafe(std::wstring& out, std::uint32_t c);

  SafeText() = delete;
};

}  // namespace kwtool
