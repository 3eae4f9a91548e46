// The settings store on Linux, behind the six registry calls: one SQLite
// database per root key, with the calls' Win32 meaning. Twin of
// os/win32/Registry.cpp.
#include "os/Registry.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Utf16.h"
#include "os/posix/RegistryConnections.h"
#include "os/posix/RegistryStore.h"

namespace kw::os {

namespace {

using namespace settings;

// A name as stored, and its lookup key with ASCII letters upper-cased.
struct Name {
  std::string utf16;
  std::string fold;
};

Name makeName(const wchar_t* text, std::size_t length) {
  Name name;
  name.utf16.resize(utf16::unitCount(text, length) * 2);
  if (length) utf16::writeLE(&name.utf16[0], text, length);
  name.fold = name.utf16;
  for (std::size_t i = 0; i + 1 < name.fold.size(); i += 2) {
    if (name.fold[i + 1] == 0 && name.fold[i] >= 'a' && name.fold[i] <= 'z') name.fold[i] -= 32;
  }
  return name;
}

// Empty components (doubled or trailing backslashes) are skipped, as Wine does.
std::vector<Name> splitKeyPath(const std::wstring& path) {
  std::vector<Name> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) parts.push_back(makeName(path.data() + start, end - start));
    start = end + 1;
  }
  return parts;
}

bool isPredefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT ||
         key == HKEY_USERS;
}

long resolve(State& state, HKEY handle, Key& key) {
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
    key = Key{};
    return locate(handle == HKEY_LOCAL_MACHINE ? Root::Machine : Root::User, key.place);
  }
  auto* open = reinterpret_cast<Key*>(handle);
  if (!state.handles.count(open)) return kRegInvalidHandle;
  key = *open;
  return kRegOk;
}

HKEY adopt(State& state, std::unique_ptr<Key> key) {
  state.handles.insert(key.get());
  return reinterpret_cast<HKEY>(key.release());
}

long findKey(Store& store, std::int64_t parent, const Name& name, std::int64_t& id) {
  Use use(store, Store::kFindKey);
  sqlite3_bind_int64(use.get(), 1, parent);
  bindBlob(use.get(), 2, name.fold.data(), name.fold.size());
  int rc = sqlite3_step(use.get());
  if (rc == SQLITE_DONE) return kRegNotFound;
  if (rc != SQLITE_ROW) return store.fail(rc);
  id = sqlite3_column_int64(use.get(), 0);
  return kRegOk;
}

long addKey(Store& store, std::int64_t parent, const Name& name, std::int64_t& id) {
  {
    Use use(store, Store::kInsertKey);
    sqlite3_bind_int64(use.get(), 1, parent);
    bindBlob(use.get(), 2, name.utf16.data(), name.utf16.size());
    bindBlob(use.get(), 3, name.fold.data(), name.fold.size());
    int rc = sqlite3_step(use.get());
    if (rc != SQLITE_DONE) return store.fail(rc);
  }
  return findKey(store, parent, name, id);
}

// Writes through a handle whose key is gone (its store was replaced) must
// not leave orphan rows.
long checkKeyExists(Store& store, std::int64_t id) {
  if (id == 0) return kRegOk;
  Use use(store, Store::kKeyExists);
  sqlite3_bind_int64(use.get(), 1, id);
  int rc = sqlite3_step(use.get());
  if (rc == SQLITE_DONE) return kRegKeyDeleted;
  return rc == SQLITE_ROW ? kRegOk : store.fail(rc);
}

Name valueName(const wchar_t* name) { return name ? makeName(name, std::wcslen(name)) : Name{}; }

// Binds a value's key id and folded name, the first two parameters of every value statement.
void bindValue(sqlite3_stmt* statement, std::int64_t key, const Name& name) {
  sqlite3_bind_int64(statement, 1, key);
  bindBlob(statement, 2, name.fold.data(), name.fold.size());
}

// Only allocation can throw inside the calls; it is reported as out of memory.
long fromException() { return kRegOutOfMemory; }

// Runs `body` on the key behind a handle and its store, for a value
// operation that needs the access `right`.
template <typename Body>
long onValue(HKEY handle, unsigned right, bool create, Body body) {
  try {
    State& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    StoreUse use(st);
    Key key;
    long code = resolve(st, handle, key);
    if (code != kRegOk) return code;
    if (!(key.access & right)) return kRegAccessDenied;
    Store* store = nullptr;
    code = acquire(st, key.place, create, store);
    if (code != kRegOk) return code;
    return body(key, *store);
  } catch (const std::exception&) {
    return fromException();
  }
}

// Walks `parts` down from `id`, which ends as the last key's id.
long findPath(Store& store, const std::vector<Name>& parts, std::int64_t& id) {
  for (const Name& part : parts) {
    long code = findKey(store, id, part, id);
    if (code != kRegOk) return code;
  }
  return kRegOk;
}

