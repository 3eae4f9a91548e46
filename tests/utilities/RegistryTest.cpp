// Tests of Registry and the settings store: every value type, defaults, case-insensitive names,
// concurrent writers, and the Linux store's files, handles and failures.
#include <gtest/gtest.h>
#include <kw/ByteArray.h>
#include <kw/Registry.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/Registry.h"
#include "support/ChildProcess.h"
#include "support/OtherUser.h"
#include "support/ScopedEnv.h"
#include "support/ScratchDir.h"
#include "support/SettingsArea.h"
#include "support/Text.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

// Raw access for what Registry cannot write (other types, exact bytes): the
// store's own calls, which are the Win32 calls on Windows.
long rawOpen(HKEY root, const std::wstring& key, unsigned access, HKEY& out) {
  return kw::os::regOpenKey(root, key, access, out);
}
long rawCreate(HKEY root, const std::wstring& key, HKEY& out) {
  return kw::os::regCreateKey(root, key, KEY_ALL_ACCESS, out);
}
void rawClose(HKEY key) { kw::os::regCloseKey(key); }

long rawSet(HKEY root, const std::wstring& key, const wchar_t* name, unsigned type,
            const Bytes& data) {
  HKEY handle = nullptr;
  long rc = rawCreate(root, key, handle);
  if (rc != 0) return rc;
  rc = kw::os::regSetValue(handle, name, type, data.data(), static_cast<unsigned>(data.size()));
  rawClose(handle);
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
  value.status = rawOpen(root, key, KEY_READ, handle);
  if (value.status != 0) return value;
  value.data.resize(4096);
  unsigned size = static_cast<unsigned>(value.data.size());
  value.status = kw::os::regQueryValue(handle, name, &value.type, value.data.data(), &size);
  value.data.resize(value.status == 0 ? size : 0);
  rawClose(handle);
  return value;
}

bool keyExists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (rawOpen(root, key, KEY_READ, handle) != 0) return false;
  rawClose(handle);
  return true;
}

