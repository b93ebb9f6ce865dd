#include "platform/CredentialMgrHelper.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "internal/base/Decimal.h"
#include "internal/base/ForkGeneration.h"
#include "internal/base/StringFormat.h"
#include "internal/io/FileReader.h"
#include "platform/auto_handle.h"
#include "platform/internal/ConfigFile.h"
#include "platform/internal/HomeDatabase.h"
#include "platform/internal/PgStore.h"
#include "platform/internal/SqliteHandles.h"
#include "platform/internal/StoreSettings.h"
#include "platform/internal/StoredRow.h"
#include "platform/internal/TqHome.h"

namespace {

constexpr int64_t kDefaultBusyTimeoutMs = 3000;

// The layout this library reads and writes (PRAGMA user_version). A store
// of version 0 was made before the layout was numbered and is the same.
constexpr int kSchemaVersion = 1;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS credentials ("
    " assoc_id INTEGER NOT NULL,"
    " entity INTEGER NOT NULL,"
    " credential_type INTEGER NOT NULL,"
    " user_name TEXT NOT NULL DEFAULT '',"
    " password TEXT NOT NULL DEFAULT '',"
    " additional_info TEXT NOT NULL DEFAULT '',"
    " other INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (assoc_id, entity))";

constexpr char kSelectOne[] =
    "SELECT credential_type, user_name, password, additional_info,"
    " other FROM credentials WHERE assoc_id = ? AND entity = ?";

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  const int bytes = sqlite3_column_bytes(stmt, column);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(bytes))
                         : std::string();
}

bool Bind(sqlite3_stmt* stmt, int index, const std::string& text) {
  return sqlite3_bind_text(stmt, index, text.data(),
                           static_cast<int>(text.size()),
                           SQLITE_TRANSIENT) == SQLITE_OK;
}

bool Bind(sqlite3_stmt* stmt, int index, int value) {
  return sqlite3_bind_int(stmt, index, value) == SQLITE_OK;
}

CKoError StoreFailed(const FXCodeLocation& loc, const std::string& path,
                     const std::string& what) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kStoreFailed,
      "credential store %s: %s", path.c_str(), what.c_str());
}

CKoError StoreFailed(const FXCodeLocation& loc, const std::string& path,
                     sqlite3* db) {
  return StoreFailed(loc, path, sqlite3_errmsg(db));
}

CKoError NoCredential(const FXCodeLocation& loc, int assocId, int entity) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kNotStored,
      "no credential for association id %d, entity %d", assocId, entity);
}

using Access = HomeDatabase::Access;

// The store as a database under the home.
HomeDatabase Store(const TqHome& home) {
  return HomeDatabase{home.CredentialStore(), home.CredentialStoreCompanions()};
}

CKoError CheckCompanions(const TqHome& home) {
  return Store(home).CheckCompanions(home);
}

// The schema version of an open store: refused when newer than this
// library's.
CKoError CheckSchema(sqlite3* db, const std::string& path) {
  const int version = SchemaVersion(db);
  if (version < 0) {
    return StoreFailed(TQ_LOC, path, db);
  }
  if (version > kSchemaVersion) {
    return StoreFailed(
        TQ_LOC, path,
        StringPrintf("schema version %d is newer than version %d, the one "
                     "this library reads; use the tqcloudauth that wrote it",
                     version, kSchemaVersion));
  }
  return CKoError::Success();
}

// Numbers a store made before versions were, inside the transaction of a
// write that succeeded: a store the write could not use stays as it was.
bool NumberSchema(sqlite3* db) {
  const std::string set =
      StringPrintf("PRAGMA user_version = %d", kSchemaVersion);
  return sqlite3_exec(db, set.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// How long to wait for another writer: [CredentialStore] BusyTimeoutMs.
int BusyTimeoutMs() {
  const ConfigSnapshot config = LoadConfig();
  std::string text;
  int64_t ms = kDefaultBusyTimeoutMs;
  if (config.ini->Get("CredentialStore", "BusyTimeoutMs", text) &&
      !ParseDecimal(text, 0, INT32_MAX, ms)) {
    ms = kDefaultBusyTimeoutMs;
  }
  return static_cast<int>(ms);
}

// Opens the store through the home's checks (HomeDatabase). kCreate makes
// the home (0700), the store (0600) and its table first. A store that is
// not there is NotStored-missing (TqHome::IsMissing).
CKoError Open(Access access, DatabasePtr& outDb, FileIdentity* outIdentity) {
  const TqHome home;
  const std::string path = home.CredentialStore();
  DatabasePtr db;
  CKoError st =
      Store(home).Open(home, access, BusyTimeoutMs(), db, outIdentity);
  if (st.IsError()) {
    // SQLite's own refusal names the store as the credential store.
    return st.GetReason() == TqFailureReason::kStoreFailed
               ? StoreFailed(TQ_LOC, path, st.GetMessage())
               : st;
  }
  if (access == Access::kCreate &&
      sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return StoreFailed(TQ_LOC, path, db.get());
  }
  st = CheckSchema(db.get(), path);
  if (st.IsError()) {
    return st;
  }
  outDb = std::move(db);
  return CKoError::Success();
}

CKoError Prepare(sqlite3* db, const char* sql, StatementPtr& outStmt) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    return StoreFailed(TQ_LOC, CredentialMgrHelper::DatabasePath(), db);
  }
  outStmt.reset(raw);
  return CKoError::Success();
}

