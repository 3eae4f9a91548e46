// One settings database on Linux (SQLite): its compiled statements, its
// transactions, its schema, and the published copy of machine settings.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "os/Registry.h"
#include "os/posix/RegistryPlace.h"

namespace kw::os::settings {

inline constexpr int kBusyTimeoutMs = 10000;

// The Windows code for an SQLite result.
long sqliteCode(sqlite3* db, int rc);

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

// BEGIN IMMEDIATE takes the write lock up front, so two writers queue on the
// busy timeout instead of one failing on a lock upgrade.
class Transaction {
 public:
  explicit Transaction(Store& store) : m_store(store) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();
  long begin() { return run(Store::kBegin); }
  // A committed write stays, even when publishing it fails: the next write
  // publishes it with its own.
  long commit();

 private:
  long run(Store::Statement which);

  Store& m_store;
};

// Binds a blob; a null pointer would bind SQL NULL instead of zero bytes.
void bindBlob(sqlite3_stmt* statement, int index, const void* data, std::size_t size);

// Reads the schema's version, making the schema in an empty file when
// `create`, and compiles the statements.
long ensureSchema(Store& store, bool create);

// A path as an SQLite URI that opens the file read-only and without locks.
std::string immutableUri(const std::string& path);

// Makes the private database of machine settings, starting from the
// published copy when there is one (as an earlier version left it).
long createPrivateStore(const Place& place);

}  // namespace kw::os::settings