kw::ByteArray bytes(const Bytes& data) {
  return kw::ByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

// Exposes the path split.
class SplitProbe : public kw::Registry {
 public:
  using Registry::Registry;
  using Registry::setUp;
};

// Every test gets a settings area of its own.
class RegistryTest : public ::testing::Test {
 protected:
  kw::Registry registry(HKEY root = HKEY_CURRENT_USER) const {
    return kw::Registry(root, m_path.c_str());
  }

  kwtest::SettingsArea m_area;
  const std::wstring m_path = m_area.keyPath();
  const kwtest::ScratchDir& m_scratch = m_area.scratch();
};

TEST(RegistryPaths, SetUpSplitsAtTheLastBackslash) {
  SplitProbe probe(HKEY_LOCAL_MACHINE, L"Software\\Kestrelwright");
  auto split = [&](const wchar_t* valuePath) {
    std::wstring key, name;
    probe.setUp(valuePath, key, name);
    return std::make_pair(key, name);
  };
  using Split = std::pair<std::wstring, std::wstring>;

  EXPECT_EQ(split(L"FileLogging"), Split(L"Software\\Kestrelwright", L"FileLogging"));
  EXPECT_EQ(split(L"\\FileLogging\\"), Split(L"Software\\Kestrelwright", L"FileLogging"));
  EXPECT_EQ(split(L"Devices\\Trace\\Level"),
            Split(L"Software\\Kestrelwright\\Devices\\Trace", L"Level"));
  // Only the backslash separates; outer slashes are trimmed.
  EXPECT_EQ(split(L"/Dev/Trace/"), Split(L"Software\\Kestrelwright", L"Dev/Trace"));
  EXPECT_EQ(split(L"\\/. .\\"), Split(L"Software\\Kestrelwright", L""));

  std::wstring key = L"untouched", name = L"untouched";
  probe.setUp(nullptr, key, name);
  EXPECT_EQ(key, L"untouched");
  EXPECT_EQ(name, L"untouched");

  SplitProbe atRoot(HKEY_CURRENT_USER, L"");
  key.clear();
  name.clear();
  atRoot.setUp(L"Name", key, name);
  EXPECT_EQ(key, L"");
  EXPECT_EQ(name, L"Name");
}

TEST(RegistryPaths, RootKeyPathIsKeptClean) {
  kw::Registry registry(HKEY_LOCAL_MACHINE, L"\\Software\\Other\\; ");
  EXPECT_EQ(registry.getRootKeyPath(), L"Software\\Other");
  registry.setRootKeyPath(nullptr);
  EXPECT_EQ(registry.getRootKeyPath(), L"Software\\Other");
  registry.setRootKeyPath(L"/A\\B/");
  EXPECT_EQ(registry.getRootKeyPath(), L"A\\B");

  kw::Registry copy(registry);
  copy.setRootKeyPath(L"C");
  EXPECT_EQ(registry.getRootKeyPath(), L"A\\B");
  copy = registry;
  EXPECT_EQ(copy.getRootKeyPath(), L"A\\B");
}

TEST_F(RegistryTest, EachTypeRoundTrips) {
  kw::Registry reg = registry();
  EXPECT_TRUE(reg.write(L"Int", 42));
  EXPECT_TRUE(reg.write(L"Negative", INT_MIN));
  EXPECT_TRUE(reg.write(L"Text", L"C:\\Program Files\\Kestrelwright\\"));
  EXPECT_TRUE(reg.write(L"WideText", std::wstring(L"from a string")));
  kw::ByteArray blob = bytes({0x00, 0xFF, 0x00, 0x7F, 0x80});
  EXPECT_TRUE(reg.write(L"Blob", blob));
  EXPECT_TRUE(reg.write(L"EmptyBlob", kw::ByteArray()));

  EXPECT_EQ(reg.read(L"Int", 0), 42);
  EXPECT_EQ(reg.read(L"Negative", 0), INT_MIN);
  EXPECT_EQ(reg.read(L"Text", L"default"), L"C:\\Program Files\\Kestrelwright\\");
  EXPECT_EQ(reg.read(L"WideText", std::wstring(L"default")), L"from a string");
  EXPECT_EQ(reg.read(L"Blob", static_cast<const kw::ByteArray*>(nullptr)), blob);
  kw::ByteArray fallback = bytes({1, 2, 3});
  EXPECT_EQ(reg.read(L"EmptyBlob", &fallback).getSize(), 0);

  // The stored form is Windows' own.
  RawValue dword = rawGet(HKEY_CURRENT_USER, m_path, L"Int");
  EXPECT_EQ(dword.type, static_cast<unsigned>(REG_DWORD));
  EXPECT_EQ(dword.data, (Bytes{42, 0, 0, 0}));
  RawValue text = rawGet(HKEY_CURRENT_USER, m_path, L"WideText");
  EXPECT_EQ(text.type, static_cast<unsigned>(REG_SZ));
  EXPECT_EQ(text.data.size(), 2 * (13 + 1u));

  // A write replaces the value and its type.
  EXPECT_TRUE(reg.write(L"Int", L"now text"));
  EXPECT_EQ(reg.read(L"Int", L""), L"now text");
}

TEST_F(RegistryTest, NullTextIsStoredAsEmptyText) {
  kw::Registry reg = registry();
  EXPECT_TRUE(reg.write(L"Empty", static_cast<const wchar_t*>(nullptr)));
  RawValue raw = rawGet(HKEY_CURRENT_USER, m_path, L"Empty");
  EXPECT_EQ(raw.type, static_cast<unsigned>(REG_SZ));
  EXPECT_EQ(raw.data, (Bytes{0, 0}));
  EXPECT_EQ(reg.read(L"Empty", L"default"), L"");
}

TEST_F(RegistryTest, FailedReadsGiveTheDefault) {
  kw::Registry reg = registry();
  kw::ByteArray fallback = bytes({9, 8});
  // Nothing stored at all yet.
  EXPECT_EQ(reg.read(L"Missing", 17), 17);
  EXPECT_EQ(reg.read(L"Missing", L"dflt"), L"dflt");
  EXPECT_EQ(reg.read(L"Missing", static_cast<const wchar_t*>(nullptr)), L"");
  EXPECT_EQ(reg.read(L"Missing", &fallback), fallback);
  EXPECT_EQ(reg.read(L"Missing", static_cast<const kw::ByteArray*>(nullptr)).getSize(), 0);
  ASSERT_TRUE(reg.write(L"Present", 1));
  EXPECT_EQ(reg.read(L"No\\Such\\Key", 17), 17);
  EXPECT_EQ(reg.read(L"Missing", 17), 17);
}

TEST_F(RegistryTest, IntReadTakesAnyValueOfAtMostFourBytes) {
  const HKEY root = HKEY_CURRENT_USER;
  ASSERT_EQ(rawSet(root, m_path, L"Sz1", REG_SZ, {'1', 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Sz12", REG_SZ, {'1', 0, '2', 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Bin4", REG_BINARY, {0x78, 0x56, 0x34, 0x12}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Bin1", REG_BINARY, {0xFF}), 0);
  kw::Registry reg = registry();
  EXPECT_EQ(reg.read(L"Sz1", -1), 49);
  EXPECT_EQ(reg.read(L"Sz12", -1), -1);
  EXPECT_EQ(reg.read(L"Qword", -1), -1);
  EXPECT_EQ(reg.read(L"Bin4", -1), 0x12345678);
  EXPECT_EQ(reg.read(L"Bin1", -1), 0xFF);
}

TEST_F(RegistryTest, TextAndByteReadsAcceptOnlyTheirOwnType) {
  const HKEY root = HKEY_CURRENT_USER;
  ASSERT_EQ(rawSet(root, m_path, L"Expand", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Bin", REG_BINARY, {'a', 0, 0, 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"Unterminated", REG_SZ, {'a', 0, 'b', 0}), 0);
  ASSERT_EQ(rawSet(root, m_path, L"InnerNul", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}), 0);
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(L"Dword", 5));
  ASSERT_TRUE(reg.write(L"Sz", L"text"));

  EXPECT_EQ(reg.read(L"Expand", L"dflt"), L"dflt");
  EXPECT_EQ(reg.read(L"Multi", L"dflt"), L"dflt");
  EXPECT_EQ(reg.read(L"Bin", L"dflt"), L"dflt");
  EXPECT_EQ(reg.read(L"Dword", L"dflt"), L"dflt");
  EXPECT_EQ(reg.read(L"Unterminated", L"dflt"), L"ab");
  EXPECT_EQ(reg.read(L"InnerNul", L"dflt"), L"a");

  kw::ByteArray fallback = bytes({0xEE});
  EXPECT_EQ(reg.read(L"Dword", &fallback), fallback);
  EXPECT_EQ(reg.read(L"Sz", &fallback), fallback);
  EXPECT_EQ(reg.read(L"Expand", &fallback), fallback);
  EXPECT_EQ(reg.read(L"Bin", &fallback), bytes({'a', 0, 0, 0}));
}

TEST_F(RegistryTest, WritesCreateEveryMissingKey) {
  kw::Registry reg = registry();
  ASSERT_FALSE(keyExists(HKEY_CURRENT_USER, m_path));
  EXPECT_TRUE(reg.write(L"Alpha\\Beta\\Gamma", 3));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, m_path + L"\\Alpha"));
  RawValue gamma = rawGet(HKEY_CURRENT_USER, m_path + L"\\Alpha\\Beta", L"Gamma");
  EXPECT_EQ(gamma.status, 0);
  EXPECT_EQ(gamma.data, (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(reg.read(L"Alpha\\Beta\\Gamma", 0), 3);
}

TEST_F(RegistryTest, NamesAreCaseInsensitive) {
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(L"Alpha\\Value", 1));
  EXPECT_EQ(reg.read(L"ALPHA\\vALUE", 0), 1);
  EXPECT_TRUE(reg.write(L"alpha\\VALUE", 2));
  EXPECT_EQ(reg.read(L"Alpha\\Value", 0), 2);
  EXPECT_TRUE(kw::Registry(HKEY_CURRENT_USER, (m_path + L"\\aLpHa").c_str()).deleteValue(L"value"));
  EXPECT_EQ(reg.read(L"Alpha\\Value", -1), -1);
}

TEST_F(RegistryTest, DeleteValueTakesABareName) {
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(L"Level", 1));
  ASSERT_TRUE(reg.write(L"Sub\\Level", 2));
  EXPECT_FALSE(reg.deleteValue(L"Sub\\Level"));
  EXPECT_EQ(reg.read(L"Sub\\Level", 0), 2);
  // A value whose name holds a backslash, which only raw calls can make.
  ASSERT_EQ(rawSet(HKEY_CURRENT_USER, m_path, L"Sub\\Level", REG_DWORD, {9, 0, 0, 0}), 0);
  EXPECT_TRUE(reg.deleteValue(L"Sub\\Level"));
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, m_path, L"Sub\\Level").status, 2);

  EXPECT_TRUE(reg.deleteValue(L"Level"));
  EXPECT_FALSE(reg.deleteValue(L"Level"));
  EXPECT_EQ(reg.read(L"Level", -1), -1);
  EXPECT_EQ(reg.read(L"Sub\\Level", 0), 2);
}

