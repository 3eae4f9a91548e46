// The settings store on Linux: one SQLite database per root key. Keys form a
// tree of rows; names are kept as UTF-16LE, as Windows has them, and looked
// up through an ASCII-folded copy. Value data is stored in exact Windows byte
// form, so type-agnostic reads behave as they do there. Twin of
// os/win32/Registry.cpp.
#include "os/Registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "Utf16.h"
#include "os/Desktop.h"

namespace kw::os {

namespace {

constexpr int kBusyTimeoutMs = 10000;
// Tests switch folders often; older connections are closed beyond this.
constexpr std::size_t kMaxStores = 4;
constexpr int kSchemaVersion = 1;

const char kSchema[] =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER NOT NULL,"  // 0 is the root key itself
    "  name BLOB NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE TABLE vals("
    "  key INTEGER NOT NULL,"
    "  fold BLOB NOT NULL,"
    "  name BLOB NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

enum class Root { Machine, User };

// Machine settings are written by an administrator and read by every user.
// A database that others may open, they may also lock: one read transaction
// held by another user would stall every write. So the writers' database is
// private (folder 0700, file 0600), and after each committed write a copy of
// it is published beside it, world-readable, by an atomic rename: other
// users read that copy without taking locks (nothing ever writes it in
// place), and a lock they take on it delays nobody. Both writers' databases
// use a write-ahead log.
mode_t folderMode(Root root) { return root == Root::Machine ? 0755 : 0700; }
const mode_t kPrivateFolderMode = 0700, kPrivateFileMode = 0600, kPublishedMode = 0644;
bool usesWal(Root) { return true; }
const char kPrivateFolder[] = "/private";

struct Place {
  Root root = Root::User;
  std::string folder;
  // The database the writers keep: machine settings' is in a private folder.
  std::string file;
  // Machine settings: the copy every user reads.
  std::string published;
  // This process reads the published copy: it cannot enter the private folder.
  bool readsCopy = false;
};

// What an HKEY stands for here: a store, a key in it and the access granted.
struct Key {
  Place place;
  std::int64_t id = 0;
  unsigned access = KEY_ALL_ACCESS;
};

long errnoCode(int error) {
  switch (error) {
    case 0:
      return kRegOk;
    case ENOENT:
      return kRegNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kRegPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kRegAccessDenied;
    case ENOMEM:
      return kRegOutOfMemory;
    case ENOSPC:
    case EDQUOT:
      return kRegDiskFull;
    default:
      return kRegCantOpen;
  }
}

long sqliteCode(sqlite3* db, int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return kRegOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kRegBusy;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return kRegAccessDenied;
    case SQLITE_NOMEM:
      return kRegOutOfMemory;
    case SQLITE_FULL:
      return kRegDiskFull;
    case SQLITE_TOOBIG:
      return kRegInvalidParameter;
    // Our statements fail to compile or run only against a foreign schema.
    case SQLITE_ERROR:
    case SQLITE_SCHEMA:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return kRegCorrupt;
    case SQLITE_CANTOPEN: {
      int error = db ? sqlite3_system_errno(db) : 0;
      return error ? errnoCode(error) : kRegCantOpen;
    }
    default:
      return kRegIoFailed;
  }
}

std::string passwordHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return {};
  }
  return found->pw_dir;
}

// Read at every call so that a changed KW_REGISTRY_DIR takes effect at once.
long locate(Root root, Place& place) {
  place.root = root;
  const char* override = std::getenv("KW_REGISTRY_DIR");
  if (override && *override) {
    place.folder = override;
  } else if (root == Root::Machine) {
    place.folder = "/var/lib/kestrelwright";
  } else {
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') {
      place.folder = config;
    } else {
      const char* home = std::getenv("HOME");
      std::string homeFolder = home && *home ? std::string(home) : passwordHome();
      if (homeFolder.empty()) return kRegPathNotFound;
      place.folder = homeFolder + "/.config";
    }
    place.folder += "/Kestrelwright";
  }
  if (root == Root::Machine) {
    place.published = place.folder + "/HKEY_LOCAL_MACHINE.db";
    place.file = place.folder + kPrivateFolder + "/HKEY_LOCAL_MACHINE.db";
  } else {
    place.file = place.folder + "/HKEY_CURRENT_USER.db";
  }
  return kRegOk;
}

