// Tests of Registry and the settings store: every value type, defaults, case-insensitive names,
// concurrent writers, and the Linux store's files, handles and failures.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>
#include <kw/Registry.h>

#include <climits>
#include <string>
#include <vector>

#include "os/Registry.h"
#include "support/ChildProcess.h"
#include "support/FileBytes.h"
#include "support/OtherUser.h"
#include "support/ScopedEnv.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#endif

namespace {

namespace os = kw::os;
using Bytes = std::vector<unsigned char>;

// Raw access for what Registry cannot write (other types, exact bytes): the
// store's own calls, which are the Win32 calls on Windows.
long rawSet(HKEY root, const std::wstring& key, const wchar_t* name, unsigned type,
            const Bytes& data) {
  HKEY handle = nullptr;
  long rc = os::regCreateKey(root, key, KEY_ALL_ACCESS, handle);
  if (rc != 0) return rc;
  rc = os::regSetValue(handle, name, type, data.data(), static_cast<unsigned>(data.size()));
  os::regCloseKey(handle);
  return rc;
}

struct RawValue {
  long status = -1;
  unsigned type = 0;
  Bytes data;
};

RawValue rawGet(HKEY root, const std::wstring& key, const wchar_t* name) {
  RawValue value;
  HKEY handle = nullptr;
  value.status = os::regOpenKey(root, key, KEY_READ, handle);
  if (value.status != 0) return value;
  value.data.resize(4096);
  unsigned size = static_cast<unsigned>(value.data.size());
  value.status = os::regQueryValue(handle, name, &value.type, value.data.data(), &size);
  value.data.resize(value.status == 0 ? size : 0);
  os::regCloseKey(handle);
  return value;
}

bool keyExists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (os::regOpenKey(root, key, KEY_READ, handle) != 0) return false;
  os::regCloseKey(handle);
  return true;
}