TEST_F(RegistryTest, UnnamedValues) {
  kw::Registry reg = registry();
  // A value path of separators only is the unnamed value of the root key path.
  EXPECT_TRUE(reg.write(L"\\/. ", 5));
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, m_path, L"").data, (Bytes{5, 0, 0, 0}));
  EXPECT_EQ(reg.read(L"", 0), 5);

  // A null value path is the root key's own unnamed value; a test key stands
  // in for the root so that nothing outside it is touched.
  HKEY testKey = nullptr;
  ASSERT_EQ(rawCreate(HKEY_CURRENT_USER, m_path + L"\\Root", testKey), 0);
  kw::Registry onKey(testKey, L"Unused\\Path");
  EXPECT_TRUE(onKey.write(static_cast<const wchar_t*>(nullptr), 6));
  EXPECT_EQ(onKey.read(static_cast<const wchar_t*>(nullptr), 0), 6);
  rawClose(testKey);
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, m_path + L"\\Root", L"").data, (Bytes{6, 0, 0, 0}));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, m_path + L"\\Root\\Unused"));
}

TEST_F(RegistryTest, NonBmpTextRoundTrips) {
  const std::wstring text = L"caf\u00e9 \U0001F600";
  const wchar_t* path = L"K\u00e9y\U0001F600\\V\u00e4lue\U0001F600";
  kw::Registry reg = registry();
  ASSERT_TRUE(reg.write(path, text));
  EXPECT_EQ(reg.read(path, L""), text);

  // Stored as UTF-16: the emoji is a surrogate pair, then the terminator.
  RawValue raw =
      rawGet(HKEY_CURRENT_USER, m_path + L"\\K\u00e9y\U0001F600", L"V\u00e4lue\U0001F600");
  ASSERT_EQ(raw.status, 0);
  Bytes tail(raw.data.end() - 6, raw.data.end());
  EXPECT_EQ(tail, (Bytes{0x3D, 0xD8, 0x00, 0xDE, 0x00, 0x00}));
  EXPECT_EQ(raw.data.size(), 2 * (7 + 1u));
}

