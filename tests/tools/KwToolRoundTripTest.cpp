// What decode and listen print, encode reads back: the same message, byte for byte, whatever
// its names and values hold; and the version that kwtool reports.
#include <gtest/gtest.h>
#include <kw/Msg.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "kwtool/SafeText.h"
#include "support/FileBytes.h"
#include "support/Hex.h"
#include "support/ScratchDir.h"
#include "support/ToolRun.h"
#include "support/WireVectors.h"

using kw::ByteArray;
using kw::Msg;
using Result = kwtest::ToolResult;

namespace {

// decode | encode -: the hex that comes back, or the failure.
std::string throughText(const std::string& hex) {
  Result decoded = kwtest::runTool({L"decode"}, hex);
  if (decoded.code != 0) return "decode failed: " + decoded.err;
  Result encoded = kwtest::runTool({L"encode", L"-"}, decoded.out);
  if (encoded.code != 0) return "encode failed: " + encoded.err + " reading\n" + decoded.out;
  return encoded.out;
}

std::string hexOf(const Msg& msg) {
  ByteArray bytes;
  msg.toByteArray(bytes);
  return kwtest::toHex(bytes);
}

}  // namespace

TEST(KwToolRoundTrip, EverySharedVectorComesBackByteForByte) {
  const auto vectors = kwtest::readWireVectors();
  ASSERT_FALSE(vectors.empty()) << "no wire vectors read";
  kwtest::ScratchDir scratch;
  for (const auto& [name, hex] : vectors) {
    SCOPED_TRACE(name);
    EXPECT_EQ(throughText(hex), hex + "\n");

    // As the README shows it: raw files on both ends, the lines from a file too.
    const auto bin = scratch.path() / (name + ".bin");
    const ByteArray bytes = kwtest::hex(hex);
    std::ofstream(bin, std::ios::binary).write(bytes.getData(), bytes.getSize());
    Result decoded = kwtest::runTool({L"decode", bin.wstring()});
    ASSERT_EQ(decoded.code, 0) << decoded.err;
    const auto lines = scratch.path() / (name + ".txt");
    std::ofstream(lines, std::ios::binary) << decoded.out;
    const auto again = scratch.path() / (name + ".again");
    Result encoded = kwtest::runTool({L"encode", L"--out", again.wstring(), lines.wstring()});
    ASSERT_EQ(encoded.code, 0) << encoded.err;
    EXPECT_EQ(kwtest::readFile(again), kwtest::readFile(bin));
  }
}

TEST(KwToolRoundTrip, NamesAndValuesFromElsewhereSurvive) {
  Msg msg;
  msg.setType(Msg::UPDATE);
  // Names the line's own syntax uses, escapes' look-alikes, blanks at the
  // ends, controls, bidirectional overrides, line separators.
  const std::vector<std::wstring> names = {
      L"a=b",        L"=",           L"key:hex", L"x:int:str", L"Type: UPDATE (5)",
      L" padded ",   L"back\\slash", L"\\x3d",   L"tab\there", L"\x1b]0;title\x07",
      L"\u202eevil", L"line\u2028",  L"nul\0in"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    msg.setAttributeValue(names[i], static_cast<int>(i) - 3);
    msg.setAttributeValue(names[i], names[(i + 1) % names.size()] + L"  \r\n\\n\\\\ ");
    msg.setAttributeValue(names[i], new ByteArray("\0\xff\n", static_cast<int>(i % 4)));
  }
  msg.setAttributeValue(std::wstring(L"nul\0in", 6), std::wstring(L"\0\0", 2));
  msg.setAttributeValue(L"", std::wstring(L"  "));
  msg.setAttributeValue(L"pair\U0001F600", std::wstring(L"\u00e9\U0001D11E"));
  const std::string hex = hexOf(msg);
  EXPECT_EQ(throughText(hex), hex + "\n");
}

TEST(KwToolRoundTrip, UnpairedSurrogatesSurvive) {
  // A high half, a low half and a pair in the wrong order, as raw UTF-16
  // units: what a peer may send though no text holds it.
  Msg msg;
  msg.removeIntAttribute(L"MsgType");
  const char body[] =
      "\x02\0\0\0\x04\0\0\0\x00\xd8z\0"
      "\x02\0\0\0\x06\0\0\0\x00\xdc\x00\xdc\x00\xd8";
  std::string wire("\x01\0\0\0\0\0\0\0", 8);
  wire.append(body, sizeof body - 1);
  wire[4] = static_cast<char>(wire.size());
  const std::string hex = kwtest::toHex(ByteArray(wire.data(), static_cast<int>(wire.size())));
  Result decoded = kwtest::runTool({L"decode"}, hex);
  ASSERT_EQ(decoded.code, 0) << decoded.err;
  EXPECT_EQ(decoded.out, "Type: UNSPECIFIED (0)\n\\ud800z:str=\\udc00\\udc00\\ud800\n");
  EXPECT_EQ(throughText(hex), hex + "\n");
}

TEST(KwToolRoundTrip, LinesAndArgumentsTogether) {
  // Lines make a message of only what they say; arguments add to it and
  // hold no escapes.
  Result lines = kwtest::runTool({L"encode", L"-", L"Path:str=C:\\dir"},
                                 "Type: UPDATE (5)\r\n\nA\\x3db:int=7\r\nText:str=  x\\ty  \n");
  ASSERT_EQ(lines.code, 0) << lines.err;
  Msg expected;
  expected.removeIntAttribute(L"MsgType");
  expected.setAttributeValue(L"A=b", 7);
  expected.setAttributeValue(L"Text", std::wstring(L"  x\ty  "));
  expected.setAttributeValue(L"Path", std::wstring(L"C:\\dir"));
  EXPECT_EQ(lines.out, hexOf(expected) + "\n");
}

TEST(KwToolRoundTrip, ABadLineNamesItsSourceAndNumber) {
  struct Case {
    const char* input;
    const char* error;
  };
  const Case cases[] = {
      {"A:int=1\nno equals sign\n", "kwtool: standard input, line 2: expected NAME=VALUE"},
      {"A:str=\\q\n", "kwtool: standard input, line 1: a backslash that starts no escape"},
      {"A:str=\\x4\n", "kwtool: standard input, line 1: \\x wants 2 hex digits"},
      {"A:str=ok\\\n", "kwtool: standard input, line 1: a backslash that starts no escape"},
      {"A:int=x\n", "kwtool: standard input, line 1: \"x\" is not a 32-bit integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Result r = kwtest::runTool({L"encode", L"-"}, c.input);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << r.err;
  }
  kwtest::ScratchDir scratch;
  Result missing = kwtest::runTool({L"encode", (scratch.path() / "none.txt").wstring()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
}

TEST(KwToolVersion, PrintsTheProjectVersionOfTheBuild) {
  // The version the build's project declares.
  std::ifstream project(KW_TEST_DATA "/../../CMakeLists.txt");
  const std::string text((std::istreambuf_iterator<char>(project)),
                         std::istreambuf_iterator<char>());
  std::smatch match;
  ASSERT_TRUE(std::regex_search(text, match, std::regex(R"(project\(kwbase VERSION ([0-9.]+))")));
  Result r = kwtest::runTool({L"--version"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "kwtool (kwbase) " + match[1].str() + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(kwtest::runTool({L"--version", L"extra"}).code, 2);
  EXPECT_NE(kwtest::runTool({L"--help"}).out.find("--version"), std::string::npos);
}
