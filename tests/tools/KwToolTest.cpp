// Tests of kwtool in-process: encode and decode, usage errors and help, reg, log, and a channel
// from send to listen.
#include <gtest/gtest.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>

#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kwtool/TraceText.h"
#include "support/FileBytes.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"
#include "support/ToolRun.h"

using Result = kwtest::ToolResult;

namespace {

// Version, length 42, the name "MsgType", the integer 2.
const char kWorkedExample[] =
    "010000002a000000020000000e0000004d00730067005400790070006500010000000400000002000000";

}  // namespace

TEST(KwToolEncode, WorkedExampleRoundTrips) {
  Result encoded = kwtest::runTool({L"encode", L"MsgType=SYSTEM_STATE_CHANGE"});
  ASSERT_EQ(encoded.code, 0) << encoded.err;
  EXPECT_EQ(encoded.out, std::string(kWorkedExample) + "\n");
  EXPECT_EQ(kwtest::runTool({L"encode", L"MsgType=2"}).out, encoded.out);

  Result decoded = kwtest::runTool({L"decode"}, encoded.out);
  ASSERT_EQ(decoded.code, 0) << decoded.err;
  EXPECT_EQ(decoded.out, "Type: SYSTEM_STATE_CHANGE (2)\nMsgType:int=2\n");
}

TEST(KwToolEncode, TypesFollowTheSyntax) {
  kwtest::ScratchDir scratch;
  const auto blob = scratch.path() / "blob.bin";
  std::ofstream(blob, std::ios::binary).write("\0\1\2", 3);

  Result encoded = kwtest::runTool(
      {L"encode", L"MsgType=UPDATE", L"Count=-12", L"Zip:str=007", L"Mask:int=0xFFFFFFFF",
       L"Word=12x", L"Big=2147483648", L"T:ime:str=a=b", L"Key:hex=DE AD be ef",
       L"Blob:file=" + blob.wstring(), L"Name=K\u00e9y\U0001F600", L"=empty"});
  ASSERT_EQ(encoded.code, 0) << encoded.err;
  Result decoded = kwtest::runTool({L"decode"}, encoded.out);
  ASSERT_EQ(decoded.code, 0) << decoded.err;
  EXPECT_EQ(decoded.out,
            "Type: UPDATE (5)\n"
            "Count:int=-12\nMask:int=-1\nMsgType:int=5\n"
            ":str=empty\nBig:str=2147483648\nName:str=K\xC3\xA9y\xF0\x9F\x98\x80\nT:ime:str=a=b\n"
            "Word:str=12x\nZip:str=007\n"
            "Blob:hex=000102\nKey:hex=deadbeef\n");
}

