// The settings database: keys form a tree of rows; names are kept as
// UTF-16LE, as Windows has them, and looked up through an ASCII-folded copy.
// Value data is stored in exact Windows byte form.
#include "os/posix/RegistryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kw::os::settings {

namespace {

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

// Closes a descriptor at the end of the scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

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

long createSchema(Store& store) {
  // Outside any transaction; when two processes race here either result is fine.
  sqlite3_exec(store.db(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
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

}  // namespace

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

void bindBlob(sqlite3_stmt* statement, int index, const void* data, std::size_t size) {
  sqlite3_bind_blob64(statement, index, size ? data : "", size, SQLITE_STATIC);
}

Transaction::~Transaction() {
  if (!sqlite3_get_autocommit(m_store.db()))
    sqlite3_exec(m_store.db(), "ROLLBACK", nullptr, nullptr, nullptr);
}

// A committed write stays, even when publishing it fails: the next write
// publishes it with its own.
long Transaction::commit() {
  long code = run(Store::kCommit);
  if (code == kRegOk && !m_store.publishTo.empty()) publish(m_store);
  return code;
}

long Transaction::run(Store::Statement which) {
  Use use(m_store, which);
  int rc = sqlite3_step(use.get());
  return rc == SQLITE_DONE ? kRegOk : m_store.fail(rc);
}

long ensureSchema(Store& store, bool create) {
  if (store.ready) return kRegOk;
  int version = 0;
  long code = readVersion(store, version);
  if (code != kRegOk) return code;
  if (version == 0) {
    // An empty file, or one whose creator has not finished: nothing stored yet.
    if (!create) return kRegNotFound;
    code = createSchema(store);
    if (code != kRegOk) return code;
  } else if (version != kSchemaVersion) {
    store.broken = true;
    return kRegCorrupt;
  }
  return store.prepare();
}

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

}  // namespace kw::os::settings
