// kwtool against hostile or oversized input: it stays within bounded time
// and memory, refuses what cannot be carried, and prints a peer's text so
// that it cannot drive the terminal.
#include <gtest/gtest.h>
#include <kw/SiteId.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "kwtool/SafeText.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/ToolRun.h"

using Result = kwtest::ToolResult;
using kwtest::runTool;

namespace {

// An input stream of 256 MiB of one byte, counting what was taken.
class Endless : public std::streambuf {
 public:
  explicit Endless(char byte) : m_block(64 * 1024, byte) {}
  std::uint64_t taken() const { return m_taken; }

 protected:
  int_type underflow() override {
    if (m_taken >= (256u << 20)) return traits_type::eof();
    m_taken += m_block.size();
    setg(&m_block[0], &m_block[0], &m_block[0] + m_block.size());
    return traits_type::to_int_type(m_block[0]);
  }

 private:
  std::string m_block;
  std::uint64_t m_taken = 0;
};

// A file of `size` bytes that takes no room on the disk: a byte written at
// its end (resize_file stops at 2 GiB where off_t has 32 bits).
std::wstring sparseFile(const std::filesystem::path& path, std::uintmax_t size) {
  std::ofstream file(path, std::ios::binary);
  file.seekp(static_cast<std::streamoff>(size - 1));
  file.put('x');
  return path.wstring();
}

std::string site(int id) { return std::to_string(id); }

}  // namespace

TEST(KwToolBounds, DecodeTakesNoMoreThanTheHeaderClaims) {
  // Zeros carry version 0: the header alone is enough to say so. Blanks
  // before hex digits are fine, an endless run of them is not.
  for (char byte : {'\0', ' '}) {
    Endless endless(byte);
    std::istream in(&endless);
    std::vector<std::wstring> args{L"decode"};
    if (!byte) args.push_back(L"-");
    Result r = runTool(args, in);
    EXPECT_EQ(r.code, 1);
    EXPECT_LE(endless.taken(), 1u << 20);
    if (!byte) EXPECT_NE(r.err.find(site(kw::SiteId::MsgUnsupportedVersion)), std::string::npos);
  }
}

TEST(KwToolBounds, HugeFilesAreRefusedUnread) {
  kwtest::ScratchDir scratch;
  const std::wstring big = sparseFile(scratch.path() / "big", (std::uintmax_t{1} << 31) + 8);
  // What fits a channel's 262,144 bytes exactly still goes: 8 + 34 (MsgType)
  // + 8 + 2 for the name "D", 8 for the value's header.
  const std::uintmax_t room = 262144 - (8 + 34 + 16 + 2);
  const std::wstring fits = sparseFile(scratch.path() / "fits", room);
  const std::wstring over = sparseFile(scratch.path() / "over", room + 1);
  const std::wstring out = (scratch.path() / "out").wstring();
  const std::wstring channel = L"KwToolBig" + kwtest::uniqueName().substr(0, 8);
  struct Case {
    std::vector<std::wstring> args;
    int code;
    std::string error;
  };
  const Case cases[] = {
      {{L"decode", big}, 1, site(kw::SiteId::MsgUnsupportedVersion) + " Unsupported"},
      // The wire format counts a message's bytes in a signed 32-bit field.
      {{L"encode", L"Data:file=" + big}, 1, "holds more than"},
      {{L"send", L"--seconds", L"1", channel, L"Data:file=" + big}, 1, "at most 262144"},
      {{L"send", L"--seconds", L"1", channel, L"D:file=" + over}, 1, "at most 262144"},
      {{L"encode", L"--out", out, L"D:file=" + fits}, 0, ""}};
  for (const Case& c : cases) {
    Result r = runTool(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::filesystem::file_size(out), 262144u);
}

TEST(KwToolText, APeersControlCharactersPrintEscaped) {
  // ESC [ 2 J clears a terminal; a NUL used to cut the line; CR LF inside a
  // value forged a second attribute line.
  Result encoded =
      runTool({L"encode", L"Na\x1b[2Jme:str=a", L"Bidi:str=x\u202Ey\u0085", L"Path:str=C:\\dir"});
  Result decoded = runTool({L"decode"}, encoded.out);
  EXPECT_EQ(decoded.out,
            "Type: UNSPECIFIED (0)\nMsgType:int=0\nBidi:str=x\\u202ey\\u0085\n"
            "Na\\x1b[2Jme:str=a\nPath:str=C:\\\\dir\n");
  // "A" = "x", NUL, "y\r\nB=2" as raw wire bytes: 8 + 10 + 24.
  const std::string wire(
      "\x01\0\0\0\x2a\0\0\0"
      "\x02\0\0\0\x02\0\0\0A\0"
      "\x02\0\0\0\x10\0\0\0x\0\0\0y\0\r\0\n\0B\0=\0"
      "2\0",
      42);
  EXPECT_EQ(runTool({L"decode", L"--raw"}, wire).out,
            "Type: UNSPECIFIED (0)\nA:str=x\\0y\\r\\nB=2\n");
  const std::uint16_t units[] = {'a', 0xE9, 0xD83D, 0xDE00, 0xDC00, 0x1B, 0x7F, 0x9B};
  EXPECT_EQ(kwtool::SafeText::fromUtf16(units, 8), L"a\u00e9\U0001F600\\udc00\\x1b\\x7f\\u009b");
}

// Random command lines and inputs: every run ends, with a code the tool
// documents, and nothing escapes as an exception.
TEST(KwToolFuzz, AnyArgumentsAndInputEndWithAnExitCode) {
  kwtest::SettingsArea area;
  kwtest::ScratchDir scratch;
  const std::wstring file = (scratch.path() / "f.bin").wstring();
  kwtest::writeFile(file, std::string("\x01\0\0\0\x2a\0\0\0", 8));
  std::vector<std::wstring> words;
  std::wistringstream list(
      L"encode decode reg log get set delete --hex --raw --out --root HKCU --key KEY -- - -h + "
      L"A=1 B:int=0x C:hex=0 D:file=FILE E:str=\x1b MsgType=UPDATE = :int= FILE \u00dc --count 0 "
      L"99999999999");
  for (std::wstring word; list >> word; words.push_back(word)) {
    if (word == L"KEY") word = area.keyPath();
    if (word.size() >= 4 && word.compare(word.size() - 4, 4, L"FILE") == 0)
      word.replace(word.size() - 4, 4, file);
  }
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> args;
    for (int i = random() % 6; i > 0; --i) args.push_back(words[random() % words.size()]);
    // --out would write where a word points; keep it inside the scratch folder.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == L"--out") args[i + 1] = (scratch.path() / "out.bin").wstring();
    }
    std::string input(random() % 64, '\0');
    for (char& c : input) c = static_cast<char>(random() % 4 == 0 ? '0' + random() % 10 : random());
    if (random() % 3 == 0) input = std::string("\x01\0\0\0", 4) + input;
    Result r = runTool(args, input);
    std::wstring joined;
    for (const auto& a : args) joined += a + L" ";
    EXPECT_TRUE(r.code >= 0 && r.code <= 2) << kwtest::narrow(joined) << r.err;
  }
}