long makeFolders(const std::string& folder, mode_t mode) {
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = folder.find('/', end + 1);
    std::string part = folder.substr(0, end);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errnoCode(errno);
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return kRegPathNotFound;
  return kRegOk;
}

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

// Binds a blob; a null pointer would bind SQL NULL instead of zero bytes.
void bindBlob(sqlite3_stmt* statement, int index, const void* data, std::size_t size) {
  sqlite3_bind_blob64(statement, index, size ? data : "", size, SQLITE_STATIC);
}

// One open database with its statements compiled once.
class Store {
 public:
  Store(std::string path, sqlite3* db, dev_t device, ino_t inode)
      : path(std::move(path)), device(device), inode(inode), m_pDb(db) {}
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() {
    if (!m_pDb) return;
    for (sqlite3_stmt* statement : m_aStatements) sqlite3_finalize(statement);
    sqlite3_close_v2(m_pDb);
  }

  // After fork the connection belongs to the parent: drop it untouched.
  void abandon() { m_pDb = nullptr; }

  sqlite3* db() const { return m_pDb; }

  // A failure code, noting a store that must be opened afresh next time.
  long fail(int rc) {
    long code = sqliteCode(m_pDb, rc);
    if (code == kRegCorrupt) broken = true;
    return code;
  }

  long prepare() {
    static const char* const kSql[kCount] = {
        "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2",
        "INSERT OR IGNORE INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)",
        "SELECT 1 FROM keys WHERE id = ?1",
        "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
        // A replaced value keeps the spelling of its first name, as on Windows.
        ("INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
         "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data"),
        "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
        "BEGIN IMMEDIATE",
        "COMMIT",
    };
    for (int i = 0; i < kCount; ++i) {
      if (m_aStatements[i]) continue;
      int rc = sqlite3_prepare_v3(m_pDb, kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &m_aStatements[i],
                                  nullptr);
      if (rc != SQLITE_OK) return fail(rc);
    }
    ready = true;
    return kRegOk;
  }

  enum Statement {
    kFindKey,
    kInsertKey,
    kKeyExists,
    kGetValue,
    kSetValue,
    kDeleteValue,
    kBegin,
    kCommit,
    kCount
  };
  sqlite3_stmt* statement(Statement which) const { return m_aStatements[which]; }

  const std::string path;
  const dev_t device;
  const ino_t inode;
  bool ready = false;
  bool broken = false;
  // Where each committed write is published (machine settings' writers only).
  std::string publishTo;

 private:
  sqlite3* m_pDb;
  sqlite3_stmt* m_aStatements[kCount] = {};
};

// Leaves a cached statement reset and unbound however its use ends.
class Use {
 public:
  Use(const Store& store, Store::Statement which) : m_pStatement(store.statement(which)) {}
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    sqlite3_reset(m_pStatement);
    sqlite3_clear_bindings(m_pStatement);
  }
  sqlite3_stmt* get() const { return m_pStatement; }

 private:
  sqlite3_stmt* m_pStatement;
};

// Closes a descriptor at the end of the scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// Writes the committed state of the database into a new file `to`, flushed
// to disk. Another writer committing meanwhile makes the copy wait for it.
long copyDatabase(sqlite3* from, const std::string& to, mode_t mode) {
  ::unlink(to.c_str());
  sqlite3* copy = nullptr;
  int rc = sqlite3_open_v2(to.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  // A new file that nobody sees before it is whole and flushed below needs
  // neither a journal nor SQLite's own flushes.
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(copy, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr,
                      nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", from, "main");
    if (!backup) {
      rc = sqlite3_errcode(copy);
    } else {
      for (int waited = 0;; ++waited) {
        rc = sqlite3_backup_step(backup, -1);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) break;
        sqlite3_sleep(1);
      }
      const int finished = sqlite3_backup_finish(backup);
      rc = rc == SQLITE_DONE ? finished : rc;
    }
  }
  const long code = rc == SQLITE_OK ? kRegOk : sqliteCode(copy, rc);
  sqlite3_close_v2(copy);
  if (code != kRegOk) {
    ::unlink(to.c_str());
    return code;
  }
  // The copy of a database that keeps a write-ahead log is marked as one;
  // on its own it has none: it is marked as a plain database file.
  static const char kNoLog[2] = {1, 1};
  Descriptor file{::open(to.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC)};
  if (file.fd < 0 || ::pwrite(file.fd, kNoLog, 2, 18) != 2 || ::fchmod(file.fd, mode) != 0 ||
      ::fsync(file.fd) != 0) {
    const long failed = errnoCode(errno);
    ::unlink(to.c_str());
    return failed;
  }
  return kRegOk;
}

