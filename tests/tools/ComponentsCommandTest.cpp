// Tests of kwtool install-components and uninstall-components: the line printed for each outcome,
// the count, and the exit code. Which outcome each component gives is the installer's own test.
#include <gtest/gtest.h>
#include <kw/SiteId.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SuiteSetting.h"
#include "support/TestComponents.h"
#include "support/Text.h"
#include "support/ToolRun.h"
#include "support/TraceCapture.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

bool startsWith(const std::string& text, const std::string& head) {
  return text.rfind(head, 0) == 0;
}

std::string path(const std::wstring& folder, const wchar_t* name) {
  return kwtest::narrow(folder + name + kwtest::componentExtension());
}

class KwToolComponents : public ::testing::Test {
 protected:
  void SetUp() override { m_savedFolder = std::filesystem::current_path(); }
  void TearDown() override { std::filesystem::current_path(m_savedFolder); }

  kwtest::SettingsArea m_area;
  kwtest::ComponentMarkers m_markers;
  kwtest::TraceCapture m_trace;  // the logger, as kwtool's main starts it
  std::filesystem::path m_savedFolder;
};

TEST_F(KwToolComponents, PrintsEveryOutcomeAndFailsWhenOneFailed) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::SuiteSetting installDir(L"InstallDir", folder);
  struct Case {
    const wchar_t* command;
    int succeeded, failed, entryMissing, loadFailed;
    const char* description;  // the success's
    const char* count;
  };
  const Case cases[] = {
      {L"install-components", kw::SiteId::RegisterSucceeded, kw::SiteId::RegisterFailed,
       kw::SiteId::RegisterEntryMissing, kw::SiteId::RegisterLoadFailed,
       "Dll Registration Successful", "1 of 4 components registered"},
      {L"uninstall-components", kw::SiteId::UnregisterSucceeded, kw::SiteId::UnregisterFailed,
       kw::SiteId::UnregisterEntryMissing, kw::SiteId::UnregisterLoadFailed,
       "Dll Unregistration Successful", "1 of 4 components unregistered"},
  };
  for (const Case& c : cases) {
    const kwtest::ToolResult r = kwtest::runTool({c.command});
    const std::vector<std::string> out = lines(r.out);
    EXPECT_EQ(r.code, 1) << r.err;
    ASSERT_EQ(out.size(), 5u) << r.out << r.err;
    // Severity, ID and the event's text without its line end.
    EXPECT_EQ(out[0], "Info  " + std::to_string(c.succeeded) + " " + c.description +
                          "  DLL name:" + path(folder, L"VRXInternetExplorer"));
    EXPECT_TRUE(startsWith(out[1], "Error " + std::to_string(c.failed) + " ")) << out[1];
    EXPECT_TRUE(startsWith(out[2], "Error " + std::to_string(c.entryMissing) + " ")) << out[2];
    EXPECT_TRUE(startsWith(out[3], "Error " + std::to_string(c.loadFailed) + " ")) << out[3];
    EXPECT_EQ(out[4], c.count);
    // The other trace devices still see the outcomes.
    EXPECT_EQ(m_trace.count(c.succeeded), 1);
  }
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
  kwtest::SuiteSetting installDir(L"InstallDir", folder);

  const kwtest::ToolResult installed = kwtest::runTool({L"install-components"});
  EXPECT_EQ(installed.code, 0) << installed.err;
  EXPECT_EQ(lines(installed.out).back(), "4 of 4 components registered");
  const kwtest::ToolResult removed = kwtest::runTool({L"uninstall-components"});
  EXPECT_EQ(removed.code, 0) << removed.err;
  EXPECT_EQ(lines(removed.out).back(), "4 of 4 components unregistered");
  std::filesystem::current_path(m_savedFolder);  // before the folder goes
}

}  // namespace
