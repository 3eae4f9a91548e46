// Tests of kwtool in-process: encode and decode, usage errors and help, reg, log, and a channel
// from send to listen.
#include <gtest/gtest.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kwtool/TraceText.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/ToolRun.h"

using Result = kwtest::ToolResult;
using kwtest::runTool;

TEST(KwToolEncode, TypesFollowTheSyntax) {
  // Version, length 42, the name "MsgType", the integer 2.
  const std::string workedExample =
      "010000002a000000020000000e0000004d00730067005400790070006500010000000400000002000000\n";
  EXPECT_EQ(runTool({L"encode", L"MsgType=SYSTEM_STATE_CHANGE"}).out, workedExample);
  EXPECT_EQ(runTool({L"encode", L"MsgType=2"}).out, workedExample);

  kwtest::ScratchDir scratch;
  const auto blob = scratch.path() / "blob.bin";
  kwtest::writeFile(blob, std::string("\0\1\2", 3));
  Result encoded =
      runTool({L"encode", L"MsgType=UPDATE", L"Count=-12", L"Zip:str=007", L"Mask:int=0xFFFFFFFF",
               L"Word=12x", L"Big=2147483648", L"T:ime:str=a=b", L"Key:hex=DE AD be ef",
               L"Blob:file=" + blob.wstring(), L"Name=K\u00e9y\U0001F600", L"=empty"});
  ASSERT_EQ(encoded.code, 0) << encoded.err;
  Result decoded = runTool({L"decode"}, encoded.out);
  ASSERT_EQ(decoded.code, 0) << decoded.err;
  EXPECT_EQ(decoded.out,
            "Type: UPDATE (5)\n"
            "Count:int=-12\nMask:int=-1\nMsgType:int=5\n"
            ":str=empty\nBig:str=2147483648\nName:str=K\xC3\xA9y\xF0\x9F\x98\x80\nT:ime:str=a=b\n"
            "Word:str=12x\nZip:str=007\n"
            "Blob:hex=000102\nKey:hex=deadbeef\n");
}

TEST(KwToolDecode, ReadsRawOrHexAndSaysWhatFailed) {
  kwtest::ScratchDir scratch;
  const std::wstring file = (scratch.path() / "msg.bin").wstring();
  ASSERT_EQ(runTool({L"encode", L"--out", file, L"MsgType=2"}).out, "");
  const std::string bare("\x01\0\0\0\x08\0\0\0", 8);
  const std::string length =
      "kwtool: malformed message: " + std::to_string(kw::SiteId::MsgLengthMismatch) +
      " Incorrect message length value";
  struct Case {
    std::vector<std::wstring> args;
    std::string input, out, error;
  };
  const Case cases[] = {
      {{L"decode", L"-"}, kwtest::readFile(file), "Type: SYSTEM_STATE_CHANGE (2)\nMsgType:int=2\n"},
      {{L"decode", L"--raw"}, bare, "Type: UNSPECIFIED (0)\n"},
      // Blanks between and after the digits are fine.
      {{L"decode"}, " 01 00 00 00\n08 00 00 00 \n\n", "Type: UNSPECIFIED (0)\n"},
      // Forced the wrong way, each reading fails.
      {{L"decode", L"--hex", file}, "", "", "kwtool: "},
      {{L"decode", L"--raw"}, "0100000008000000", "", "kwtool: "},
      {{L"decode"}, "0100000", "", "kwtool: "},  // odd digit count
      {{L"decode", (scratch.path() / "none").wstring()}, "", "", "kwtool: cannot open "},
      {{L"decode"}, "0100000009000000", "", length},
      // One byte more than the header claims is read, and the length named as the fault.
      {{L"decode", L"--raw"}, bare + "xyz", "", length}};
  for (const Case& c : cases) {
    Result r = runTool(c.args, c.input);
    EXPECT_EQ(r.code, c.error.empty() ? 0 : 1) << c.input;
    EXPECT_EQ(r.out, c.out) << c.input;
    EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.input << " gave " << r.err;
  }
}