// Like findPath, creating the keys that are missing, all in one transaction.
long addPath(Store& store, const std::vector<Name>& parts, std::int64_t& id) {
  Transaction transaction(store);
  long code = transaction.begin();
  if (code == kRegOk) code = checkKeyExists(store, id);
  for (auto part = parts.begin(); code == kRegOk && part != parts.end(); ++part) {
    code = addKey(store, id, *part, id);
  }
  return code == kRegOk ? transaction.commit() : code;
}

long openKey(HKEY root, const std::wstring& subKey, unsigned access, bool create, HKEY& out) {
  out = nullptr;
  try {
    State& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    StoreUse use(st);
    auto key = std::make_unique<Key>();
    long code = resolve(st, root, *key);
    if (code != kRegOk) return code;
    key->access = access;
    std::vector<Name> parts = splitKeyPath(subKey);
    if (!parts.empty()) {
      Store* store = nullptr;
      code = acquire(st, key->place, create, store);
      if (code != kRegOk) return code;
      code = create ? addPath(*store, parts, key->id) : findPath(*store, parts, key->id);
      if (code != kRegOk) return code;
    }
    out = adopt(st, std::move(key));
    return kRegOk;
  } catch (const std::exception&) {
    return fromException();
  }
}

}  // namespace

long regOpenKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out) {
  return openKey(root, subKey, access, false, out);
}

long regCreateKey(HKEY root, const std::wstring& subKey, unsigned access, HKEY& out) {
  out = nullptr;
  if (!subKey.empty() && subKey[0] == L'\\') return kRegBadPathName;
  return openKey(root, subKey, access, true, out);
}

long regQueryValue(HKEY handle, const wchar_t* name, unsigned* type, unsigned char* data,
                   unsigned* byteCount) {
  if (data && !byteCount) return kRegInvalidParameter;
  return onValue(handle, KEY_QUERY_VALUE, false, [&](const Key& key, Store& store) -> long {
    Name wanted = valueName(name);
    Use use(store, Store::kGetValue);
    bindValue(use.get(), key.id, wanted);
    int rc = sqlite3_step(use.get());
    if (rc == SQLITE_DONE) return kRegNotFound;
    if (rc != SQLITE_ROW) return store.fail(rc);
    auto storedType = static_cast<unsigned>(sqlite3_column_int64(use.get(), 0));
    const void* bytes = sqlite3_column_blob(use.get(), 1);
    auto size = static_cast<unsigned>(sqlite3_column_bytes(use.get(), 1));
    if (type) *type = storedType;
    if (!byteCount) return kRegOk;
    if (data) {
      if (*byteCount < size) {
        *byteCount = size;
        return kRegMoreData;
      }
      if (size) std::memcpy(data, bytes, size);
    }
    *byteCount = size;
    return kRegOk;
  });
}

long regSetValue(HKEY handle, const wchar_t* name, unsigned type, const unsigned char* data,
                 unsigned byteCount) {
  if (!data && byteCount) return kRegInvalidParameter;
  return onValue(handle, KEY_SET_VALUE, true, [&](const Key& key, Store& store) -> long {
    Name target = valueName(name);
    Transaction transaction(store);
    long code = transaction.begin();
    if (code != kRegOk) return code;
    if ((code = checkKeyExists(store, key.id)) != kRegOk) return code;
    {
      Use use(store, Store::kSetValue);
      bindValue(use.get(), key.id, target);
      bindBlob(use.get(), 3, target.utf16.data(), target.utf16.size());
      sqlite3_bind_int64(use.get(), 4, type);
      bindBlob(use.get(), 5, data, byteCount);
      int rc = sqlite3_step(use.get());
      if (rc != SQLITE_DONE) return store.fail(rc);
    }
    return transaction.commit();
  });
}

long regDeleteValue(HKEY handle, const wchar_t* name) {
  return onValue(handle, KEY_SET_VALUE, false, [&](const Key& key, Store& store) -> long {
    Name target = valueName(name);
    Transaction transaction(store);
    long code = transaction.begin();
    if (code != kRegOk) return code;
    {
      Use use(store, Store::kDeleteValue);
      bindValue(use.get(), key.id, target);
      int rc = sqlite3_step(use.get());
      if (rc != SQLITE_DONE) return store.fail(rc);
    }
    if (sqlite3_changes(store.db()) == 0) return kRegNotFound;
    return transaction.commit();
  });
}

long regCloseKey(HKEY handle) {
  if (isPredefined(handle)) return kRegOk;
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  auto* key = reinterpret_cast<Key*>(handle);
  if (!st.handles.erase(key)) return kRegInvalidHandle;
  delete key;
  return kRegOk;
}

}  // namespace kw::os