// Rolls back unless committed, so a failed write leaves the store as it was.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : m_db(db) {}
  ~Transaction() {
    if (m_open) {
      sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Begin() {
    m_open = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) ==
             SQLITE_OK;
    return m_open;
  }
  bool Commit() {
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      return false;
    }
    m_open = false;
    return true;
  }

 private:
  sqlite3* m_db;
  bool m_open = false;
};

// A store file changed within this many seconds may not show it in its
// times (their clock ticks coarsely): its rows are read again.
constexpr time_t kRacySeconds = 2;

// A row as the store holds it (the password in its stored, encrypted form).
// A store kept open for lookups, with its statement prepared, and the rows
// it gave: a process with many providers opens and parses the store once,
// and reads a row once while the file does not change. It is used while the
// file at the store's path is the one opened (the same FileIdentity, which
// every write changes) and still passes the home's checks; otherwise opened
// again and its rows forgotten.
struct OpenReader {
  std::mutex mutex;
  std::string path;
  FileIdentity identity;
  DatabasePtr db;  // statements go before it
  StatementPtr select;
  std::map<std::pair<int, int>, StoredCredential> rows;
};

// The process's own: a forked child opens the store anew, as SQLite asks,
// and leaves the parent's connection alone. Lives as long as the process.
OpenReader& Reader() {
  static auto* reader = new PerProcess<OpenReader>();
  return reader->Get();
}

// The database the credentials live in when [Database] Url names one; null
// for the home's store. A Url that cannot be used fails the call.
CKoError Database(std::shared_ptr<PgDatabase>& out) {
  const StoreSettings settings = ReadStoreSettings();
  if (settings.urlProblem.IsError()) {
    return settings.urlProblem;
  }
  if (!settings.databaseUrl.empty()) {
    out = PgDatabase::Of(settings.databaseUrl);
  }
  return CKoError::Success();
}

CKoError Exists(const FXCodeLocation& loc, int assocId, int entity) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kInvalidArgument,
      "a credential for association id %d, entity %d already exists", assocId,
      entity);
}

}  // namespace

AdaptersBase::~AdaptersBase() = default;

CredentialMgrHelper::~CredentialMgrHelper() = default;

std::string CredentialMgrHelper::DatabasePath() {
  return TqHome().CredentialStore();
}

int CredentialMgrHelper::Fail(const CKoError& st) {
  m_lastStatus = st;
  m_lastError = st.GetMessage();
  return TqHome::IsMissing(st) || st.GetReason() == TqFailureReason::kNotStored
             ? kNotFound
             : kStoreError;
}

