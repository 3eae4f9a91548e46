// Tests of ComponentInstaller: folder and table order, each outcome traced, the current folder,
// and a file that is no library.
#include <gtest/gtest.h>
#include <kw/ComponentInstaller.h>
#include <kw/Registry.h>
#include <kw/SiteId.h>
#include <kw/Tools.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/SuiteSetting.h"
#include "support/TestComponents.h"
#include "support/TraceCapture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>

#include <cerrno>
#endif

namespace {

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
  void* handle = dlopen(kw::Tools::narrowWideString(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
#endif
}

std::wstring errorPart(int code) { return L" System Error ID: " + std::to_wstring(code); }

class ComponentInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override { m_savedFolder = std::filesystem::current_path(); }
  void TearDown() override { std::filesystem::current_path(m_savedFolder); }

  // Each record's ID, and its text checked against what the event must say.
  void expectOutcomes(const std::wstring& folder, const std::vector<int>& ids,
                      const std::vector<std::wstring>& descriptions, const std::vector<int>& errors,
                      const std::wstring& function) {
    std::vector<kwtest::TraceCapture::Record> records = m_trace.records();
    ASSERT_EQ(records.size(), ids.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto& record = records[i];
      const std::wstring head = descriptions[i] + L"  DLL name:" + folder + kNames[i] + kExtension;
      SCOPED_TRACE(kw::Tools::narrowWideString(record.text));
      EXPECT_EQ(record.id, ids[i]);
      EXPECT_EQ(record.file, L".\\src\\ComponentInstaller");
      EXPECT_EQ(record.function, function);
      if (errors[i] == 0) {
        EXPECT_EQ(record.type, kw::Event::Info);
        EXPECT_EQ(record.text, head + L"\r\n");
      } else {
        EXPECT_EQ(record.type, kw::Event::Error);
        EXPECT_EQ(record.text.rfind(head + errorPart(errors[i]), 0), 0u);
        // The system's text for the code follows.
        EXPECT_NE(record.text.find(L" System Error Description:"), std::wstring::npos);
      }
    }
  }

  kwtest::SettingsArea m_area;
  kwtest::ComponentMarkers m_markers;
  kwtest::TraceCapture m_trace;
  std::filesystem::path m_savedFolder;
};

TEST_F(ComponentInstallerTest, WithoutInstallDirTheDefaultFolderIsTriedInTableOrder) {
  const kw::Registry suite(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  if (suite.read(L"InstallDir", L"\x01unset") != L"\x01unset")
    GTEST_SKIP() << "InstallDir is set on this machine";
  if (std::filesystem::exists(std::filesystem::path(kDefaultFolder)))
    GTEST_SKIP() << "the suite is installed on this machine: its components would really run";

  std::vector<kw::FileName> list{kw::FileName(L"kept.txt")};
  Installer::buildComponentList(list);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_STREQ(list[0].getFilepath(), L"kept.txt");
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::wstring(list[i + 1].getFilepath()),
              std::wstring(kDefaultFolder) + kNames[i] + kExtension);
  }

  kw::ComponentInstaller::installComponents();
  const int e = kMissingFileError;
  expectOutcomes(
      kDefaultFolder,
      {kw::SiteId::RegisterLoadFailed, kw::SiteId::RegisterLoadFailed,
       kw::SiteId::RegisterLoadFailed, kw::SiteId::RegisterLoadFailed},
      {L"Failed to load DLL", L"Failed to load DLL", L"Failed to load DLL", L"Failed to load DLL"},
      {e, e, e, e}, L"ComponentInstaller::installComponent");
}

TEST_F(ComponentInstallerTest, EachOutcomeIsTracedAndNoFailureStopsTheRest) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::SuiteSetting installDir(L"InstallDir", folder);

  kw::ComponentInstaller::installComponents();
  expectOutcomes(folder,
                 {kw::SiteId::RegisterSucceeded, kw::SiteId::RegisterFailed,
                  kw::SiteId::RegisterEntryMissing, kw::SiteId::RegisterLoadFailed},
                 {L"Dll Registration Successful", L"Failed to register DLL",
                  L"Failed to locate DllRegisterServer", L"Failed to load DLL"},
                 {0, kStagedError, kMissingExportError, kMissingFileError},
                 L"ComponentInstaller::installComponent");
  EXPECT_TRUE(m_markers.registered());
  for (const wchar_t* name : kNames) {
    EXPECT_FALSE(isLoaded(folder + name + kExtension)) << kw::Tools::narrowWideString(name);
  }

  m_trace.clear();
  kw::ComponentInstaller::uninstallComponents();
  expectOutcomes(folder,
                 {kw::SiteId::UnregisterSucceeded, kw::SiteId::UnregisterFailed,
                  kw::SiteId::UnregisterEntryMissing, kw::SiteId::UnregisterLoadFailed},
                 {L"Dll Unregistration Successful", L"Failed to unregister DLL",
                  L"Failed to locate DllUnregisterServer", L"Failed to load DLL"},
                 {0, kStagedError, kMissingExportError, kMissingFileError},
                 L"ComponentInstaller::uninstallComponent");
  EXPECT_FALSE(m_markers.registered());
}

TEST_F(ComponentInstallerTest, CurrentDirectoryEndsInTheLastComponentsFolder) {
  const std::wstring folder = kwtest::componentFolder();
  kwtest::SuiteSetting installDir(L"InstallDir", folder);
  kw::ComponentInstaller::installComponents();
  // Without the trailing separator, which mingw's equivalent() does not take.
  const std::filesystem::path expected = std::filesystem::path(folder).parent_path();
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), expected))
      << std::filesystem::current_path().string() << " vs " << expected.string();

  // Also when the last one is missing and lies elsewhere.
  kwtest::ScratchDir elsewhere;
  std::vector<kw::FileName> list{
      kw::FileName((folder + kNames[0] + kExtension).c_str()),
      kw::FileName((elsewhere.wide() + L"/Missing" + kExtension).c_str())};
  Installer::installComponents(list);
  EXPECT_EQ(m_trace.ids().back(), kw::SiteId::RegisterLoadFailed);
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), elsewhere.path()));
  std::filesystem::current_path(m_savedFolder);  // before the folder goes
}

}  // namespace

TEST_F(ComponentInstallerTest, AFileThatIsNoLibraryFailsToLoad) {
  kwtest::ScratchDir folder;
  const std::wstring path = folder.wide() + L"/Broken" + kExtension;
  std::ofstream(std::filesystem::path(path)) << "not a library";
  std::vector<kw::FileName> list{kw::FileName(path.c_str())};
  Installer::uninstallComponents(list);
  std::vector<kwtest::TraceCapture::Record> records = m_trace.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, kw::SiteId::UnregisterLoadFailed);
  EXPECT_NE(records[0].text.find(errorPart(kNotALibraryError)), std::wstring::npos)
      << kw::Tools::narrowWideString(records[0].text);
  std::filesystem::current_path(m_savedFolder);  // before the folder goes
}