// Replaces the published copy of a machine store by its committed state.
// Publishers take turns on a lock in the private folder, where no other
// user can hold it; each copies what is committed when its turn comes, so
// the last copy published is never older than the last write.
long publish(Store& store) {
  const std::string privateFolder = folderOf(store.path);
  Descriptor lock{::open((privateFolder + "/publish.lock").c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode)};
  if (lock.fd < 0) return errnoCode(errno);
  while (::flock(lock.fd, LOCK_EX) != 0)
    if (errno != EINTR) return errnoCode(errno);
  // Made in the private folder, so that no reader meets it half written.
  const std::string fresh = privateFolder + "/published.new";
  long code = copyDatabase(store.db(), fresh, kPublishedMode);
  if (code != kRegOk) return code;
  // After a power cut the rename may be lost, never the copy's bytes: the
  // folder keeps the previous copy, whole.
  if (::rename(fresh.c_str(), store.publishTo.c_str()) != 0) {
    code = errnoCode(errno);
    ::unlink(fresh.c_str());
  }
  return code;
}

// BEGIN IMMEDIATE takes the write lock up front, so two writers queue on the
// busy timeout instead of one failing on a lock upgrade.
class Transaction {
 public:
  explicit Transaction(Store& store) : m_store(store) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (!sqlite3_get_autocommit(m_store.db()))
      sqlite3_exec(m_store.db(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  long begin() { return run(Store::kBegin); }
  // A committed write stays, even when publishing it fails: the next write
  // publishes it with its own.
  long commit() {
    long code = run(Store::kCommit);
    if (code == kRegOk && !m_store.publishTo.empty()) publish(m_store);
    return code;
  }

 private:
  long run(Store::Statement which) {
    Use use(m_store, which);
    int rc = sqlite3_step(use.get());
    return rc == SQLITE_DONE ? kRegOk : m_store.fail(rc);
  }

  Store& m_store;
};

long readVersion(Store& store, int& version) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(store.db(), "PRAGMA user_version", -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      version = sqlite3_column_int(statement, 0);
      rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(statement);
  return rc == SQLITE_OK ? kRegOk : store.fail(rc);
}

long createSchema(Store& store, Root root) {
  // Outside any transaction; when two processes race here either result is fine.
  if (usesWal(root)) sqlite3_exec(store.db(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  int rc = sqlite3_exec(store.db(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return store.fail(rc);
  int version = 0;
  long code = readVersion(store, version);
  if (code == kRegOk && version == 0) {
    // Tables without our version mark belong to some other program.
    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(store.db(), "SELECT count(*) FROM sqlite_master", -1, &statement,
                            nullptr);
    bool empty = rc == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW &&
                 sqlite3_column_int(statement, 0) == 0;
    sqlite3_finalize(statement);
    if (rc != SQLITE_OK) {
      code = store.fail(rc);
    } else if (!empty) {
      store.broken = true;
      code = kRegCorrupt;
    } else {
      rc = sqlite3_exec(store.db(), kSchema, nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_exec(store.db(), "COMMIT", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) code = store.fail(rc);
    }
  } else if (code == kRegOk && version != kSchemaVersion) {
    store.broken = true;
    code = kRegCorrupt;
  }
  if (!sqlite3_get_autocommit(store.db())) {
    sqlite3_exec(store.db(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return code;
}

long ensureSchema(Store& store, Root root, bool create) {
  if (store.ready) return kRegOk;
  int version = 0;
  long code = readVersion(store, version);
  if (code != kRegOk) return code;
  if (version == 0) {
    // An empty file, or one whose creator has not finished: nothing stored yet.
    if (!create) return kRegNotFound;
    code = createSchema(store, root);
    if (code != kRegOk) return code;
  } else if (version != kSchemaVersion) {
    store.broken = true;
    return kRegCorrupt;
  }
  return store.prepare();
}

struct State {
  std::mutex mutex;
  pid_t pid = getpid();
  std::list<std::unique_ptr<Store>> stores;  // most recently used first
  std::unordered_set<Key*> handles;
  // Past the exit handler: every store is closed again after its use.
  bool exiting = false;
};

State& state();

// Drops the stores that belong to the process before a fork, untouched.
void forgetInheritedStores(State& state) {
  if (state.pid == getpid()) return;
  for (auto& store : state.stores) store->abandon();
  state.stores.clear();
  state.pid = getpid();
}

// The last connection to close checkpoints a store's write-ahead log and
// removes it and its index, so that no process leaves them behind.
extern "C" void closeStoresAtExit() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mutex);
  forgetInheritedStores(st);
  st.stores.clear();
  st.exiting = true;
}

// Never destroyed: static destructors elsewhere may still read settings.
State& state() {
  static State* const instance = [] {
    auto* created = new State;
    std::atexit(closeStoresAtExit);
    return created;
  }();
  return *instance;
}

// Ends a use of the stores: once the process is exiting, nothing stays open.
class StoreUse {
 public:
  explicit StoreUse(State& state) : m_state(state) {}
  StoreUse(const StoreUse&) = delete;
  StoreUse& operator=(const StoreUse&) = delete;
  ~StoreUse() {
    if (m_state.exiting) m_state.stores.clear();
  }

 private:
  State& m_state;
};

// A path as an SQLite URI that opens the file read-only and without locks.
std::string immutableUri(const std::string& path) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
      uri += '%';
      uri += kDigits[c >> 4];
      uri += kDigits[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?immutable=1";
}

// Machine settings: the published copy is read by a process that cannot
// enter the private folder, and by one that finds none and does not write.
long chooseMachineFile(Place& place, bool create) {
  const std::string privateFolder = folderOf(place.file);
  if (::faccessat(AT_FDCWD, privateFolder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0)
    return kRegOk;
  if (errno != ENOENT && errno != EACCES) return errnoCode(errno);
  if (errno == EACCES && create) return kRegAccessDenied;
  if (errno == ENOENT && create) return kRegOk;
  place.readsCopy = true;
  place.file = place.published;
  return kRegOk;
}

// Makes the private database of machine settings, starting from the
// published copy when there is one (as an earlier version left it).
long createPrivateStore(const Place& place) {
  const std::string privateFolder = folderOf(place.file);
  if (::mkdir(privateFolder.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
    return errnoCode(errno);
  struct stat info {};
  if (::stat(place.published.c_str(), &info) != 0) {
    int fd = ::open(place.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd >= 0) return ::close(fd), kRegOk;
    return errno == EEXIST ? kRegOk : errnoCode(errno);
  }
  sqlite3* published = nullptr;
  int rc = sqlite3_open_v2(immutableUri(place.published).c_str(), &published,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  const std::string seed = place.file + ".seed." + std::to_string(getpid());
  long code =
      rc == SQLITE_OK ? copyDatabase(published, seed, kPrivateFileMode) : sqliteCode(published, rc);
  sqlite3_close_v2(published);
  if (code != kRegOk) return code;
  // Whoever links first made it; the others use theirs.
  if (::link(seed.c_str(), place.file.c_str()) != 0 && errno != EEXIST) code = errnoCode(errno);
  ::unlink(seed.c_str());
  return code;
}

// The open store for a place. Without `create` a missing file is "not found"
// and nothing is made on disk.
long acquire(State& state, const Place& requested, bool create, Store*& out) {
  out = nullptr;
  forgetInheritedStores(state);
  Place place = requested;
  if (!place.published.empty()) {
    long code = chooseMachineFile(place, create);
    if (code != kRegOk) return code;
  }
  struct stat info {};
  bool exists = ::stat(place.file.c_str(), &info) == 0;
  int statError = exists ? 0 : errno;
  for (auto it = state.stores.begin(); it != state.stores.end(); ++it) {
    Store& store = **it;
    if (store.path != place.file) continue;
    if (exists && !store.broken && store.device == info.st_dev && store.inode == info.st_ino) {
      state.stores.splice(state.stores.begin(), state.stores, it);
      long code = ensureSchema(store, place.root, create);
      if (code == kRegOk) out = &store;
      return code;
    }
    // Deleted, replaced or broken: start afresh.
    state.stores.erase(it);
    break;
  }
  if (!exists) {
    if (statError != ENOENT) return errnoCode(statError);
    if (!create) return kRegNotFound;
    long code = makeFolders(place.folder, folderMode(place.root));
    if (code != kRegOk) return code;
    if (!place.published.empty()) {
      code = createPrivateStore(place);
    } else {
      int fd = ::open(place.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
      if (fd >= 0)
        ::close(fd);
      else if (errno != EEXIST)
        code = errnoCode(errno);
    }
    if (code != kRegOk) return code;
    if (::stat(place.file.c_str(), &info) != 0) return errnoCode(errno);
  }
  sqlite3* db = nullptr;
  int rc = place.readsCopy
               ? sqlite3_open_v2(immutableUri(place.file).c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
               : sqlite3_open_v2(place.file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    long code = sqliteCode(db, rc);
    sqlite3_close_v2(db);
    return code;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  state.stores.push_front(std::make_unique<Store>(place.file, db, info.st_dev, info.st_ino));
  while (state.stores.size() > kMaxStores) state.stores.pop_back();
  Store& store = *state.stores.front();
  if (!place.readsCopy) store.publishTo = place.published;
  long code = ensureSchema(store, place.root, create);
  if (code == kRegOk) out = &store;
  return code;
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

namespace kw::os {

namespace {

// An inotify watch on a root's store folder: every write, creation, removal
// or rename in it queues an event before the writer's call returns, so one
// non-blocking read tells whether anything may have changed. While the
// folder is missing, its nearest existing ancestor is watched for its
// creation instead.
struct StoreWatch {
  int fd = -1;
  int wd = -1;
  int privateWd = -1;  // machine settings: the writers' own folder too
  std::string folder;  // the store folder the watch stands for
  std::uint64_t changes = 0;
  unsigned long owner = 0;  // the process that made it
};

constexpr std::uint32_t kChangeEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                        IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

std::mutex& watchLock() {
  static std::mutex lock;
  return lock;
}

StoreWatch& watchOf(Root root) {
  static StoreWatch watches[2];
  return watches[root == Root::Machine ? 0 : 1];
}

// Watches the folder, or the nearest ancestor that exists.
int addWatch(int fd, const std::string& folder) {
  std::string place = folder;
  for (;;) {
    int wd = inotify_add_watch(fd, place.c_str(), kChangeEvents | IN_ONLYDIR);
    if (wd >= 0 || errno != ENOENT) return wd;
    std::size_t cut = place.find_last_of('/');
    if (cut == std::string::npos || cut == 0) return -1;
    place.erase(cut);
  }
}

// Reads every queued event; true when there was one.
bool drainEvents(StoreWatch& watch) {
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  for (;;) {
    ssize_t count = ::read(watch.fd, buffer, sizeof buffer);
    if (count <= 0) return any;
    any = true;
  }
}

}  // namespace

bool regChangeStamp(HKEY root, std::uint64_t& stamp) {
  if (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER) return false;
  try {
    Place place;
    if (locate(root == HKEY_LOCAL_MACHINE ? Root::Machine : Root::User, place) != kRegOk ||
        place.folder.empty() || place.folder[0] != '/')
      return false;
    std::lock_guard<std::mutex> lock(watchLock());
    StoreWatch& watch = watchOf(place.root);
    // A child shares its parent's event queue: it must read its own.
    const unsigned long process = currentProcessId();
    if (watch.owner != process) {
      if (watch.fd >= 0) ::close(watch.fd);
      watch = StoreWatch{};
      watch.owner = process;
    }
    if (watch.fd < 0) {
      watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (watch.fd < 0) return false;
    }
    if (watch.wd >= 0 && watch.folder == place.folder && !drainEvents(watch)) {
      stamp = watch.changes;
      return true;
    }
    // Something changed, or the watch is new: it is set up afresh (its
    // folder may have been created or replaced) before the caller reads.
    if (watch.wd >= 0) inotify_rm_watch(watch.fd, watch.wd);
    if (watch.privateWd >= 0) inotify_rm_watch(watch.fd, watch.privateWd);
    drainEvents(watch);
    ++watch.changes;
    watch.folder = place.folder;
    watch.wd = addWatch(watch.fd, place.folder);
    // Its creation shows in the folder above; until then, and for users
    // who may not enter it, the watch above is all there is.
    watch.privateWd =
        place.published.empty()
            ? -1
            : inotify_add_watch(watch.fd, folderOf(place.file).c_str(), kChangeEvents | IN_ONLYDIR);
    stamp = watch.changes;
    return watch.wd >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kw::os