TEST_F(RegistryTest, DefaultObjectsAddressTheUserBranch) {
  const std::wstring name = L"RegistryTest-" + kwtest::uniqueName();
  const wchar_t* suiteKey = L"Software\\Kestrelwright";
  bool hadKey = keyExists(HKEY_CURRENT_USER, suiteKey);
  kw::Registry first, second;
  ASSERT_TRUE(first.write(name.c_str(), 11));
  EXPECT_EQ(second.read(name.c_str(), 0), 11);
  EXPECT_EQ(kw::Registry(HKEY_CURRENT_USER, suiteKey).read(name.c_str(), 0), 11);
  kw::Registry changed;
  changed.setRootKey(nullptr);
  EXPECT_EQ(changed.read(name.c_str(), 0), 11);
  changed.setRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(changed.read(name.c_str(), 0), 0);
  EXPECT_TRUE(first.deleteValue(name.c_str()));
#ifdef _WIN32
  if (!hadKey) RegDeleteKeyW(HKEY_CURRENT_USER, suiteKey);
#else
  (void)hadKey;
#endif
}

// Each child writes its own `count` values with one prefix.
KW_CHILD_MAIN(registryWriter) {
  if (args.size() != 4) return 90;
  HKEY root = args[0] == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const std::wstring path = kwtest::wide(args[1]);
  const std::wstring prefix = kwtest::wide(args[2]);
  int count = std::stoi(args[3]);
  kw::Registry reg(root, path.c_str());
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    if (!reg.write((prefix + std::to_wstring(i)).c_str(), i)) ++failures;
  }
  return failures ? 1 : 0;
}