kw::ByteArray bytes(const Bytes& data) {
  return kw::ByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

// Every test gets a settings area of its own.
class RegistryTest : public ::testing::Test {
 protected:
  kw::Registry registry(HKEY root = HKEY_CURRENT_USER) const {
    return kw::Registry(root, m_path.c_str());
  }
  // The raw value at a value path below the area.
  RawValue stored(const std::wstring& valuePath, HKEY root = HKEY_CURRENT_USER) const {
    const std::size_t cut = valuePath.rfind(L'\\');
    if (cut == std::wstring::npos) return rawGet(root, m_path, valuePath.c_str());
    return rawGet(root, m_path + L"\\" + valuePath.substr(0, cut),
                  valuePath.substr(cut + 1).c_str());
  }

  kwtest::SettingsArea m_area;
  const std::wstring m_path = m_area.keyPath();
  const kwtest::ScratchDir& m_scratch = m_area.scratch();
};

TEST(RegistryPaths, TheRootKeyPathIsKeptClean) {
  kw::Registry registry(HKEY_LOCAL_MACHINE, L"\\Software\\Other\\; ");
  EXPECT_EQ(registry.getRootKeyPath(), L"Software\\Other");
  registry.setRootKeyPath(nullptr);
  EXPECT_EQ(registry.getRootKeyPath(), L"Software\\Other");
  registry.setRootKeyPath(L"/A\\B/");
  EXPECT_EQ(registry.getRootKeyPath(), L"A\\B");
}

// Each write stores Windows' own form, and the matching read gives it back.
TEST_F(RegistryTest, EachWriteStoresTheWindowsFormAndReadsBack) {
  const wchar_t* const deep = L"K\u00e9y\U0001F600\\Sub\\V\u00e4lue\U0001F600";
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(L"Int", INT_MIN));
  ASSERT_TRUE(reg.write(L"WideText", std::wstring(L"ab")));
  ASSERT_TRUE(reg.write(L"Null", static_cast<const wchar_t*>(nullptr)));
  ASSERT_TRUE(reg.write(L"Blob", bytes({0x00, 0xFF, 0x7F, 0x80})));
  ASSERT_TRUE(reg.write(L"EmptyBlob", kw::ByteArray()));
  // Every missing key on the way is made; the emoji is a surrogate pair.
  ASSERT_TRUE(reg.write(deep, L"\u00e9\U0001F600"));
  // Only the backslash separates; outer slashes are trimmed.
  ASSERT_TRUE(reg.write(L"\\Sub/\\Dev/Trace/", 7));
  const struct {
    const wchar_t* path;
    unsigned type;
    Bytes data;
  } rows[] = {
      {L"Int", REG_DWORD, {0, 0, 0, 0x80}},
      {L"WideText", REG_SZ, {'a', 0, 'b', 0, 0, 0}},
      {L"Null", REG_SZ, {0, 0}},
      {L"Blob", REG_BINARY, {0x00, 0xFF, 0x7F, 0x80}},
      {L"EmptyBlob", REG_BINARY, {}},
      {deep, REG_SZ, {0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
      {L"Sub/\\Dev/Trace", REG_DWORD, {7, 0, 0, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(kwtest::narrow(row.path));
    RawValue raw = stored(row.path);
    EXPECT_EQ(raw.type, row.type);
    EXPECT_EQ(raw.data, row.data);
  }
  const kw::ByteArray fallback = bytes({1});
  EXPECT_EQ(reg.read(L"WideText", std::wstring(L"dflt")), L"ab");
  EXPECT_EQ(reg.read(L"Null", L"dflt"), L"");
  EXPECT_EQ(reg.read(L"EmptyBlob", &fallback).getSize(), 0);
  EXPECT_EQ(reg.read(deep, L""), L"\u00e9\U0001F600");

  // A write replaces the value and its type.
  EXPECT_TRUE(reg.write(L"Int", L"now text"));
  EXPECT_EQ(reg.read(L"Int", L""), L"now text");
}

// The int read takes any value of at most four bytes; the text and byte
// reads only their own type; a failed read gives the default.
TEST_F(RegistryTest, EachReadTakesWhatItsTypeAllows) {
  kw::Registry reg = registry();
  const kw::ByteArray fallback = bytes({0xEE});
  auto expectDefaults = [&](const wchar_t* path) {
    SCOPED_TRACE(kwtest::narrow(path));
    EXPECT_EQ(reg.read(path, 17), 17);
    EXPECT_EQ(reg.read(path, L"dflt"), L"dflt");
    EXPECT_EQ(reg.read(path, static_cast<const wchar_t*>(nullptr)), L"");
    EXPECT_EQ(reg.read(path, &fallback), fallback);
    EXPECT_EQ(reg.read(path, static_cast<const kw::ByteArray*>(nullptr)).getSize(), 0);
  };
  expectDefaults(L"Missing");  // nothing stored at all yet

  const struct {
    const wchar_t* name;
    unsigned type;
    Bytes data;
    int asInt;
    const wchar_t* asText;
    bool asBytes;
  } rows[] = {
      {L"Dword", REG_DWORD, {0, 0, 0, 0x80}, INT_MIN, L"dflt", false},
      {L"Sz1", REG_SZ, {'1', 0, 0, 0}, '1', L"1", false},
      {L"Sz12", REG_SZ, {'1', 0, '2', 0, 0, 0}, -1, L"12", false},
      {L"Unterminated", REG_SZ, {'a', 0, 'b', 0, 'c', 0}, -1, L"abc", false},
      {L"InnerNul", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}, -1, L"a", false},
      {L"Expand", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}, -1, L"dflt", false},
      {L"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}, -1, L"dflt", false},
      {L"Qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, -1, L"dflt", false},
      {L"Bin4", REG_BINARY, {0x78, 0x56, 0x34, 0x12}, 0x12345678, L"dflt", true},
      {L"Bin1", REG_BINARY, {0xFF}, 0xFF, L"dflt", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(kwtest::narrow(row.name));
    ASSERT_EQ(rawSet(HKEY_CURRENT_USER, m_path, row.name, row.type, row.data), 0);
    EXPECT_EQ(reg.read(row.name, -1), row.asInt);
    EXPECT_EQ(reg.read(row.name, L"dflt"), row.asText);
    EXPECT_EQ(reg.read(row.name, &fallback), row.asBytes ? bytes(row.data) : fallback);
  }
  expectDefaults(L"Missing");
  expectDefaults(L"No\\Such\\Key");
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndDeleteTakesABareName) {
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(L"Alpha\\Value", 1));
  EXPECT_EQ(reg.read(L"ALPHA\\vALUE", 0), 1);
  EXPECT_TRUE(reg.write(L"alpha\\VALUE", 2));
  EXPECT_EQ(reg.read(L"Alpha\\Value", 0), 2);
  EXPECT_TRUE(kw::Registry(HKEY_CURRENT_USER, (m_path + L"\\aLpHa").c_str()).deleteValue(L"value"));
  EXPECT_EQ(reg.read(L"Alpha\\Value", -1), -1);

  // Delete takes a bare name.
  ASSERT_TRUE(reg.write(L"Level", 1));
  ASSERT_TRUE(reg.write(L"Sub\\Level", 2));
  EXPECT_FALSE(reg.deleteValue(L"Sub\\Level"));
  // A value whose name holds a backslash, which only raw calls can make.
  ASSERT_EQ(rawSet(HKEY_CURRENT_USER, m_path, L"Sub\\Level", REG_DWORD, {9, 0, 0, 0}), 0);
  EXPECT_TRUE(reg.deleteValue(L"Sub\\Level"));
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, m_path, L"Sub\\Level").status, os::kRegNotFound);
  EXPECT_TRUE(reg.deleteValue(L"Level"));
  EXPECT_FALSE(reg.deleteValue(L"Level"));
  EXPECT_EQ(reg.read(L"Level", -1), -1);
  EXPECT_EQ(reg.read(L"Sub\\Level", 0), 2);
}

TEST_F(RegistryTest, UnnamedValues) {
  kw::Registry reg = registry();
  // A value path of separators only is the unnamed value of the root key path.
  EXPECT_TRUE(reg.write(L"\\/. ", 5));
  EXPECT_EQ(stored(L"").data, (Bytes{5, 0, 0, 0}));
  EXPECT_EQ(reg.read(L"", 0), 5);

  // A null value path is the root key's own unnamed value; a test key stands
  // in for the root so that nothing outside it is touched.
  HKEY testKey = nullptr;
  ASSERT_EQ(os::regCreateKey(HKEY_CURRENT_USER, m_path + L"\\Root", KEY_ALL_ACCESS, testKey), 0);
  kw::Registry onKey(testKey, L"Unused\\Path");
  EXPECT_TRUE(onKey.write(static_cast<const wchar_t*>(nullptr), 6));
  EXPECT_EQ(onKey.read(static_cast<const wchar_t*>(nullptr), 0), 6);
  os::regCloseKey(testKey);
  EXPECT_EQ(stored(L"Root\\").data, (Bytes{6, 0, 0, 0}));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, m_path + L"\\Root\\Unused"));
}