TEST(KwToolEncode, OutFileHoldsRawBytesThatDecodeReads) {
  kwtest::ScratchDir scratch;
  const auto file = scratch.path() / "msg.bin";
  Result encoded = kwtest::runTool({L"encode", L"--out", file.wstring(), L"MsgType=2"});
  ASSERT_EQ(encoded.code, 0) << encoded.err;
  EXPECT_EQ(encoded.out, "");
  std::string raw = kwtest::readFile(file);
  EXPECT_EQ(raw.size(), 42u);

  EXPECT_EQ(kwtest::runTool({L"decode", file.wstring()}).out,
            "Type: SYSTEM_STATE_CHANGE (2)\nMsgType:int=2\n");
  EXPECT_EQ(kwtest::runTool({L"decode", L"-"}, raw).code, 0);
  // Forced the wrong way, each reading fails.
  EXPECT_EQ(kwtest::runTool({L"decode", L"--hex", file.wstring()}).code, 1);
  EXPECT_EQ(kwtest::runTool({L"decode", L"--raw"}, std::string(kWorkedExample)).code, 1);

  Result missing = kwtest::runTool({L"decode", (scratch.path() / "none").wstring()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

// Which input gives which fault is the message parser's (its own suite has the
// full table); here the line the tool makes of one, with the description.
TEST(KwToolDecode, AMalformedInputPrintsItsIdAndDescription) {
  struct Case {
    const char* input;
    int id;
    const char* description;
  };
  const Case cases[] = {
      {"0200000007000000", kw::SiteId::MsgUnsupportedVersion, "Unsupported Message Version"},
      {"0100000009000000", kw::SiteId::MsgLengthMismatch, "Incorrect message length value"},
      {"0100000012000000 0200000002000000 4100", kw::SiteId::MsgAttributeValueMissing,
       "Missing attribute value"},
  };
  for (const Case& c : cases) {
    Result r = kwtest::runTool({L"decode"}, std::string(c.input) + "\n");
    EXPECT_EQ(r.code, 1) << c.input;
    EXPECT_EQ(r.out, "") << c.input;
    const std::string expected =
        "kwtool: malformed message: " + std::to_string(c.id) + " " + c.description;
    EXPECT_EQ(r.err.rfind(expected, 0), 0u) << c.input << " gave " << r.err;
  }
  EXPECT_EQ(kwtest::runTool({L"decode"}, "0100000").code, 1);  // odd digit count
}

class KwToolUsage : public ::testing::TestWithParam<std::vector<std::wstring>> {};

TEST_P(KwToolUsage, ExitsTwoWithTheUsageLineAndDoesNothing) {
  Result r = kwtest::runTool(GetParam());
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("kwtool: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\nusage: kwtool"), std::string::npos) << r.err;
}

const std::vector<std::wstring> kUsageErrors[] = {
    {},
    {L"frobnicate"},
    {L"encode"},
    {L"encode", L"--bogus", L"A=1"},
    {L"encode", L"--out"},
    {L"encode", L"A:int=12x"},
    {L"encode", L"A:int=2147483648"},
    {L"encode", L"A:hex=abc"},
    {L"encode", L"A:hex=zz"},
    {L"encode", L"A:file=/no/such/file"},
    {L"decode", L"a", L"b"},
    {L"reg"},
    {L"reg", L"list"},
    {L"reg", L"get"},
    {L"reg", L"get", L"--root", L"HKCR", L"X"},
    {L"reg", L"set", L"X"},
    {L"log"},
    {L"log", L"--tail", L"x.log"},
    {L"log", L"a.log", L"b.log"},
    {L"send", L"Channel"},
    {L"listen", L"--count", L"0", L"Channel"},
    // Refused before the installer runs, which would print its outcomes.
    {L"install-components", L"--bogus"},
    {L"uninstall-components", L"operand"},
};

INSTANTIATE_TEST_SUITE_P(Commands, KwToolUsage, ::testing::ValuesIn(kUsageErrors));

// Each command's own help is checked against the command table; the reg
// actions have theirs.
TEST(KwTool, HelpOnEveryRegAction) {
  for (const wchar_t* action : {L"get", L"set", L"delete"}) {
    Result r = kwtest::runTool({L"reg", action, L"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("usage: kwtool reg " + kwtest::narrow(action), 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

class KwToolReg : public ::testing::Test {
 protected:
  std::vector<std::wstring> reg(const std::wstring& action, const std::wstring& root) {
    return {L"reg", action, L"--root", root, L"--key", m_area.keyPath()};
  }
  template <typename... Names>
  Result run(const std::wstring& action, const std::wstring& root, Names... names) {
    std::vector<std::wstring> args = reg(action, root);
    (args.push_back(names), ...);
    return kwtest::runTool(args);
  }

  kwtest::SettingsArea m_area;
};

TEST_F(KwToolReg, SetGetDelete) {
  Result set = run(L"set", L"HKCU", L"kwtoolFileLogging=1", L"Name=K\u00e9y", L"Empty:str=",
                   L"Blob:hex=00ff", L"Sub\\Level:int=-3");
  ASSERT_EQ(set.code, 0) << set.err;
  Result got =
      run(L"get", L"HKCU", L"kwtoolfilelogging", L"Name", L"Empty", L"Blob", L"Sub\\Level");
  EXPECT_EQ(got.code, 0) << got.err;
  EXPECT_EQ(got.out,
            "kwtoolfilelogging:int=1\nName:str=K\xC3\xA9y\nEmpty:str=\nBlob:hex=00ff\n"
            "Sub\\Level:int=-3\n");

  EXPECT_EQ(run(L"delete", L"HKCU", L"Name").code, 0);
  Result gone = run(L"get", L"HKCU", L"Name", L"Blob");
  EXPECT_EQ(gone.code, 1);
  EXPECT_EQ(gone.out, "Blob:hex=00ff\n");
  EXPECT_NE(gone.err.find("no value Name under"), std::string::npos) << gone.err;
  EXPECT_EQ(run(L"delete", L"HKCU", L"Name").code, 1);
}

TEST_F(KwToolReg, RootsGoByEitherName) {
  ASSERT_EQ(run(L"set", L"HKCU", L"Level:int=-3").code, 0);
  ASSERT_EQ(run(L"set", L"hkey_local_machine", L"Level=2").code, 0);
  EXPECT_EQ(kw::Registry(HKEY_CURRENT_USER, m_area.keyPath().c_str()).read(L"Level", 0), -3);
  EXPECT_EQ(kw::Registry(HKEY_LOCAL_MACHINE, m_area.keyPath().c_str()).read(L"Level", 0), 2);
}

TEST_F(KwToolReg, GetShowsAStringsControlsEscaped) {
  // ESC ] 0 ; ... BEL would retitle the terminal; a path keeps its backslashes.
  kw::Registry registry(HKEY_CURRENT_USER, m_area.keyPath().c_str());
  ASSERT_TRUE(registry.write(L"Title", std::wstring(L"\x1b]0;pwned\x07 C:\\dir\r\n\u202e")));
  Result got = run(L"get", L"HKCU", L"Title");
  EXPECT_EQ(got.code, 0) << got.err;
  EXPECT_EQ(got.out, "Title:str=\\x1b]0;pwned\\x07 C:\\dir\\r\\n\\u202e\n");
}

TEST_F(KwToolReg, ABadValueWritesNothing) {
  EXPECT_EQ(run(L"set", L"HKCU", L"Good=1", L"Bad:int=x").code, 2);
  EXPECT_EQ(run(L"get", L"HKCU", L"Good").code, 1);
}

TEST(KwToolLog, PrintsATraceFileAsUtf8Lines) {
  // UTF-16LE as the logger writes it.
  const std::pair<std::string, std::string> files[] = {
      // "A\r\n", U+00E9, U+1F600 as a pair, "\r\n".
      {std::string("A\0\r\0\n\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0", 16),
       "A\n\xC3\xA9\xF0\x9F\x98\x80\n"},
      // A stack line's own "\r\n" and then the event's: "\r\r\n"; an escape
      // sequence in an event's text shows escaped.
      {std::string("a\0\r\0\r\0\n\0\x1b\0[\0\\\0\t\0\r\0\n\0", 20), "a\n\\x1b[\\\t\n"},
  };
  kwtest::ScratchDir scratch;
  const auto path = scratch.path() / "KWTest.log";
  for (const auto& [bytes, text] : files) {
    kwtest::writeFile(path, bytes);
    Result r = kwtest::runTool({L"log", path.wstring()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, text);
  }
  Result missing = kwtest::runTool({L"log", (scratch.path() / "none.log").wstring()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err.rfind("kwtool: cannot open ", 0), 0u) << missing.err;
}

TEST(KwToolLog, PiecesSplitAnywhereDecodeAsTheWhole) {
  const std::string bytes("x\0\r\0\n\0\x3D\xD8\x00\xDE\r\0\n\0", 14);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    kwtool::TraceText text;
    std::wstring out = text.feed(bytes.substr(0, cut));
    out += text.feed(bytes.substr(cut));
    out += text.flush();
    EXPECT_EQ(out, L"x\n\U0001F600\n") << "cut at " << cut;
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
  const std::string run(2 * 100000, '\0');
  std::string returns = run;
  for (std::size_t i = 0; i < returns.size(); i += 2) returns[i] = '\r';
  for (const char* last : {"\n", "z"}) {
    kwtool::TraceText text;
    std::wstring out;
    for (std::size_t at = 0; at < returns.size(); at += 7) out += text.feed(returns.substr(at, 7));
    out += text.feed(std::string(last) + std::string(1, '\0'));
    out += text.flush();
    std::wstring expected;
    if (*last == '\n') {
      expected = L"\n";
    } else {
      for (int i = 0; i < 100000; ++i) expected += L"\\r";
      expected += L"z";
    }
    EXPECT_EQ(out, expected) << last;
  }
}

TEST(KwToolChannel, SendReachesListen) {
  const std::wstring name = L"KwToolChannel" + kwtest::uniqueName().substr(0, 10);
  Result listened;
  std::thread listener([&] { listened = kwtest::runTool({L"listen", L"--count", L"3", name}); });
  Result sent =
      kwtest::runTool({L"send", L"--repeat", L"1", name, L"MsgType=UPDATE", L"Item=report", L"+",
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
  Result r = kwtest::runTool({L"send", L"--seconds", L"1", name, L"A=1", L"+", L"B=2"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("did not take every message"), std::string::npos) << r.err;
}