class RegistryConcurrency : public RegistryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RegistryConcurrency, TwoProcessesWritingAtOnceLoseNothing) {
  const bool machine = GetParam();
  const HKEY root = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  kw::Registry reg = registry(root);
  if (!reg.write(L"Probe", 1)) GTEST_SKIP() << "this account cannot write the machine branch";
  const int count = 200;
  const std::string path = kwtest::narrow(m_path);
  kwtest::ChildProcess a("registryWriter", {machine ? "HKLM" : "HKCU", path, "A", "200"});
  kwtest::ChildProcess b("registryWriter", {machine ? "HKLM" : "HKCU", path, "B", "200"});
  ASSERT_TRUE(a.started() && b.started());
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  int missing = 0;
  for (int i = 0; i < count; ++i) {
    if (reg.read((L"A" + std::to_wstring(i)).c_str(), -1) != i) ++missing;
    if (reg.read((L"B" + std::to_wstring(i)).c_str(), -1) != i) ++missing;
  }
  EXPECT_EQ(missing, 0);
}

INSTANTIATE_TEST_SUITE_P(RegistryRoots, RegistryConcurrency, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Machine" : "User";
                         });

#ifndef _WIN32

// The Linux store's own behaviour: what Windows gives for free.
using RegistryStore = RegistryTest;