// Each case is a command line, its words split at blanks.
class KwToolUsage : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(KwToolUsage, ExitsTwoWithTheUsageLineAndDoesNothing) {
  std::vector<std::wstring> args;
  std::wistringstream words(GetParam());
  for (std::wstring word; words >> word;) args.push_back(word);
  Result r = runTool(args);
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("kwtool: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\nusage: kwtool"), std::string::npos) << r.err;
}

// The component commands refuse before the installer runs, which would print its outcomes.
const wchar_t* const kUsageErrors[] = {L"",
                                       L"frobnicate",
                                       L"encode",
                                       L"encode --bogus A=1",
                                       L"encode --out",
                                       L"encode A:int=12x",
                                       L"encode A:int=2147483648",
                                       L"encode A:hex=abc",
                                       L"encode A:hex=zz",
                                       L"encode A:file=/no/such/file",
                                       L"decode a b",
                                       L"reg",
                                       L"reg list",
                                       L"reg get",
                                       L"reg get --root HKCR X",
                                       L"reg set X",
                                       L"log",
                                       L"log --tail x.log",
                                       L"log a.log b.log",
                                       L"send Channel",
                                       L"listen --count 0 Channel",
                                       L"--version extra",
                                       L"install-components --bogus",
                                       L"uninstall-components operand"};

INSTANTIATE_TEST_SUITE_P(Commands, KwToolUsage, ::testing::ValuesIn(kUsageErrors));

class KwToolReg : public ::testing::Test {
 protected:
  template <typename... Names>
  Result run(const std::wstring& action, const std::wstring& root, Names... names) {
    return runTool({L"reg", action, L"--root", root, L"--key", m_area.keyPath(), names...});
  }

  kwtest::SettingsArea m_area;
};

TEST_F(KwToolReg, SetGetDeleteUnderEitherRootName) {
  // A bad value writes nothing, not even the key.
  EXPECT_EQ(run(L"set", L"HKCU", L"Good=1", L"Bad:int=x").code, 2);
  EXPECT_EQ(run(L"get", L"HKCU", L"Good").code, 1);
  Result set = run(L"set", L"HKCU", L"kwtoolFileLogging=1", L"Name=K\u00e9y", L"Empty:str=",
                   L"Blob:hex=00ff", L"Sub\\Level:int=-3");
  ASSERT_EQ(set.code, 0) << set.err;
  ASSERT_EQ(run(L"set", L"hkey_local_machine", L"Level=2").code, 0);
  EXPECT_EQ(kw::Registry(HKEY_CURRENT_USER, m_area.keyPath().c_str()).read(L"Sub\\Level", 0), -3);
  EXPECT_EQ(kw::Registry(HKEY_LOCAL_MACHINE, m_area.keyPath().c_str()).read(L"Level", 0), 2);
  // ESC ] 0 ; ... BEL would retitle the terminal; a path keeps its backslashes.
  kw::Registry(HKEY_CURRENT_USER, m_area.keyPath().c_str())
      .write(L"Title", std::wstring(L"\x1b]0;pwned\x07 C:\\dir\r\n\u202e"));
  Result got = run(L"get", L"HKCU", L"kwtoolfilelogging", L"Name", L"Empty", L"Blob", L"Sub\\Level",
                   L"Title");
  EXPECT_EQ(got.code, 0) << got.err;
  EXPECT_EQ(got.out,
            "kwtoolfilelogging:int=1\nName:str=K\xC3\xA9y\nEmpty:str=\nBlob:hex=00ff\n"
            "Sub\\Level:int=-3\nTitle:str=\\x1b]0;pwned\\x07 C:\\dir\\r\\n\\u202e\n");

  EXPECT_EQ(run(L"delete", L"HKCU", L"Name").code, 0);
  Result gone = run(L"get", L"HKCU", L"Name", L"Blob");
  EXPECT_EQ(gone.code, 1);
  EXPECT_EQ(gone.out, "Blob:hex=00ff\n");
  EXPECT_NE(gone.err.find("no value Name under"), std::string::npos) << gone.err;
  EXPECT_EQ(run(L"delete", L"HKCU", L"Name").code, 1);
  for (const wchar_t* action : {L"get", L"set", L"delete"}) {
    Result help = runTool({L"reg", action, L"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: kwtool reg " + kwtest::narrow(action), 0), 0u) << help.out;
  }
}