CKoError FindStoredRow(const std::shared_ptr<PgDatabase>& database, int assocId,
                       int entity, StoredCredential& out) {
  if (database != nullptr) {
    bool found = false;
    CKoError st = PgCredentials::Find(*database, assocId, entity, out, found);
    if (st.IsError()) {
      return st;
    }
    return found ? CKoError::Success() : NoCredential(TQ_LOC, assocId, entity);
  }
  const TqHome home;
  const std::string path = home.CredentialStore();
  OpenReader& reader = Reader();
  std::lock_guard<std::mutex> lock(reader.mutex);
  // The file at the path must still be the one open, and still trusted.
  struct stat found {};
  CKoError st = home.CheckFileStatus(path, TqHome::FileKind::kSecret, found);
  if (st.IsError()) {
    reader.rows.clear();
    reader.select.reset();
    reader.db.reset();
    if (TqHome::IsMissing(st)) {
      return NoCredential(TQ_LOC, assocId, entity);
    }
    return st;
  }
  const bool same = reader.db && reader.path == path &&
                    reader.identity == FileIdentity::Of(found);
  const time_t now = std::time(nullptr);
  const bool settled = now - found.st_mtim.tv_sec > kRacySeconds &&
                       now - found.st_ctim.tv_sec > kRacySeconds;
  if (same && settled) {
    const auto it = reader.rows.find({assocId, entity});
    if (it != reader.rows.end()) {
      out = it->second;
      return CKoError::Success();
    }
  }
  // SQLite opens its companions by name at any read.
  st = CheckCompanions(home);
  if (st.IsError()) {
    return st;
  }
  if (!same) {
    reader.rows.clear();
    reader.select.reset();
    reader.db.reset();
    st = Open(Access::kRead, reader.db, &reader.identity);
    if (!st.IsError()) {
      st = Prepare(reader.db.get(), kSelectOne, reader.select);
    }
    if (st.IsError()) {
      reader.select.reset();
      reader.db.reset();
      return TqHome::IsMissing(st) ? NoCredential(TQ_LOC, assocId, entity) : st;
    }
    reader.path = path;
  }
  sqlite3_stmt* stmt = reader.select.get();
  // Whatever happens below, the statement is ready for the next lookup, or
  // the store is closed to be opened afresh.
  struct ResetOnExit {
    OpenReader& r;
    bool drop = false;
    ~ResetOnExit() {
      sqlite3_reset(r.select.get());
      sqlite3_clear_bindings(r.select.get());
      if (drop) {
        r.rows.clear();
        r.select.reset();
        r.db.reset();
      }
    }
  } reset{reader};
  if (!Bind(stmt, 1, assocId) || !Bind(stmt, 2, entity)) {
    return StoreFailed(TQ_LOC, path, reader.db.get());
  }
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) {
    return NoCredential(TQ_LOC, assocId, entity);
  }
  if (rc != SQLITE_ROW) {
    reset.drop = true;
    return StoreFailed(TQ_LOC, path, reader.db.get());
  }
  out.assocId = assocId;
  out.entity = entity;
  out.credentialType = sqlite3_column_int(stmt, 0);
  out.userName = ColumnText(stmt, 1);
  out.password = ColumnText(stmt, 2);
  out.additionalInfo = ColumnText(stmt, 3);
  out.other = sqlite3_column_int(stmt, 4);
  if (settled) {
    reader.rows[{assocId, entity}] = out;
  }
  return CKoError::Success();
}

int CredentialMgrHelper::getCredentialsFromAssocIdForEntity(
    int assocId, int entity, int& credentialType, std::string& userName,
    std::string& password, std::string& additionalInfo, int& other,
    void* /*reserved*/) {
  std::shared_ptr<PgDatabase> database;
  CKoError st = Database(database);
  StoredCredential row;
  if (!st.IsError()) {
    st = FindStoredRow(database, assocId, entity, row);
  }
  if (st.IsError()) {
    return Fail(st);
  }
  credentialType = row.credentialType;
  userName = std::move(row.userName);
  password = std::move(row.password);
  additionalInfo = std::move(row.additionalInfo);
  other = row.other;
  m_lastStatus = CKoError::Success();
  return kOk;
}

bool CredentialMgrHelper::addCredential(const StoredCredential& c,
                                        bool replace) {
  std::shared_ptr<PgDatabase> database;
  CKoError st = Database(database);
  if (!st.IsError() && database != nullptr) {
    bool exists = false;
    st = PgCredentials::Add(*database, c, replace, exists);
    if (!st.IsError() && exists) {
      st = Exists(TQ_LOC, c.assocId, c.entity);
    }
  }
  if (st.IsError() || database != nullptr) {
    if (st.IsError()) {
      Fail(st);
      return false;
    }
    m_lastStatus = CKoError::Success();
    return true;
  }
  DatabasePtr db;
  st = Open(Access::kCreate, db, nullptr);
  if (st.IsError()) {
    Fail(st);
    return false;
  }
  const std::string path = DatabasePath();
  Transaction transaction(db.get());
  if (!transaction.Begin()) {
    Fail(StoreFailed(TQ_LOC, path, db.get()));
    return false;
  }
  StatementPtr stmt;
  st = Prepare(db.get(),
               replace ? "INSERT OR REPLACE INTO credentials VALUES "
                         "(?, ?, ?, ?, ?, ?, ?)"
                       : "INSERT INTO credentials VALUES (?, ?, ?, ?, ?, ?, ?)",
               stmt);
  if (st.IsError()) {
    Fail(st);
    return false;
  }
  const bool bound =
      Bind(stmt.get(), 1, c.assocId) && Bind(stmt.get(), 2, c.entity) &&
      Bind(stmt.get(), 3, c.credentialType) &&
      Bind(stmt.get(), 4, c.userName) && Bind(stmt.get(), 5, c.password) &&
      Bind(stmt.get(), 6, c.additionalInfo) && Bind(stmt.get(), 7, c.other);
  const int rc = bound ? sqlite3_step(stmt.get()) : SQLITE_NOMEM;
  if (rc == SQLITE_CONSTRAINT) {
    Fail(Exists(TQ_LOC, c.assocId, c.entity));
    return false;
  }
  if (rc != SQLITE_DONE || !NumberSchema(db.get()) || !transaction.Commit()) {
    Fail(StoreFailed(TQ_LOC, path, db.get()));
    return false;
  }
  m_lastStatus = CKoError::Success();
  return true;
}