// A forked child watches the store through a queue of its own: what it reads
// must not hide a change from its parent.
TEST_F(RegistryStore, AForkedChildLeavesTheParentItsChanges) {
  ASSERT_TRUE(registry().write(L"Before", 1));
  std::uint64_t first = 0;
  ASSERT_TRUE(kw::os::regChangeStamp(HKEY_CURRENT_USER, first));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::uint64_t seen = 0;
    const bool wrote = registry().write(L"Child", 2);
    kw::os::regChangeStamp(HKEY_CURRENT_USER, seen);
    _exit(wrote ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::uint64_t after = 0;
  ASSERT_TRUE(kw::os::regChangeStamp(HKEY_CURRENT_USER, after));
  EXPECT_NE(after, first);
}

// A process that wrote settings and ended leaves the store's file alone in
// its folder: no write-ahead log, no index of it.
TEST(RegistryStoreFiles, AnEndedProcessLeavesOnlyTheStore) {
  kwtest::ScratchDir folder;
  {
    kwtest::ScopedEnv store("KW_REGISTRY_DIR", folder.path().string());
    for (const char* root : {"HKCU", "HKLM"}) {
      kwtest::ChildProcess child("registryWriter",
                                 {root, "Software\\Kestrelwright\\Files", "W", "50"});
      EXPECT_TRUE(child.started());
      EXPECT_EQ(child.wait(), 0);
    }
  }
  auto namesIn = [](const std::filesystem::path& place) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(place))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(namesIn(folder.path()),
            (std::vector<std::string>{"HKEY_CURRENT_USER.db", "HKEY_LOCAL_MACHINE.db", "private"}));
  EXPECT_EQ(namesIn(folder.path() / "private"),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE.db", "publish.lock"}));
}

TEST_F(RegistryStore, QueryFollowsWin32BufferRules) {
  ASSERT_EQ(rawSet(HKEY_CURRENT_USER, m_path, L"Ten", REG_BINARY, Bytes(10, 0xAB)), 0);
  HKEY key = nullptr;
  ASSERT_EQ(kw::os::regOpenKey(HKEY_CURRENT_USER, m_path, KEY_READ, key), 0);
  unsigned type = 0, size = 0;
  EXPECT_EQ(kw::os::regQueryValue(key, L"Ten", &type, nullptr, &size), 0);
  EXPECT_EQ(type, static_cast<unsigned>(REG_BINARY));
  EXPECT_EQ(size, 10u);
  unsigned char buffer[16] = {};
  size = 4;
  EXPECT_EQ(kw::os::regQueryValue(key, L"Ten", nullptr, buffer, &size), kw::os::kRegMoreData);
  EXPECT_EQ(size, 10u);
  size = sizeof buffer;
  EXPECT_EQ(kw::os::regQueryValue(key, L"Ten", nullptr, buffer, &size), 0);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(buffer[9], 0xAB);
  EXPECT_EQ(kw::os::regQueryValue(key, L"Ten", nullptr, buffer, nullptr),
            kw::os::kRegInvalidParameter);
  EXPECT_EQ(kw::os::regQueryValue(key, L"None", nullptr, nullptr, &size), kw::os::kRegNotFound);
  EXPECT_EQ(kw::os::regCloseKey(key), 0);
}

TEST_F(RegistryStore, HandlesAreCheckedAndCarryTheirAccess) {
  HKEY readOnly = nullptr, writeOnly = nullptr;
  ASSERT_EQ(kw::os::regCreateKey(HKEY_CURRENT_USER, m_path, KEY_WRITE, writeOnly), 0);
  ASSERT_EQ(kw::os::regOpenKey(HKEY_CURRENT_USER, m_path, KEY_READ, readOnly), 0);
  const unsigned char one[4] = {1, 0, 0, 0};
  unsigned size = 4;
  EXPECT_EQ(kw::os::regSetValue(readOnly, L"V", REG_DWORD, one, 4), kw::os::kRegAccessDenied);
  EXPECT_EQ(kw::os::regDeleteValue(readOnly, L"V"), kw::os::kRegAccessDenied);
  EXPECT_EQ(kw::os::regSetValue(writeOnly, L"V", REG_DWORD, one, 4), 0);
  EXPECT_EQ(kw::os::regQueryValue(writeOnly, L"V", nullptr, nullptr, &size),
            kw::os::kRegAccessDenied);
  EXPECT_EQ(kw::os::regQueryValue(readOnly, L"v", nullptr, nullptr, &size), 0);

  // Keys open relative to an open key, as on Windows.
  HKEY child = nullptr;
  ASSERT_EQ(kw::os::regCreateKey(writeOnly, L"Child\\\\Grandchild\\", KEY_ALL_ACCESS, child), 0);
  EXPECT_EQ(kw::os::regSetValue(child, nullptr, REG_DWORD, one, 4), 0);
  EXPECT_EQ(kw::os::regCloseKey(child), 0);
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, m_path + L"\\child\\GRANDCHILD", L"").data,
            (Bytes{1, 0, 0, 0}));

  EXPECT_EQ(kw::os::regCloseKey(readOnly), 0);
  EXPECT_EQ(kw::os::regCloseKey(writeOnly), 0);
  EXPECT_EQ(kw::os::regCloseKey(readOnly), kw::os::kRegInvalidHandle);
  EXPECT_EQ(kw::os::regQueryValue(readOnly, L"V", nullptr, nullptr, &size),
            kw::os::kRegInvalidHandle);
  EXPECT_EQ(kw::os::regCloseKey(HKEY_CURRENT_USER), 0);
  HKEY other = nullptr;
  EXPECT_EQ(kw::os::regOpenKey(HKEY_CLASSES_ROOT, L"", KEY_READ, other), kw::os::kRegInvalidHandle);
  EXPECT_EQ(kw::os::regCreateKey(HKEY_CURRENT_USER, L"\\Leading", KEY_WRITE, other),
            kw::os::kRegBadPathName);
}

