// Conversions between wchar_t text and UTF-16LE or UTF-8 bytes, whichever the width of wchar_t,
// and UTF-16 code-unit ordering.
#include "Utf16.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__linux__)
#include <immintrin.h>
#define KW_NARROW_AVX2 1
#endif

namespace kw::utf16 {

namespace {

constexpr bool kWide16 = sizeof(wchar_t) == 2;
constexpr std::uint32_t kReplacement = 0xFFFD;

// The code point a wchar_t stands for; values outside Unicode become U+FFFD.
inline std::uint32_t codePoint(wchar_t c) {
  auto v = static_cast<std::uint32_t>(c);
  return v > 0x10FFFF ? kReplacement : v;
}

// A surrogate pair: the code point above U+FFFF it stands for, and back.
inline bool isHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool isLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
inline std::uint32_t joinPair(std::uint32_t high, std::uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
inline void splitPair(std::uint32_t cp, std::uint32_t& high, std::uint32_t& low) {
  high = 0xD800 + ((cp - 0x10000) >> 10);
  low = 0xDC00 + ((cp - 0x10000) & 0x3FF);
}

inline char* putUnit(char* out, std::uint32_t unit) {
  out[0] = static_cast<char>(unit & 0xFF);
  out[1] = static_cast<char>((unit >> 8) & 0xFF);
  return out + 2;
}

// Characters known to lie below U+10000, one unit each; on a little-endian
// machine the compiler narrows several at once.
inline char* putUnits(char* out, const wchar_t* text, std::size_t n) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (std::size_t i = 0; i < n; ++i) {
    const auto unit = static_cast<std::uint16_t>(text[i]);
    std::memcpy(out + 2 * i, &unit, sizeof unit);
  }
  return out + 2 * n;
#else
  for (std::size_t i = 0; i < n; ++i) out = putUnit(out, static_cast<std::uint32_t>(text[i]));
  return out;
#endif
}

#ifdef KW_NARROW_AVX2
// Sixteen characters at a time while they lie below U+10000, on processors
// that have AVX2; returns how many were written.
__attribute__((target("avx2"))) std::size_t narrowAvx2(char* out, const wchar_t* text,
                                                       std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 8));
    const __m256i above = _mm256_or_si256(_mm256_srli_epi32(low, 16), _mm256_srli_epi32(high, 16));
    if (!_mm256_testz_si256(above, above)) break;
    // Packing works within each 128-bit half; the quarters are put back in order.
    const __m256i units = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), units);
  }
  return i;
}

const bool kHasAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// Wide characters as code points, one or two units each.
inline char* writeCodePointsLE(char* out, const wchar_t* text, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t cp = codePoint(text[i]);
    if (cp < 0x10000) {
      out = putUnit(out, cp);
    } else {
      std::uint32_t high = 0, low = 0;
      splitPair(cp, high, low);
      out = putUnit(putUnit(out, high), low);
    }
  }
  return out;
}

// Yields the UTF-16 code units of a text one by one.
class UnitReader {
 public:
  UnitReader(const std::wstring& text, std::size_t pos) : m_strText(text), m_nPos(pos) {}
  bool next(std::uint32_t& unit) {
    if (m_nPending) {
      unit = m_nPending;
      m_nPending = 0;
      return true;
    }
    if (m_nPos >= m_strText.size()) return false;
    std::uint32_t cp = codePoint(m_strText[m_nPos++]);
    if (cp < 0x10000)
      unit = cp;
    else
      splitPair(cp, unit, m_nPending);
    return true;
  }

 private:
  const std::wstring& m_strText;
  std::size_t m_nPos;
  std::uint32_t m_nPending = 0;
};

}  // namespace

std::size_t unitCount(const wchar_t* text, std::size_t n) {
  if constexpr (kWide16) {
    return n;
  } else {
    std::size_t units = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (codePoint(text[i]) >= 0x10000) ++units;
    }
    return units;
  }
}

char* writeLE(char* out, const wchar_t* text, std::size_t n) {
  if constexpr (kWide16) {
    for (std::size_t i = 0; i < n; ++i) out = putUnit(out, static_cast<std::uint16_t>(text[i]));
    return out;
  } else {
    std::size_t i = 0;
#ifdef KW_NARROW_AVX2
    if (kHasAvx2) {
      i = narrowAvx2(out, text, n);
      out += 2 * i;
    }
#endif
#ifdef __SSE2__
    // Eight characters at a time while they lie below U+10000: shifted into
    // the signed range, packed to 16 bits without saturating, shifted back.
    const __m128i bias32 = _mm_set1_epi32(0x8000);
    const __m128i bias16 = _mm_set1_epi16(-0x8000);
    for (; i + 8 <= n; i += 8) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 4));
      const __m128i above = _mm_or_si128(_mm_srli_epi32(low, 16), _mm_srli_epi32(high, 16));
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(above, _mm_setzero_si128())) != 0xFFFF) {
        out = writeCodePointsLE(out, text + i, 8);
        continue;
      }
      const __m128i units =
          _mm_packs_epi32(_mm_sub_epi32(low, bias32), _mm_sub_epi32(high, bias32));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi16(units, bias16));
      out += 16;
    }
