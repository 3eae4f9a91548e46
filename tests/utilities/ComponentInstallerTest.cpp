// Tests of ComponentInstaller: folder and table order, each outcome traced, the current folder,
// and a file that is no library.
#include <gtest/gtest.h>
#include <kw/ComponentInstaller.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SuiteSetting.h"
#include "support/TestComponents.h"
#include "support/Text.h"
#include "support/TraceCapture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include <cerrno>
#endif

namespace {

namespace fs = std::filesystem;
using kw::SiteId;

// The protected steps, for lists of the test's own making.
struct Installer : kw::ComponentInstaller {
  using ComponentInstaller::buildComponentList;
  using ComponentInstaller::installComponents;
  using ComponentInstaller::uninstallComponents;
};

const wchar_t* const kExtension = kwtest::componentExtension();

#ifdef _WIN32
const wchar_t kDefaultFolder[] = L"C:\\Program Files\\Kestrelwright\\";
const int kMissingFileError = ERROR_MOD_NOT_FOUND;
const int kMissingExportError = ERROR_PROC_NOT_FOUND;
const int kStagedError = ERROR_ACCESS_DENIED;  // what the failing component leaves behind
const int kNotALibraryError = ERROR_BAD_EXE_FORMAT;
#else
const wchar_t kDefaultFolder[] = L"/opt/Kestrelwright/";
const int kMissingFileError = ENOENT;
const int kMissingExportError = ENOSYS;
const int kStagedError = EACCES;
const int kNotALibraryError = ENOEXEC;
#endif

const wchar_t* const kNames[] = {L"VRXInternetExplorer", L"VRXOffice", L"VRXOutlook",
                                 L"CorvaneInstaller"};

bool isLoaded(const std::wstring& path) {
#ifdef _WIN32
  return GetModuleHandleW(path.c_str()) != nullptr;
#else
  void* handle = dlopen(kwtest::narrow(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
#endif
}

std::wstring errorPart(int code) { return L" System Error ID: " + std::to_wstring(code); }

// What one component's step must trace; no error for a success.
struct Outcome {
  int id;
  const wchar_t* description;
  int error;
};

class ComponentInstallerTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::current_path(m_savedFolder); }

  // One record per component of the table, in its order.
  void expectOutcomes(const std::wstring& folder, const std::vector<Outcome>& outcomes,
                      const std::wstring& function) {
    const std::vector<kwtest::TraceCapture::Record> records = m_trace.records();
    ASSERT_EQ(records.size(), outcomes.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto& record = records[i];
      const Outcome& outcome = outcomes[i];
      SCOPED_TRACE(kwtest::narrow(record.text));
      const std::wstring head =
          outcome.description + (L"  DLL name:" + folder) + kNames[i] + kExtension;
      EXPECT_EQ(record.id, outcome.id);
      EXPECT_EQ(record.file, L".\\src\\ComponentInstaller");
      EXPECT_EQ(record.function, function);
      EXPECT_EQ(record.type, outcome.error ? kw::Event::Error : kw::Event::Info);
      if (!outcome.error) {
        EXPECT_EQ(record.text, head + L"\r\n");
      } else {
        EXPECT_EQ(record.text.rfind(head + errorPart(outcome.error), 0), 0u);
        // The system's text for the code follows.
        EXPECT_NE(record.text.find(L" System Error Description:"), std::wstring::npos);
      }
    }
  }

  kwtest::SettingsArea m_area;
  kwtest::ComponentMarkers m_markers;
  kwtest::TraceCapture m_trace;
  const fs::path m_savedFolder = fs::current_path();
};

TEST_F(ComponentInstallerTest, WithoutInstallDirTheListIsTheDefaultFolderInTableOrder) {
  const kw::Registry suite(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  if (suite.read(L"InstallDir", L"\x01unset") != L"\x01unset")
    GTEST_SKIP() << "InstallDir is set on this machine";

  std::vector<kw::FileName> list{kw::FileName(L"kept.txt")};
  Installer::buildComponentList(list);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_STREQ(list[0].getFilepath(), L"kept.txt");
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(list[i + 1].getFilepath(), kDefaultFolder + (kNames[i] + std::wstring(kExtension)));
}

TEST_F(ComponentInstallerTest, EachOutcomeIsTracedAndNoFailureStopsTheRest) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::SuiteSetting installDir(L"InstallDir", folder);

  kw::ComponentInstaller::installComponents();
  expectOutcomes(
      folder,
      {{SiteId::RegisterSucceeded, L"Dll Registration Successful", 0},
       {SiteId::RegisterFailed, L"Failed to register DLL", kStagedError},
       {SiteId::RegisterEntryMissing, L"Failed to locate DllRegisterServer", kMissingExportError},
       {SiteId::RegisterLoadFailed, L"Failed to load DLL", kMissingFileError}},
      L"ComponentInstaller::installComponent");
  EXPECT_TRUE(m_markers.registered());
  for (const wchar_t* name : kNames)
    EXPECT_FALSE(isLoaded(folder + name + kExtension)) << kwtest::narrow(name);

  m_trace.clear();
  kw::ComponentInstaller::uninstallComponents();
  expectOutcomes(folder,
                 {{SiteId::UnregisterSucceeded, L"Dll Unregistration Successful", 0},
                  {SiteId::UnregisterFailed, L"Failed to unregister DLL", kStagedError},
                  {SiteId::UnregisterEntryMissing, L"Failed to locate DllUnregisterServer",
                   kMissingExportError},
                  {SiteId::UnregisterLoadFailed, L"Failed to load DLL", kMissingFileError}},
                 L"ComponentInstaller::uninstallComponent");
  EXPECT_FALSE(m_markers.registered());
}

TEST_F(ComponentInstallerTest, CurrentDirectoryEndsInTheLastComponentsFolder) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::SuiteSetting installDir(L"InstallDir", folder);
  kw::ComponentInstaller::installComponents();
  // Without the trailing separator, which mingw's equivalent() does not take.
  EXPECT_TRUE(fs::equivalent(fs::current_path(), fs::path(folder).parent_path()));

  // Also when the last one is missing and lies elsewhere.
  kwtest::ScratchDir elsewhere;
  std::vector<kw::FileName> list{
      kw::FileName((folder + kNames[0] + kExtension).c_str()),
      kw::FileName((elsewhere.wide() + L"/Missing" + kExtension).c_str())};
  Installer::installComponents(list);
  EXPECT_EQ(m_trace.ids().back(), SiteId::RegisterLoadFailed);
  EXPECT_TRUE(fs::equivalent(fs::current_path(), elsewhere.path()));
  fs::current_path(m_savedFolder);  // before the folder goes
}

TEST_F(ComponentInstallerTest, AFileThatIsNoLibraryFailsToLoad) {
  kwtest::ScratchDir folder;
  const std::wstring path = folder.wide() + L"/Broken" + kExtension;
  std::ofstream(fs::path(path)) << "not a library";
  std::vector<kw::FileName> list{kw::FileName(path.c_str())};
  Installer::uninstallComponents(list);
  fs::current_path(m_savedFolder);  // before the folder goes
  const std::vector<kwtest::TraceCapture::Record> records = m_trace.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, SiteId::UnregisterLoadFailed);
  EXPECT_NE(records[0].text.find(errorPart(kNotALibraryError)), std::wstring::npos)
      << kwtest::narrow(records[0].text);
}

}  // namespace
