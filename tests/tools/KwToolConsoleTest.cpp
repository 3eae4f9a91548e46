// kwtool.exe with its console trace on: the library's console device and
// kwtool's own text share standard output, in one encoding, and nothing is cut.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <kw/Tools.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SuiteSetting.h"

namespace {

std::wstring toolPath() {
  wchar_t self[MAX_PATH];
  const DWORD size = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path(self, size);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"kwtool.exe";
}

struct Outcome {
  bool ended = false;
  DWORD code = 0;
  std::string out;
};

// One run of kwtool.exe with standard output sent to a file; killed, and
// reported as not ended, after 30 s.
Outcome runTool(const std::vector<std::wstring>& args, const kwtest::ScratchDir& scratch) {
  const std::filesystem::path outPath = scratch.path() / "out.txt";
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE none = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = none;
  startup.hStdOutput = out;
  startup.hStdError = none;
  std::wstring commandLine = L"\"" + toolPath() + L"\"";
  for (const std::wstring& arg : args) commandLine += L" \"" + arg + L"\"";
  PROCESS_INFORMATION process{};
  Outcome outcome;
  const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process) != FALSE;
  CloseHandle(out);
  CloseHandle(none);
  if (!started) return outcome;
  CloseHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
    outcome.ended = GetExitCodeProcess(process.hProcess, &outcome.code) != FALSE;
  } else {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 30000);
  }
  CloseHandle(process.hProcess);
  std::ifstream file(outPath, std::ios::binary);
  outcome.out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return outcome;
}

}  // namespace

TEST(KwToolConsole, TraceAndOwnTextShareTheLocaleEncodingAndNothingIsCut) {
  if (GetACP() != 1252) GTEST_SKIP() << "the expected bytes are code page 1252's";
  kwtest::SettingsArea area;
  kwtest::ScratchDir scratch;
  kwtest::SuiteSetting trace(L"kwtoolConsoleTrace", 1);
  // U+00DC is in the code page, U+4E2D is not, U+1F600 is not and is a pair.
  const std::wstring name = L"\u00dc\u4e2d\U0001F600after";
  const std::string inCodePage = "\xDC??after";
  const std::string key = kw::Tools::narrowWideString(area.keyPath());

  Outcome set = runTool(
      {L"reg", L"set", L"--root", L"HKCU", L"--key", area.keyPath(), name + L"=1"}, scratch);
  ASSERT_TRUE(set.ended);
  EXPECT_EQ(set.code, 0u) << set.out;
  // The device's line goes on past U+1F600 to the event's end.
  EXPECT_NE(set.out.find("Set " + inCodePage + " under HKCU\\" + key), std::string::npos)
      << set.out;
  EXPECT_NE(set.out.find("kwtool reg ended with exit code 0"), std::string::npos) << set.out;

  Outcome got =
      runTool({L"reg", L"get", L"--root", L"HKCU", L"--key", area.keyPath(), name}, scratch);
  ASSERT_TRUE(got.ended);
  EXPECT_EQ(got.code, 0u) << got.out;
  EXPECT_NE(got.out.find("kwtool reg started"), std::string::npos) << got.out;
  EXPECT_NE(got.out.find(inCodePage + ":int=1\r\n"), std::string::npos) << got.out;
  // No UTF-8 among the code page's bytes: U+00DC would start with C3.
  EXPECT_EQ(got.out.find('\xC3'), std::string::npos) << got.out;
}

#endif