TEST_F(RegistryTest, DefaultObjectsAddressTheUserBranch) {
  const std::wstring name = L"RegistryTest-" + kwtest::uniqueName();
  const wchar_t* suiteKey = L"Software\\Kestrelwright";
  const bool hadKey = keyExists(HKEY_CURRENT_USER, suiteKey);
  kw::Registry reg;
  ASSERT_TRUE(reg.write(name.c_str(), 11));
  EXPECT_EQ(kw::Registry(HKEY_CURRENT_USER, suiteKey).read(name.c_str(), 0), 11);
  reg.setRootKey(nullptr);  // no root: the one it has stays
  EXPECT_EQ(reg.read(name.c_str(), 0), 11);
  reg.setRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.read(name.c_str(), 0), 0);
  EXPECT_TRUE(kw::Registry().deleteValue(name.c_str()));
#ifdef _WIN32
  if (!hadKey) RegDeleteKeyW(HKEY_CURRENT_USER, suiteKey);
#else
  (void)hadKey;
#endif
}

// args: root ("HKLM" or "HKCU"), key path, prefix, count. Writes that many
// values, each named by the prefix and its number and holding the number.
KW_CHILD_MAIN(registryWriter) {
  const std::wstring path = kwtest::wide(args.at(1)), prefix = kwtest::wide(args.at(2));
  kw::Registry reg(args[0] == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path.c_str());
  int failures = 0;
  for (int i = 0; i < std::stoi(args.at(3)); ++i)
    failures += !reg.write((prefix + std::to_wstring(i)).c_str(), i);
  return failures ? 1 : 0;
}

