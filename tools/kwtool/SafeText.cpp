// Escapes for the characters of foreign text that could drive a terminal.
#include "kwtool/SafeText.h"

#include "kwtool/HexText.h"

namespace kwtool {

namespace {

std::wstring hex(const wchar_t* prefix, std::uint32_t c, int digits) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text = prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(c >> shift) & 0xF];
  return text;
}

}  // namespace

std::wstring SafeText::escape(std::uint32_t c) {
  switch (c) {
    case '\\':
      return L"\\\\";
    case '\n':
      return L"\\n";
    case '\r':
      return L"\\r";
    case '\t':
      return L"\\t";
    case 0:
      return L"\\0";
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) return hex(L"\\x", c, 2);
  const bool unsafe = (c >= 0x80 && c <= 0x9F) ||    // C1 controls, CSI among them
                      isHigh(c) || isLow(c) ||       // unpaired halves
                      c == 0x2028 || c == 0x2029 ||  // line and paragraph separators
                      (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
                      (c >= 0x2066 && c <= 0x2069);  // bidirectional controls
  return unsafe ? hex(L"\\u", c, 4) : std::wstring();
}

void SafeText::append(std::wstring& out, std::uint32_t c) {
  if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
    out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<wchar_t>(c);
  }
}

void SafeText::appendSafe(std::wstring& out, std::uint32_t c) {
  const std::wstring escaped = escape(c);
  if (escaped.empty()) {
    append(out, c);
  } else {
    out += escaped;
  }
}

std::wstring SafeText::fromUtf16(const std::uint16_t* units, std::size_t count,
                                 const wchar_t* alsoEscaped) {
  std::wstring out;
  const std::wstring escaped = alsoEscaped;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = units[i];
    if (isHigh(c) && i + 1 < count && isLow(units[i + 1])) c = join(c, units[++i]);
    if (escaped.find(static_cast<wchar_t>(c)) != std::wstring::npos) {
      out += hex(L"\\x", c, 2);
    } else {
      appendSafe(out, c);
    }
  }
  return out;
}

std::wstring SafeText::fromWide(const std::wstring& text, const wchar_t* plain) {
  std::wstring out;
  const std::wstring asIs = plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[i]);
    // Where wchar_t is a UTF-16 unit, a pair is one character.
    if (sizeof(wchar_t) == 2 && isHigh(c) && i + 1 < text.size() &&
        isLow(static_cast<std::uint32_t>(text[i + 1])))
      c = join(c, static_cast<std::uint32_t>(text[++i]));
    if (asIs.find(static_cast<wchar_t>(c)) != std::wstring::npos) {
      append(out, c);
    } else {
      appendSafe(out, c);
    }
  }
  return out;
}

bool SafeText::unescape(const std::wstring& text, std::wstring& out, std::wstring& error) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\') {
      out += text[i];
      continue;
    }
    const wchar_t kind = i + 1 < text.size() ? text[i + 1] : L'\0';
    std::size_t digits = kind == L'x' ? 2 : kind == L'u' ? 4 : 0;
    if (digits == 0) {
      const std::wstring singles(L"\\nrt0");
      const std::size_t at = kind ? singles.find(kind) : std::wstring::npos;
      if (at == std::wstring::npos) {
        error = L"a backslash that starts no escape at character " + std::to_wstring(i + 1);
        return false;
      }
      static const wchar_t kMeaning[] = {L'\\', L'\n', L'\r', L'\t', L'\0'};
      out += kMeaning[at];
      ++i;
      continue;
    }
    std::uint32_t value = 0;
    for (std::size_t d = 0; d < digits; ++d) {
      const std::size_t at = i + 2 + d;
      const wchar_t c = at < text.size() ? text[at] : L'\0';
      const int digit = HexText::digitValue(static_cast<std::uint32_t>(c));
      if (digit < 0) {
        error = L"\\" + std::wstring(1, kind) + L" wants " + std::to_wstring(digits) +
                L" hex digits at character " + std::to_wstring(i + 1);
        return false;
      }
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    out += static_cast<wchar_t>(value);
    i += 1 + digits;
  }
  return true;
}

}  // namespace kwtool