TEST(KwToolLog, PrintsATraceFileAsUtf8Lines) {
  // UTF-16LE as the logger writes it: "A\r\n", U+00E9, U+1F600 as a pair, "\r\n"; a stack
  // line's own "\r\n" and then the event's, "\r\r\n"; an escape sequence shows escaped.
  const std::string bytes(
      "A\0\r\0\n\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0"
      "a\0\r\0\r\0\n\0\x1b\0[\0\\\0\t\0\r\0\n\0",
      36);
  kwtest::ScratchDir scratch;
  const auto path = scratch.path() / "KWTest.log";
  kwtest::writeFile(path, bytes);
  Result r = runTool({L"log", path.wstring()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "A\n\xC3\xA9\xF0\x9F\x98\x80\na\n\\x1b[\\\t\n");
  Result missing = runTool({L"log", (scratch.path() / "none.log").wstring()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err.rfind("kwtool: cannot open ", 0), 0u) << missing.err;
}

TEST(KwToolLog, PiecesSplitAnywhereDecodeAsTheWhole) {
  const std::string bytes("x\0\r\0\n\0\x3D\xD8\x00\xDE\r\0\n\0", 14);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    kwtool::TraceText text;
    std::wstring out = text.feed(bytes.substr(0, cut));
    out += text.feed(bytes.substr(cut));
    EXPECT_EQ(out + text.flush(), L"x\n\U0001F600\n") << "cut at " << cut;
  }
  // Held back until the end: a lone "\r" and a high surrogate without its
  // partner; both then show escaped.
  kwtool::TraceText text;
  EXPECT_EQ(text.feed(std::string("\r\0", 2)), L"");
  EXPECT_EQ(text.feed(std::string("y\0\x3D\xD8", 4)), L"\\ry");
  EXPECT_EQ(text.flush(), L"\\ud83d");
}

TEST(KwToolLog, ARunOfReturnsIsHeldAsACountAcrossPieces) {
  // However long the run, one line feed after it makes one line end; any
  // other character shows each return escaped.
  std::string returns(2 * 100000, '\0');
  for (std::size_t i = 0; i < returns.size(); i += 2) returns[i] = '\r';
  std::wstring escaped;
  for (int i = 0; i < 100000; ++i) escaped += L"\\r";
  for (const auto& [last, expected] :
       {std::pair<char, std::wstring>{'\n', L"\n"}, {'z', escaped + L"z"}}) {
    kwtool::TraceText text;
    std::wstring out;
    for (std::size_t at = 0; at < returns.size(); at += 7) out += text.feed(returns.substr(at, 7));
    out += text.feed(std::string{last, '\0'});
    EXPECT_EQ(out + text.flush(), expected) << last;
  }
}

TEST(KwToolChannel, SendReachesListen) {
  const std::wstring name = L"KwToolChannel" + kwtest::uniqueName().substr(0, 10);
  Result listened;
  std::thread listener([&] { listened = runTool({L"listen", L"--count", L"3", name}); });
  Result sent = runTool({L"send", L"--repeat", L"1", name, L"MsgType=UPDATE", L"Item=report", L"+",
                         L"MsgType=2", L"Level:int=-3", L"+", L"Blob:hex=00ff"});
  listener.join();
  EXPECT_EQ(sent.code, 0) << sent.err;
  EXPECT_EQ(listened.code, 0) << listened.err;
  std::size_t update = listened.out.find("Type: UPDATE (5)");
  std::size_t state = listened.out.find("Type: SYSTEM_STATE_CHANGE (2)");
  ASSERT_NE(update, std::string::npos) << listened.out;
  ASSERT_NE(state, std::string::npos) << listened.out;
  EXPECT_LT(update, state);
  EXPECT_NE(listened.out.find("report"), std::string::npos) << listened.out;
  EXPECT_NE(listened.out.find("-3"), std::string::npos) << listened.out;
}

TEST(KwToolChannel, SendSaysWhenNobodyTookTheMessages) {
  const std::wstring name = L"KwToolNobody" + kwtest::uniqueName().substr(0, 10);
  // The first message waits in the block, the second in the queue.
  Result r = runTool({L"send", L"--seconds", L"1", name, L"A=1", L"+", L"B=2"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("did not take every message"), std::string::npos) << r.err;
}