TEST_F(RegistryStore, FilesAppearOnFirstWriteWithTheirModes) {
  const auto& dir = m_scratch.path();
  EXPECT_EQ(registry().read(L"X", 0), 0);
  EXPECT_EQ(registry(HKEY_LOCAL_MACHINE).read(L"X", 0), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir));

  ASSERT_TRUE(registry().write(L"X", 1));
  ASSERT_TRUE(registry(HKEY_LOCAL_MACHINE).write(L"X", 2));
  struct stat user {
  }, machine{};
  ASSERT_EQ(::stat((dir / "HKEY_CURRENT_USER.db").c_str(), &user), 0);
  ASSERT_EQ(::stat((dir / "HKEY_LOCAL_MACHINE.db").c_str(), &machine), 0);
  EXPECT_EQ(user.st_mode & 0777, 0600u);
  // Machine settings are read by every account, written by administrators.
  EXPECT_EQ(machine.st_mode & 0777, 0644u);
  EXPECT_EQ(registry().read(L"X", 0), 1);
  EXPECT_EQ(registry(HKEY_LOCAL_MACHINE).read(L"X", 0), 2);

  // A folder that does not exist yet is made private.
  kwtest::setEnv("KW_REGISTRY_DIR", (dir / "deeper" / "store").string());
  ASSERT_TRUE(registry().write(L"X", 3));
  struct stat folder {};
  ASSERT_EQ(::stat((dir / "deeper" / "store").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
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
  for (const auto& entry : std::filesystem::directory_iterator(m_scratch.path())) {
    std::filesystem::remove(entry.path());
  }
  EXPECT_EQ(registry().read(L"Where", 0), 0);
  ASSERT_TRUE(registry().write(L"Where", 3));
  EXPECT_EQ(registry().read(L"Where", 0), 3);
}

// SQLite as any program reads a database with, bound from the library the
// store already loaded.
struct Sqlite {
  decltype(&sqlite3_open_v2) open =
      reinterpret_cast<decltype(open)>(dlsym(RTLD_DEFAULT, "sqlite3_open_v2"));
  decltype(&sqlite3_exec) exec =
      reinterpret_cast<decltype(exec)>(dlsym(RTLD_DEFAULT, "sqlite3_exec"));
  decltype(&sqlite3_close) close =
      reinterpret_cast<decltype(close)>(dlsym(RTLD_DEFAULT, "sqlite3_close"));
};

// args: the machine store's file as other users see it, a folder for
// signals, the key path. As another user: holds a read transaction on the
// file while the parent writes, then reads what it wrote through the store.
KW_CHILD_MAIN(otherUserHoldsMachineRead) {
  if (!kwtest::becomeOtherUser()) return 2;
  Sqlite sqlite;
  if (!sqlite.open || !sqlite.exec || !sqlite.close) return 3;
  sqlite3* db = nullptr;
  if (sqlite.open(args.at(0).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 4;
  if (sqlite.exec(db, "BEGIN; SELECT count(*) FROM vals;", nullptr, nullptr, nullptr) != SQLITE_OK)
    return 5;
  kwtest::touchFile(args.at(1) + "/holding");
  if (!kwtest::waitForFile(args.at(1) + "/written", 60000)) return 6;
  const std::wstring key = kwtest::wide(args.at(2));
  const int seen = kw::Registry(HKEY_LOCAL_MACHINE, key.c_str()).read(L"Late", -1);
  sqlite.exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite.close(db);
  return seen == 42 ? 0 : 7;
}

// Machine settings are readable by every user, as HKLM is; a reader of
// another user holding a transaction open on them must not hold up a write
// (before, it waited out the busy time-out and failed).
TEST_F(RegistryStore, AnotherUsersReadTransactionHoldsUpNoMachineWrite) {
  std::string reason;
  if (!kwtest::canActAsOtherUser(reason)) GTEST_SKIP() << reason;
  kw::Registry reg = registry(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.write(L"Early", 1));
  kwtest::ScratchDir signals;
  chmod(signals.path().c_str(), 0777);
  const std::string published = (m_scratch.path() / "HKEY_LOCAL_MACHINE.db").string();
  kwtest::ChildProcess reader("otherUserHoldsMachineRead",
                              {published, signals.path().string(), kwtest::narrow(m_path)});
  ASSERT_TRUE(reader.started());
  ASSERT_TRUE(kwtest::waitForFile((signals.path() / "holding").string()));
  EXPECT_TRUE(reg.write(L"Late", 42));
  kwtest::touchFile((signals.path() / "written").string());
  EXPECT_EQ(reader.wait(), 0);
  EXPECT_EQ(reg.read(L"Late", -1), 42);
}

// args: the key path, a progress file. Writes 1000 values, noting each one
// once the store has taken it.
KW_CHILD_MAIN(machineWriterToBeKilled) {
  const std::wstring key = kwtest::wide(args.at(0));
  kw::Registry reg(HKEY_LOCAL_MACHINE, key.c_str());
  std::FILE* progress = std::fopen(args.at(1).c_str(), "w");
  if (!progress) return 2;
  for (int i = 0; i < 1000; ++i) {
    if (!reg.write((L"W" + std::to_wstring(i)).c_str(), i)) return 3;
    std::fprintf(progress, "%d\n", i);
    std::fflush(progress);
  }
  return 0;
}

// A writer killed in the middle loses none of the writes it had finished.
TEST_F(RegistryStore, AKilledMachineWriterLosesNoFinishedWrite) {
  if (!registry(HKEY_LOCAL_MACHINE).write(L"Probe", 1))
    GTEST_SKIP() << "this account cannot write the machine branch";
  const std::string progress = (m_scratch.path() / "progress").string();
  kwtest::ChildProcess writer("machineWriterToBeKilled", {kwtest::narrow(m_path), progress});
  ASSERT_TRUE(writer.started());
  // Killed once some writes are done, wherever it then is.
  auto finished = [&] {
    std::ifstream in(progress);
    int last = -1;
    for (int i; in >> i;) last = i;
    return last;
  };
  for (int tries = 0; finished() < 50 && tries < 6000; ++tries) usleep(10000);
  writer.kill();
  writer.wait();
  const int last = finished();
  ASSERT_GE(last, 0);
  kw::Registry reg = registry(HKEY_LOCAL_MACHINE);
  int missing = 0;
  for (int i = 0; i <= last; ++i) missing += reg.read((L"W" + std::to_wstring(i)).c_str(), -1) != i;
  EXPECT_EQ(missing, 0) << "of " << last + 1;
}

TEST_F(RegistryStore, CorruptOrForeignFilesAreErrorsNotCrashes) {
  ASSERT_TRUE(registry().write(L"Good", 1));
  const auto file = m_scratch.path() / "HKEY_CURRENT_USER.db";
  for (const auto& entry : std::filesystem::directory_iterator(m_scratch.path())) {
    std::filesystem::remove(entry.path());
  }
  {
    std::ofstream garbage(file, std::ios::binary);
    garbage << std::string(8192, 'x');
  }
  EXPECT_EQ(registry().read(L"Good", -1), -1);
  EXPECT_FALSE(registry().write(L"Good", 2));
  EXPECT_EQ(rawGet(HKEY_CURRENT_USER, L"", L"Good").status, kw::os::kRegCorrupt);

  // Damaged pages inside a real store: the published copy of the machine
  // store holds all its data in one file; damaged and renamed over the
  // writers' own database, it gives a new file, as a restore from backup
  // would.
  kw::Registry reg = registry(HKEY_LOCAL_MACHINE);
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(reg.write((L"V" + std::to_wstring(i)).c_str(), i));
  const auto machine = m_scratch.path() / "private" / "HKEY_LOCAL_MACHINE.db";
  std::string content;
  {
    std::ifstream in(m_scratch.path() / "HKEY_LOCAL_MACHINE.db", std::ios::binary);
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(content.size(), 8192u);
  for (std::size_t i = 4096; i < content.size(); ++i) content[i] = static_cast<char>(0xA5);
  const auto damaged = m_scratch.path() / "damaged";
  {
    std::ofstream out(damaged, std::ios::binary);
    out << content;
  }
  std::filesystem::rename(damaged, machine);
  // A restored file comes without the log of the one it replaces.
  for (const char* side : {"-wal", "-shm"}) std::filesystem::remove(machine.string() + side);
  EXPECT_EQ(reg.read(L"V7", -1), -1);
  EXPECT_FALSE(reg.write(L"V7", 8));
  EXPECT_EQ(rawGet(HKEY_LOCAL_MACHINE, m_path, L"V7").status, kw::os::kRegCorrupt);
}

#endif

}  // namespace