// How many of the values registryWriter writes are not there.
int missingValues(const kw::Registry& reg, const wchar_t* prefix, int count) {
  int missing = 0;
  for (int i = 0; i < count; ++i)
    missing += reg.read((prefix + std::to_wstring(i)).c_str(), -1) != i;
  return missing;
}

class RegistryConcurrency : public RegistryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RegistryConcurrency, TwoProcessesWritingAtOnceLoseNothing) {
  const char* root = GetParam() ? "HKLM" : "HKCU";
  kw::Registry reg = registry(GetParam() ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
  if (!reg.write(L"Probe", 1)) GTEST_SKIP() << "this account cannot write the machine branch";
  kwtest::ChildProcess a("registryWriter", {root, kwtest::narrow(m_path), "A", "200"});
  kwtest::ChildProcess b("registryWriter", {root, kwtest::narrow(m_path), "B", "200"});
  ASSERT_TRUE(a.started() && b.started());
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  EXPECT_EQ(missingValues(reg, L"A", 200) + missingValues(reg, L"B", 200), 0);
}

INSTANTIATE_TEST_SUITE_P(RegistryRoots, RegistryConcurrency, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Machine" : "User"; });

#ifndef _WIN32

// The Linux store's own behaviour: what Windows gives for free.
using RegistryStore = RegistryTest;

// A forked child watches the store through a queue of its own: what it reads
// must not hide a change from its parent.
TEST_F(RegistryStore, AForkedChildLeavesTheParentItsChanges) {
  ASSERT_TRUE(registry().write(L"Before", 1));
  std::uint64_t first = 0, after = 0;
  ASSERT_TRUE(os::regChangeStamp(HKEY_CURRENT_USER, first));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool wrote = registry().write(L"Child", 2);
    os::regChangeStamp(HKEY_CURRENT_USER, after);
    _exit(wrote ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(os::regChangeStamp(HKEY_CURRENT_USER, after));
  EXPECT_NE(after, first);
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A process that wrote settings and ended leaves the store's file alone in
// its folder: no write-ahead log, no index of it.
TEST(RegistryStoreFiles, AnEndedProcessLeavesOnlyTheStore) {
  kwtest::ScratchDir folder;
  {
    kwtest::ScopedEnv store("KW_REGISTRY_DIR", folder.path().string());
    for (const char* root : {"HKCU", "HKLM"}) {
      kwtest::ChildProcess child("registryWriter", {root, "Software\\Kestrelwright", "W", "50"});
      EXPECT_EQ(child.wait(), 0);
    }
  }
  EXPECT_EQ(namesIn(folder.path()),
            (std::vector<std::string>{"HKEY_CURRENT_USER.db", "HKEY_LOCAL_MACHINE.db", "private"}));
  EXPECT_EQ(namesIn(folder.path() / "private"),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE.db", "publish.lock"}));
}

// The store's calls as Win32 has them: buffer sizes, access, handles.
TEST_F(RegistryStore, RawCallsFollowWin32Rules) {
  HKEY readOnly = nullptr, writeOnly = nullptr, child = nullptr, other = nullptr;
  ASSERT_EQ(os::regCreateKey(HKEY_CURRENT_USER, m_path, KEY_WRITE, writeOnly), 0);
  ASSERT_EQ(os::regOpenKey(HKEY_CURRENT_USER, m_path, KEY_READ, readOnly), 0);
  const unsigned char one[4] = {1, 0, 0, 0};
  unsigned char buffer[16] = {};
  unsigned type = 0, size = 0;
  ASSERT_EQ(os::regSetValue(writeOnly, L"Ten", REG_BINARY, buffer, 10), 0);
  EXPECT_EQ(os::regQueryValue(readOnly, L"Ten", &type, nullptr, &size), 0);
  EXPECT_EQ(type, static_cast<unsigned>(REG_BINARY));
  EXPECT_EQ(size, 10u);
  size = 4;
  EXPECT_EQ(os::regQueryValue(readOnly, L"Ten", nullptr, buffer, &size), os::kRegMoreData);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(os::regQueryValue(readOnly, L"Ten", nullptr, buffer, nullptr),
            os::kRegInvalidParameter);
  EXPECT_EQ(os::regQueryValue(readOnly, L"None", nullptr, nullptr, &size), os::kRegNotFound);

  EXPECT_EQ(os::regSetValue(readOnly, L"V", REG_DWORD, one, 4), os::kRegAccessDenied);
  EXPECT_EQ(os::regDeleteValue(readOnly, L"V"), os::kRegAccessDenied);
  EXPECT_EQ(os::regSetValue(writeOnly, L"V", REG_DWORD, one, 4), 0);
  EXPECT_EQ(os::regQueryValue(writeOnly, L"V", nullptr, nullptr, &size), os::kRegAccessDenied);
  EXPECT_EQ(os::regQueryValue(readOnly, L"v", nullptr, nullptr, &size), 0);

  // Keys open relative to an open key, as on Windows.
  ASSERT_EQ(os::regCreateKey(writeOnly, L"Child\\\\Grandchild\\", KEY_ALL_ACCESS, child), 0);
  EXPECT_EQ(os::regSetValue(child, nullptr, REG_DWORD, one, 4), 0);
  EXPECT_EQ(os::regCloseKey(child), 0);
  EXPECT_EQ(stored(L"child\\GRANDCHILD\\").data, (Bytes{1, 0, 0, 0}));

  EXPECT_EQ(os::regCloseKey(readOnly), 0);
  EXPECT_EQ(os::regCloseKey(writeOnly), 0);
  EXPECT_EQ(os::regCloseKey(readOnly), os::kRegInvalidHandle);
  EXPECT_EQ(os::regQueryValue(readOnly, L"V", nullptr, nullptr, &size), os::kRegInvalidHandle);
  EXPECT_EQ(os::regCloseKey(HKEY_CURRENT_USER), 0);
  EXPECT_EQ(os::regOpenKey(HKEY_CLASSES_ROOT, L"", KEY_READ, other), os::kRegInvalidHandle);
  EXPECT_EQ(os::regCreateKey(HKEY_CURRENT_USER, L"\\Leading", KEY_WRITE, other),
            os::kRegBadPathName);
}

unsigned modeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST_F(RegistryStore, FilesAppearOnFirstWriteWithTheirModes) {
  const auto& dir = m_scratch.path();
  EXPECT_EQ(registry().read(L"X", 0), 0);
  EXPECT_EQ(registry(HKEY_LOCAL_MACHINE).read(L"X", 0), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir));

  ASSERT_TRUE(registry().write(L"X", 1));
  ASSERT_TRUE(registry(HKEY_LOCAL_MACHINE).write(L"X", 2));
  EXPECT_EQ(modeOf(dir / "HKEY_CURRENT_USER.db"), 0600u);
  // Machine settings are read by every account, written by administrators.
  EXPECT_EQ(modeOf(dir / "HKEY_LOCAL_MACHINE.db"), 0644u);
  EXPECT_EQ(registry().read(L"X", 0), 1);
  EXPECT_EQ(registry(HKEY_LOCAL_MACHINE).read(L"X", 0), 2);

  // A folder that does not exist yet is made private.
  kwtest::setEnv("KW_REGISTRY_DIR", (dir / "deeper" / "store").string());
  ASSERT_TRUE(registry().write(L"X", 3));
  EXPECT_EQ(modeOf(dir / "deeper" / "store"), 0700u);
}

void removeAllIn(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    std::filesystem::remove(entry.path());
}

TEST_F(RegistryStore, FollowsTheFolderVariableAndReplacedFiles) {
  ASSERT_TRUE(registry().write(L"Where", 1));
  kwtest::ScratchDir other;
  kwtest::setEnv("KW_REGISTRY_DIR", other.path().string());
  EXPECT_EQ(registry().read(L"Where", 0), 0);
  ASSERT_TRUE(registry().write(L"Where", 2));
  kwtest::setEnv("KW_REGISTRY_DIR", m_scratch.path().string());
  EXPECT_EQ(registry().read(L"Where", 0), 1);

  // A store deleted behind the cached connection is noticed.
  removeAllIn(m_scratch.path());
  EXPECT_EQ(registry().read(L"Where", 0), 0);
  ASSERT_TRUE(registry().write(L"Where", 3));
  EXPECT_EQ(registry().read(L"Where", 0), 3);
}

// args: the machine store's file as other users see it, a folder for
// signals, the key path. As another user: holds a read transaction on the
// file (through the SQLite the store loaded) while the parent writes, then
// reads what it wrote through the store.
KW_CHILD_MAIN(otherUserHoldsMachineRead) {
  if (!kwtest::becomeOtherUser()) return 2;
  auto open = reinterpret_cast<decltype(&sqlite3_open_v2)>(dlsym(RTLD_DEFAULT, "sqlite3_open_v2"));
  auto exec = reinterpret_cast<decltype(&sqlite3_exec)>(dlsym(RTLD_DEFAULT, "sqlite3_exec"));
  auto close = reinterpret_cast<decltype(&sqlite3_close)>(dlsym(RTLD_DEFAULT, "sqlite3_close"));
  sqlite3* db = nullptr;
  if (!open || !exec || !close ||
      open(args.at(0).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return 3;
  if (exec(db, "BEGIN; SELECT count(*) FROM vals;", nullptr, nullptr, nullptr) != SQLITE_OK)
    return 4;
  kwtest::touchFile(args.at(1) + "/holding");
  if (!kwtest::waitForFile(args.at(1) + "/written", 60000)) return 5;
  const std::wstring key = kwtest::wide(args.at(2));
  const int seen = kw::Registry(HKEY_LOCAL_MACHINE, key.c_str()).read(L"Late", -1);
  exec(db, "COMMIT", nullptr, nullptr, nullptr);
  close(db);  // or the leak checker fails the child
  return seen == 42 ? 0 : 6;
}

// Machine settings are readable by every user, as HKLM is; a reader of
// another user holding a transaction open on them must not hold up a write.
TEST_F(RegistryStore, AnotherUsersReadTransactionHoldsUpNoMachineWrite) {
  std::string reason;
  if (!kwtest::canActAsOtherUser(reason)) GTEST_SKIP() << reason;
  kw::Registry reg = registry(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.write(L"Early", 1));
  kwtest::ScratchDir signals;
  chmod(signals.path().c_str(), 0777);
  kwtest::ChildProcess reader("otherUserHoldsMachineRead",
                              {(m_scratch.path() / "HKEY_LOCAL_MACHINE.db").string(),
                               signals.path().string(), kwtest::narrow(m_path)});
  ASSERT_TRUE(kwtest::waitForFile((signals.path() / "holding").string()));
  EXPECT_TRUE(reg.write(L"Late", 42));
  kwtest::touchFile((signals.path() / "written").string());
  EXPECT_EQ(reader.wait(), 0);
}

// args: the key path, a progress file. Writes 1000 values, noting each one
// once the store has taken it.
KW_CHILD_MAIN(machineWriterToBeKilled) {
  const std::wstring key = kwtest::wide(args.at(0));
  kw::Registry reg(HKEY_LOCAL_MACHINE, key.c_str());
  std::FILE* progress = std::fopen(args.at(1).c_str(), "w");
  for (int i = 0; progress && i < 1000; ++i) {
    if (!reg.write((L"W" + std::to_wstring(i)).c_str(), i)) return 3;
    std::fprintf(progress, "%d\n", i);
    std::fflush(progress);
  }
  return progress ? 0 : 2;
}

// A writer killed in the middle loses none of the writes it had finished.
TEST_F(RegistryStore, AKilledMachineWriterLosesNoFinishedWrite) {
  if (!registry(HKEY_LOCAL_MACHINE).write(L"Probe", 1))
    GTEST_SKIP() << "this account cannot write the machine branch";
  const std::string progress = (m_scratch.path() / "progress").string();
  kwtest::ChildProcess writer("machineWriterToBeKilled", {kwtest::narrow(m_path), progress});
  auto finished = [&] {
    std::ifstream in(progress);
    int last = -1;
    for (int i; in >> i;) last = i;
    return last;
  };
  // Killed once some writes are done, wherever it then is.
  for (int tries = 0; finished() < 50 && tries < 6000; ++tries) usleep(10000);
  writer.kill();
  writer.wait();
  const int last = finished();
  ASSERT_GE(last, 0);
  EXPECT_EQ(missingValues(registry(HKEY_LOCAL_MACHINE), L"W", last + 1), 0) << "of " << last + 1;
}

TEST_F(RegistryStore, CorruptOrForeignFilesAreErrorsNotCrashes) {
  ASSERT_TRUE(registry().write(L"Good", 1));
  removeAllIn(m_scratch.path());
  kwtest::writeFile(m_scratch.path() / "HKEY_CURRENT_USER.db", std::string(8192, 'x'));
  EXPECT_EQ(registry().read(L"Good", -1), -1);
  EXPECT_FALSE(registry().write(L"Good", 2));
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, L"", L"Good").status, os::kRegCorrupt);

  // Damaged pages inside a real store: the published machine store holds all
  // its data in one file; damaged and renamed over the writers' own database
  // without its log, it gives a new file, as a restore from backup would.
  kw::Registry reg = registry(HKEY_LOCAL_MACHINE);
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(reg.write((L"V" + std::to_wstring(i)).c_str(), i));
  const auto machine = m_scratch.path() / "private" / "HKEY_LOCAL_MACHINE.db";
  std::string content = kwtest::readFile(m_scratch.path() / "HKEY_LOCAL_MACHINE.db");
  ASSERT_GT(content.size(), 8192u);
  std::fill(content.begin() + 4096, content.end(), static_cast<char>(0xA5));
  kwtest::writeFile(m_scratch.path() / "damaged", content);
  std::filesystem::rename(m_scratch.path() / "damaged", machine);
  for (const char* side : {"-wal", "-shm"}) std::filesystem::remove(machine.string() + side);
  EXPECT_EQ(reg.read(L"V7", -1), -1);
  EXPECT_FALSE(reg.write(L"V7", 8));
  EXPECT_EQ(stored(L"V7", HKEY_LOCAL_MACHINE).status, os::kRegCorrupt);
}

#endif

}  // namespace
