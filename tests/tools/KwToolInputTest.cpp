// kwtool against hostile or oversized input: it stays within bounded time
// and memory, refuses what cannot be carried, and prints a peer's text so
// that it cannot drive the terminal.
#include <gtest/gtest.h>
#include <kw/SiteId.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "kwtool/SafeText.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/ToolRun.h"

using Result = kwtest::ToolResult;

namespace {

// An input stream of `limit` copies of one byte, counting what was taken.
class Endless : public std::streambuf {
 public:
  Endless(char byte, std::uint64_t limit) : m_block(64 * 1024, byte), m_left(limit) {}
  std::uint64_t taken() const { return m_taken; }

 protected:
  int_type underflow() override {
    if (m_left == 0) return traits_type::eof();
    const std::uint64_t n = std::min<std::uint64_t>(m_left, m_block.size());
    m_left -= n;
    m_taken += n;
    setg(&m_block[0], &m_block[0], &m_block[0] + n);
    return traits_type::to_int_type(m_block[0]);
  }

 private:
  std::string m_block;
  std::uint64_t m_left;
  std::uint64_t m_taken = 0;
};

// A file of `size` bytes that takes no room on the disk: a zero written at
// its end (resize_file stops at 2 GiB where off_t has 32 bits).
std::filesystem::path sparseFile(const kwtest::ScratchDir& scratch, std::uintmax_t size) {
  const auto path = scratch.path() / "sparse.bin";
  std::ofstream file(path, std::ios::binary);
  file.seekp(static_cast<std::streamoff>(size - 1));
  file.put('\0');
  return path;
}

constexpr std::uintmax_t kTwoGiB = std::uintmax_t{1} << 31;

}  // namespace

TEST(KwToolBounds, DecodeTakesNoMoreThanTheHeaderClaims) {
  // Zeros carry version 0: the header alone is enough to say so.
  Endless zeros('\0', 256u << 20);
  std::istream in(&zeros);
  Result r = kwtest::runTool({L"decode", L"-"}, in);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(std::to_string(kw::SiteId::MsgUnsupportedVersion)), std::string::npos)
      << r.err;
  EXPECT_LE(zeros.taken(), 1u << 20);

  // A message followed by more bytes than its length says: one byte more
  // is read, and the length is named as the fault.
  const std::string message("\x01\0\0\0\x08\0\0\0", 8);
  Result exact = kwtest::runTool({L"decode", L"--raw"}, message);
  EXPECT_EQ(exact.code, 0) << exact.err;
  Result longer = kwtest::runTool({L"decode", L"--raw"}, message + "xyz");
  EXPECT_EQ(longer.code, 1);
  EXPECT_NE(longer.err.find(std::to_string(kw::SiteId::MsgLengthMismatch)), std::string::npos)
      << longer.err;

  // Hex text: blanks between and after the digits are fine, an endless run
  // of them is not.
  Result spaced = kwtest::runTool({L"decode"}, " 01 00 00 00\n08 00 00 00 \n\n");
  EXPECT_EQ(spaced.code, 0) << spaced.err;
  Endless blanks(' ', 256u << 20);
  std::istream blankInput(&blanks);
  Result blank = kwtest::runTool({L"decode"}, blankInput);
  EXPECT_EQ(blank.code, 1);
  EXPECT_LE(blanks.taken(), 1u << 20);
}

TEST(KwToolBounds, HugeFilesAreRefusedUnread) {
  kwtest::ScratchDir scratch;
  const auto big = sparseFile(scratch, kTwoGiB + 8);

  Result decoded = kwtest::runTool({L"decode", big.wstring()});
  EXPECT_EQ(decoded.code, 1);
  EXPECT_NE(decoded.err.find(std::to_string(kw::SiteId::MsgUnsupportedVersion) +
                             " Unsupported Message Version"),
            std::string::npos)
      << decoded.err;

  // The wire format counts a message's bytes in a signed 32-bit field.
  Result encoded = kwtest::runTool({L"encode", L"Data:file=" + big.wstring()});
  EXPECT_EQ(encoded.code, 1);
  EXPECT_EQ(encoded.out, "");
  EXPECT_NE(encoded.err.find("holds more than"), std::string::npos) << encoded.err;

  // A channel carries 262,144 bytes.
  Result sent = kwtest::runTool({L"send", L"--seconds", L"1",
                                 L"KwToolBig" + kwtest::uniqueName().substr(0, 8),
                                 L"Data:file=" + big.wstring()});
  EXPECT_EQ(sent.code, 1);
  EXPECT_NE(sent.err.find("at most 262144"), std::string::npos) << sent.err;

  // What fits exactly still goes: 8 + 34 (MsgType) + 8 + 8 + 8 for the
  // name "D", 8 for the value's header.
  const auto fits = scratch.path() / "fits.bin";
  std::filesystem::path bigger = scratch.path() / "bigger.bin";
  const std::uintmax_t room = 262144 - (8 + 34 + 16 + 2);
  { std::ofstream(fits, std::ios::binary).put('x'); }
  std::filesystem::resize_file(fits, room);
  std::filesystem::copy_file(fits, bigger);
  std::filesystem::resize_file(bigger, room + 1);
  Result exact = kwtest::runTool(
      {L"encode", L"--out", (scratch.path() / "out.bin").wstring(), L"D:file=" + fits.wstring()});
  EXPECT_EQ(exact.code, 0) << exact.err;
  EXPECT_EQ(std::filesystem::file_size(scratch.path() / "out.bin"), 262144u);
  const std::wstring channel = L"KwToolFit" + kwtest::uniqueName().substr(0, 8);
  Result over =
      kwtest::runTool({L"send", L"--seconds", L"1", channel, L"D:file=" + bigger.wstring()});
  EXPECT_EQ(over.code, 1);
  EXPECT_NE(over.err.find("at most 262144"), std::string::npos) << over.err;
}