bool CredentialMgrHelper::removeCredential(int assocId, int entity) {
  std::shared_ptr<PgDatabase> database;
  CKoError st = Database(database);
  if (!st.IsError() && database != nullptr) {
    bool removed = false;
    st = PgCredentials::Remove(*database, assocId, entity, removed);
    if (!st.IsError() && !removed) {
      st = NoCredential(TQ_LOC, assocId, entity);
    }
  }
  if (st.IsError() || database != nullptr) {
    if (st.IsError()) {
      Fail(st);
      return false;
    }
    m_lastStatus = CKoError::Success();
    return true;
  }
  DatabasePtr db;
  // Nothing to remove from a store that is not there: neither it nor the
  // home is created for it.
  st = Open(Access::kWrite, db, nullptr);
  if (st.IsError()) {
    Fail(TqHome::IsMissing(st) ? NoCredential(TQ_LOC, assocId, entity) : st);
    return false;
  }
  StatementPtr stmt;
  st = Prepare(db.get(),
               "DELETE FROM credentials WHERE assoc_id = ? AND entity = ?",
               stmt);
  if (st.IsError()) {
    Fail(st);
    return false;
  }
  if (!Bind(stmt.get(), 1, assocId) || !Bind(stmt.get(), 2, entity) ||
      sqlite3_step(stmt.get()) != SQLITE_DONE) {
    Fail(StoreFailed(TQ_LOC, DatabasePath(), db.get()));
    return false;
  }
  if (sqlite3_changes(db.get()) == 0) {
    Fail(NoCredential(TQ_LOC, assocId, entity));
    return false;
  }
  m_lastStatus = CKoError::Success();
  return true;
}

bool CredentialMgrHelper::listCredentials(std::vector<StoredCredential>& out) {
  out.clear();
  std::shared_ptr<PgDatabase> database;
  CKoError st = Database(database);
  if (!st.IsError() && database != nullptr) {
    st = PgCredentials::List(*database, out);
  }
  if (st.IsError() || database != nullptr) {
    if (st.IsError()) {
      Fail(st);
      return false;
    }
    m_lastStatus = CKoError::Success();
    return true;
  }
  DatabasePtr db;
  st = Open(Access::kRead, db, nullptr);
  if (TqHome::IsMissing(st)) {
    m_lastStatus = CKoError::Success();
    return true;
  }
  if (st.IsError()) {
    Fail(st);
    return false;
  }
  StatementPtr stmt;
  st = Prepare(db.get(),
               "SELECT assoc_id, entity, credential_type, user_name,"
               " additional_info, other FROM credentials"
               " ORDER BY assoc_id, entity",
               stmt);
  if (st.IsError()) {
    Fail(st);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    StoredCredential c;
    c.assocId = sqlite3_column_int(stmt.get(), 0);
    c.entity = sqlite3_column_int(stmt.get(), 1);
    c.credentialType = sqlite3_column_int(stmt.get(), 2);
    c.userName = ColumnText(stmt.get(), 3);
    c.additionalInfo = ColumnText(stmt.get(), 4);
    c.other = sqlite3_column_int(stmt.get(), 5);
    out.push_back(std::move(c));
  }
  if (rc != SQLITE_DONE) {
    Fail(StoreFailed(TQ_LOC, DatabasePath(), db.get()));
    out.clear();
    return false;
  }
  m_lastStatus = CKoError::Success();
  return true;
}
