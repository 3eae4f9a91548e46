// What decode and listen print, encode reads back: the same message, byte for byte, whatever
// its names and values hold; and the version that kwtool reports.
#include <gtest/gtest.h>
#include <kw/Msg.h>

#include <regex>
#include <string>
#include <vector>

#include "support/FileBytes.h"
#include "support/Hex.h"
#include "support/ScratchDir.h"
#include "support/ToolRun.h"
#include "support/WireVectors.h"

using kw::ByteArray;
using kw::Msg;
using Result = kwtest::ToolResult;
using kwtest::runTool;

namespace {

// decode | encode -: the hex that comes back, or the failure.
std::string throughText(const std::string& hex) {
  Result decoded = runTool({L"decode"}, hex);
  if (decoded.code != 0) return "decode failed: " + decoded.err;
  Result encoded = runTool({L"encode", L"-"}, decoded.out);
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
  const auto bin = scratch.path() / "msg.bin";
  const auto lines = scratch.path() / "msg.txt";
  const auto again = scratch.path() / "msg.again";
  for (const auto& [name, hex] : vectors) {
    SCOPED_TRACE(name);
    EXPECT_EQ(throughText(hex), hex + "\n");
    // As the README shows it: raw files on both ends, the lines from a file too.
    const ByteArray bytes = kwtest::hex(hex);
    kwtest::writeFile(bin, std::string(bytes.getData(), bytes.getSize()));
    Result decoded = runTool({L"decode", bin.wstring()});
    ASSERT_EQ(decoded.code, 0) << decoded.err;
    kwtest::writeFile(lines, decoded.out);
    Result encoded = runTool({L"encode", L"--out", again.wstring(), lines.wstring()});
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

  // A high half, a low half and a pair in the wrong order, as raw UTF-16
  // units: what a peer may send though no text holds it.
  const std::string unpaired =
      "0100000022000000"
      "020000000400000000d87a00"
      "020000000600000000dc00dc00d8";
  Result decoded = runTool({L"decode"}, unpaired);
  EXPECT_EQ(decoded.out, "Type: UNSPECIFIED (0)\n\\ud800z:str=\\udc00\\udc00\\ud800\n");
  EXPECT_EQ(throughText(unpaired), unpaired + "\n");
}

TEST(KwToolRoundTrip, LinesAndArgumentsTogether) {
  // Lines make a message of only what they say; arguments add to it and
  // hold no escapes.
  Result lines = runTool({L"encode", L"-", L"Path:str=C:\\dir"},
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
  kwtest::ScratchDir scratch;
  const std::pair<const char*, const char*> cases[] = {
      {"A:int=1\nno equals sign\n", "kwtool: standard input, line 2: expected NAME=VALUE"},
      {"A:str=\\q\n", "kwtool: standard input, line 1: a backslash that starts no escape"},
      {"A:str=\\x4\n", "kwtool: standard input, line 1: \\x wants 2 hex digits"},
      {"A:str=ok\\\n", "kwtool: standard input, line 1: a backslash that starts no escape"},
      {"A:int=x\n", "kwtool: standard input, line 1: \"x\" is not a 32-bit integer"},
      {nullptr, "kwtool: cannot open "}};
  for (const auto& [input, error] : cases) {
    Result r = input ? runTool({L"encode", L"-"}, input)
                     : runTool({L"encode", (scratch.path() / "none.txt").wstring()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(error, 0), 0u) << r.err;
  }
}

TEST(KwToolVersion, PrintsTheProjectVersionOfTheBuild) {
  const std::string text = kwtest::readFile(KW_TEST_DATA "/../../CMakeLists.txt");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(text, match, std::regex(R"(project\(kwbase VERSION ([0-9.]+))")));
  Result r = runTool({L"--version"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "kwtool (kwbase) " + match[1].str() + "\n");
  EXPECT_NE(runTool({L"--help"}).out.find("--version"), std::string::npos);
}