#endif
    // Runs of characters below U+10000, nearly all text, convert one unit
    // each without a branch per character.
    constexpr std::size_t kRun = 32;
    for (; i < n; i += kRun) {
      const std::size_t count = n - i < kRun ? n - i : kRun;
      std::uint32_t high = 0;
      for (std::size_t k = 0; k < count; ++k) high |= static_cast<std::uint32_t>(text[i + k]);
      out =
          high < 0x10000 ? putUnits(out, text + i, count) : writeCodePointsLE(out, text + i, count);
    }
    return out;
  }
}

void appendFromLE(std::wstring& text, const char* bytes, std::size_t units) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t start = text.size();
  text.resize(start + units);
  wchar_t* out = &text[start];
  std::size_t written = 0;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = p[2 * i] | (p[2 * i + 1] << 8);
    if constexpr (!kWide16) {
      // A high surrogate followed by a low one is one character; lone
      // surrogates are kept as they are.
      if (isHighSurrogate(u) && i + 1 < units) {
        std::uint32_t low = p[2 * i + 2] | (p[2 * i + 3] << 8);
        if (isLowSurrogate(low)) {
          u = joinPair(u, low);
          ++i;
        }
      }
    }
    out[written++] = static_cast<wchar_t>(u);
  }
  text.resize(start + written);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "code units are kept in native order and written as little-endian bytes");

Units::Units(const wchar_t* text, std::size_t n) {
  if constexpr (kWide16) {
    m_pUnits = reinterpret_cast<const char16_t*>(text);
    m_nSize = static_cast<std::uint32_t>(n);
  } else {
    std::size_t units = unitCount(text, n);
    char16_t* out = m_aInline;
    if (units > sizeof m_aInline / sizeof m_aInline[0]) {
      m_pHeap.reset(new char16_t[units]);
      out = m_pHeap.get();
    }
    writeLE(reinterpret_cast<char*>(out), text, n);
    m_pUnits = out;
    m_nSize = static_cast<std::uint32_t>(units);
  }
}

void assign(std::wstring& text, const char16_t* units, std::size_t n) {
  if constexpr (kWide16) {
    text.assign(reinterpret_cast<const wchar_t*>(units), n);
  } else {
    text.clear();
    appendFromLE(text, reinterpret_cast<const char*>(units), n);
  }
}

int compare(const std::wstring& a, const std::wstring& b) {
  if constexpr (kWide16) {
    return a.compare(b);
  } else {
    // Characters below the surrogate range order the same by code point and by
    // code unit; only where one side is at or above it is the unit order needed.
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    std::size_t i = 0;
    for (; i < n; ++i) {
      std::uint32_t ca = codePoint(a[i]), cb = codePoint(b[i]);
      if (ca == cb) continue;
      if (ca < 0xD800 && cb < 0xD800) return ca < cb ? -1 : 1;
      break;
    }
    if (i == n) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    UnitReader ra(a, i), rb(b, i);
    for (;;) {
      std::uint32_t ua = 0, ub = 0;
      bool ha = ra.next(ua), hb = rb.next(ub);
      if (!ha || !hb) return ha == hb ? 0 : (ha ? 1 : -1);
      if (ua != ub) return ua < ub ? -1 : 1;
    }
  }
}

std::string toUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = codePoint(text[i]);
    if constexpr (kWide16) {
      if (isHighSurrogate(cp) && i + 1 < text.size()) {
        std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
        if (isLowSurrogate(low)) {
          cp = joinPair(cp, low);
          ++i;
        }
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = kReplacement;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::wstring fromUtf8(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    std::uint32_t c = p[i];
    std::size_t len = c < 0x80           ? 1
                      : (c >> 5) == 0x6  ? 2
                      : (c >> 4) == 0xE  ? 3
                      : (c >> 3) == 0x1E ? 4
                                         : 0;
    std::uint32_t cp = kReplacement;
    if (len == 1) {
      cp = c;
    } else if (len && i + len <= n) {
      cp = c & (0x7F >> len);
      bool ok = true;
      for (std::size_t k = 1; k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (p[i + k] & 0x3F);
      }
      static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = kReplacement;
        len = 1;
      }
    } else {
      len = 1;
    }
    i += len;
    if (kWide16 && cp >= 0x10000) {
      std::uint32_t high = 0, low = 0;
      splitPair(cp, high, low);
      out += static_cast<wchar_t>(high);
      out += static_cast<wchar_t>(low);
    } else {
      out += static_cast<wchar_t>(cp);
    }
  }
  return out;
}

}  // namespace kw::utf16
