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

std::string path(const std::wstring& folder, const wchar_t* name) {
  return kwtest::narrow(folder + name + kwtest::componentExtension());
}

}  // namespace

TEST(KwToolComponents, PrintsEveryOutcomeAndFailsWhenOneFailed) {
  kwtest::SettingsArea area;
  kwtest::ComponentMarkers markers;
  kwtest::TraceCapture trace;  // the logger, as kwtool's main starts it
  const std::wstring mixed = kwtest::componentFolder();
  // The registering component under all four names.
  kwtest::ScratchDir installation;
  const std::wstring good = installation.wide() + mixed.back();
  // The installer changes folder; back out before the scratch folder goes.
  struct Restore {
    std::filesystem::path saved = std::filesystem::current_path();
    ~Restore() { std::filesystem::current_path(saved); }
  } restore;
  for (const wchar_t* name :
       {L"VRXInternetExplorer", L"VRXOffice", L"VRXOutlook", L"CorvaneInstaller"})
    std::filesystem::copy_file(path(mixed, L"VRXInternetExplorer"), path(good, name));
  struct Case {
    const wchar_t* command;
    int outcomes[4];  // succeeded, failed, entry missing, load failed
    const char* succeeded;
    const char* done;
  };
  const Case cases[] = {{L"install-components",
                         {kw::SiteId::RegisterSucceeded, kw::SiteId::RegisterFailed,
                          kw::SiteId::RegisterEntryMissing, kw::SiteId::RegisterLoadFailed},
                         "Dll Registration Successful",
                         "registered"},
                        {L"uninstall-components",
                         {kw::SiteId::UnregisterSucceeded, kw::SiteId::UnregisterFailed,
                          kw::SiteId::UnregisterEntryMissing, kw::SiteId::UnregisterLoadFailed},
                         "Dll Unregistration Successful",
                         "unregistered"}};
  for (const Case& c : cases) {
    std::vector<std::string> out;
    {
      kwtest::SuiteSetting installDir(L"InstallDir", mixed);
      const kwtest::ToolResult r = kwtest::runTool({c.command});
      out = lines(r.out);
      EXPECT_EQ(r.code, 1) << r.err;
    }
    ASSERT_EQ(out.size(), 5u);
    // Severity, ID and the event's text without its line end.
    EXPECT_EQ(out[0], "Info  " + std::to_string(c.outcomes[0]) + " " + c.succeeded +
                          "  DLL name:" + path(mixed, L"VRXInternetExplorer"));
    for (int i = 1; i < 4; ++i)
      EXPECT_EQ(out[i].rfind("Error " + std::to_string(c.outcomes[i]) + " ", 0), 0u) << out[i];
    EXPECT_EQ(out[4], std::string("1 of 4 components ") + c.done);
    // The other trace devices still see the outcomes.
    EXPECT_EQ(trace.count(c.outcomes[0]), 1);

    kwtest::SuiteSetting installDir(L"InstallDir", good);
    const kwtest::ToolResult r = kwtest::runTool({c.command});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines(r.out).back(), std::string("4 of 4 components ") + c.done);
  }
}
