// Tests of kwtool install-components and uninstall-components: printed outcomes, exit codes, help
// and usage errors.
#include <gtest/gtest.h>
#include <kw/SiteId.h>
#include <kw/Tools.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "kwtool/KwTool.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/TestComponents.h"
#include "support/TextSetting.h"
#include "support/TraceCapture.h"

namespace {

struct Result {
  int code;
  std::vector<std::string> lines;
  std::string err;
};

Result runTool(const std::vector<std::wstring>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  int code = kwtool::KwTool::run(args, in, out, err);
  Result result{code, {}, err.str()};
  std::istringstream text(out.str());
  for (std::string line; std::getline(text, line);) result.lines.push_back(line);
  return result;
}

std::string narrow(const std::wstring& text) { return kw::Tools::narrowWideString(text); }

bool startsWith(const std::string& text, const std::string& head) {
  return text.rfind(head, 0) == 0;
}

// The start of the line printed for an outcome: severity, ID, description.
std::string outcome(const char* severity, int id, const char* description) {
  return std::string(severity) + " " + std::to_string(id) + " " + description;
}

class KwToolComponents : public ::testing::Test {
 protected:
  void SetUp() override { m_savedFolder = std::filesystem::current_path(); }
  void TearDown() override { std::filesystem::current_path(m_savedFolder); }

  std::string path(const std::wstring& folder, const wchar_t* name) {
    return narrow(folder + name + kwtest::componentExtension());
  }

  kwtest::SettingsArea m_area;
  kwtest::ComponentMarkers m_markers;
  kwtest::TraceCapture m_trace;  // the logger, as kwtool's main starts it
  std::filesystem::path m_savedFolder;
};

TEST_F(KwToolComponents, PrintsEveryOutcomeAndFailsWhenOneFailed) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::TextSetting installDir(L"InstallDir", folder);

  Result installed = runTool({L"install-components"});
  EXPECT_EQ(installed.code, 1) << installed.err;
  ASSERT_EQ(installed.lines.size(), 5u) << installed.err;
  EXPECT_EQ(installed.lines[0], outcome("Info ", kw::SiteId::RegisterSucceeded,
                                        "Dll Registration Successful  DLL name:") +
                                    path(folder, L"VRXInternetExplorer"));
  EXPECT_TRUE(startsWith(installed.lines[1], outcome("Error", kw::SiteId::RegisterFailed,
                                                     "Failed to register DLL  DLL name:") +
                                                 path(folder, L"VRXOffice") + " System Error ID: "))
      << installed.lines[1];
  EXPECT_TRUE(
      startsWith(installed.lines[2], outcome("Error", kw::SiteId::RegisterEntryMissing,
                                             "Failed to locate DllRegisterServer  DLL name:") +
                                         path(folder, L"VRXOutlook") + " System Error ID: "))
      << installed.lines[2];
  EXPECT_TRUE(
      startsWith(installed.lines[3],
                 outcome("Error", kw::SiteId::RegisterLoadFailed, "Failed to load DLL  DLL name:") +
                     path(folder, L"CorvaneInstaller") + " System Error ID: "))
      << installed.lines[3];
  // The system's text for the error, not only its number.
  EXPECT_NE(installed.lines[3].find(" System Error Description:"), std::string::npos);
  EXPECT_EQ(installed.lines[4], "1 of 4 components registered");
  EXPECT_TRUE(m_markers.registered());
  // The other trace devices still see the outcomes.
  EXPECT_EQ(m_trace.count(kw::SiteId::RegisterSucceeded), 1);

  Result removed = runTool({L"uninstall-components"});
  EXPECT_EQ(removed.code, 1) << removed.err;
  ASSERT_EQ(removed.lines.size(), 5u) << removed.err;
  EXPECT_EQ(removed.lines[0], outcome("Info ", kw::SiteId::UnregisterSucceeded,
                                      "Dll Unregistration Successful  DLL name:") +
                                  path(folder, L"VRXInternetExplorer"));
  EXPECT_TRUE(startsWith(removed.lines[1], outcome("Error", kw::SiteId::UnregisterFailed,
                                                   "Failed to unregister DLL")));
  EXPECT_TRUE(startsWith(removed.lines[2], outcome("Error", kw::SiteId::UnregisterEntryMissing,
                                                   "Failed to locate DllUnregisterServer")));
  EXPECT_TRUE(startsWith(removed.lines[3],
                         outcome("Error", kw::SiteId::UnregisterLoadFailed, "Failed to load DLL")));
  EXPECT_EQ(removed.lines[4], "1 of 4 components unregistered");
  EXPECT_FALSE(m_markers.registered());
}

TEST_F(KwToolComponents, ExitsZeroWhenEveryComponentSucceeded) {
  // The registering component under all four names.
  kwtest::ScratchDir installation;
  const std::wstring folder = installation.wide() + (kwtest::componentFolder().back());
  const std::filesystem::path good(path(kwtest::componentFolder(), L"VRXInternetExplorer"));
  for (const wchar_t* name :
       {L"VRXInternetExplorer", L"VRXOffice", L"VRXOutlook", L"CorvaneInstaller"}) {
    std::filesystem::copy_file(good, path(folder, name));
  }
  kwtest::TextSetting installDir(L"InstallDir", folder);

  for (const wchar_t* command : {L"install-components", L"uninstall-components"}) {
    Result r = runTool({command});
    SCOPED_TRACE(narrow(command));
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(startsWith(r.lines[i], "Info  ")) << r.lines[i];
    EXPECT_TRUE(startsWith(r.lines[4], "4 of 4 components ")) << r.lines[4];
  }
  std::filesystem::current_path(m_savedFolder);  // before the folder goes
}

TEST_F(KwToolComponents, HelpAndUsageErrors) {
  for (const wchar_t* command : {L"install-components", L"uninstall-components"}) {
    SCOPED_TRACE(narrow(command));
    Result help = runTool({command, L"--help"});
    EXPECT_EQ(help.code, 0);
    ASSERT_FALSE(help.lines.empty());
    EXPECT_EQ(help.lines[0], "usage: kwtool " + narrow(command));

    for (const std::wstring& extra : {L"--bogus", L"operand"}) {
      Result r = runTool({command, extra});
      EXPECT_EQ(r.code, 2);
      EXPECT_TRUE(r.lines.empty());
      EXPECT_TRUE(startsWith(r.err, "kwtool: ")) << r.err;
      EXPECT_NE(r.err.find("\nusage: kwtool " + narrow(command)), std::string::npos) << r.err;
    }
  }
  // Nothing was run.
  EXPECT_EQ(m_trace.count(kw::SiteId::RegisterLoadFailed) +
                m_trace.count(kw::SiteId::UnregisterLoadFailed),
            0);
}

}  // namespace