TEST(KwToolText, APeersControlCharactersPrintEscaped) {
  // ESC [ 2 J clears a terminal; a NUL used to cut the line; CR LF inside a
  // value forged a second attribute line.
  Result encoded = kwtest::runTool(
      {L"encode", L"Na\x1b[2Jme:str=a", L"Bidi:str=x\u202Ey\u0085", L"Path:str=C:\\dir"});
  ASSERT_EQ(encoded.code, 0) << encoded.err;
  Result decoded = kwtest::runTool({L"decode"}, encoded.out);
  ASSERT_EQ(decoded.code, 0) << decoded.err;
  EXPECT_EQ(decoded.out.find('\x1b'), std::string::npos) << decoded.out;
  EXPECT_NE(decoded.out.find("Bidi:str=x\\u202ey\\u0085\n"), std::string::npos) << decoded.out;
  EXPECT_NE(decoded.out.find("Path:str=C:\\\\dir\n"), std::string::npos) << decoded.out;
  EXPECT_NE(decoded.out.find("Na\\x1b[2Jme:str=a"), std::string::npos) << decoded.out;

  // "A" = "x", NUL, "y\r\nB=2" as raw wire bytes: 8 + 10 + 24.
  const std::string wire(
      "\x01\0\0\0\x2a\0\0\0"
      "\x02\0\0\0\x02\0\0\0A\0"
      "\x02\0\0\0\x10\0\0\0x\0\0\0y\0\r\0\n\0B\0=\0"
      "2\0",
      42);
  Result nul = kwtest::runTool({L"decode", L"--raw"}, wire);
  ASSERT_EQ(nul.code, 0) << nul.err;
  EXPECT_EQ(nul.out, "Type: UNSPECIFIED (0)\nA:str=x\\0y\\r\\nB=2\n");
}

TEST(KwToolText, EscapesKeepOrdinaryTextAndPairs) {
  const std::uint16_t units[] = {'a', 0xE9, 0xD83D, 0xDE00, 0xDC00, 0x1B, 0x7F, 0x9B};
  EXPECT_EQ(kwtool::SafeText::fromUtf16(units, 8), L"a\u00e9\U0001F600\\udc00\\x1b\\x7f\\u009b");
}

// Random command lines and inputs: every run ends, with a code the tool
// documents, and nothing escapes as an exception.
TEST(KwToolFuzz, AnyArgumentsAndInputEndWithAnExitCode) {
  kwtest::SettingsArea area;
  kwtest::ScratchDir scratch;
  const std::wstring file = (scratch.path() / "f.bin").wstring();
  std::ofstream(scratch.path() / "f.bin", std::ios::binary).write("\x01\0\0\0\x2a\0\0\0", 8);
  const std::vector<std::wstring> words = {L"encode",     L"decode",
                                           L"reg",        L"log",
                                           L"get",        L"set",
                                           L"delete",     L"--hex",
                                           L"--raw",      L"--out",
                                           L"--root",     L"HKCU",
                                           L"--key",      area.keyPath(),
                                           L"--",         L"-",
                                           L"-h",         L"+",
                                           L"A=1",        L"B:int=0x",
                                           L"C:hex=0",    L"D:file=" + file,
                                           L"E:str=\x1b", L"MsgType=UPDATE",
                                           L"=",          L":int=",
                                           file,          L"\u00dc",
                                           L"--count",    L"0",
                                           L"99999999999"};
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> args;
    const int count = static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) args.push_back(words[random() % words.size()]);
    // --out would write where a word points; keep it inside the scratch folder.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == L"--out") args[i + 1] = (scratch.path() / "out.bin").wstring();
    }
    std::string input(random() % 64, '\0');
    for (char& c : input) c = static_cast<char>(random() % 4 == 0 ? '0' + random() % 10 : random());
    if (random() % 3 == 0) input = std::string("\x01\0\0\0", 4) + input;
    Result r = kwtest::runTool(args, input);
    std::wstring joined;
    for (const auto& a : args) joined += a + L" ";
    EXPECT_TRUE(r.code >= 0 && r.code <= 2) << kwtest::narrow(joined) << r.err;
  }
}
