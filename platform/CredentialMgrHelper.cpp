#include "platform/CredentialMgrHelper.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "internal/base/StringFormat.h"
#include "platform/TQPI_Base.h"
#include "platform/TQPlatformInfo.h"
#include "platform/auto_handle.h"
#include "platform/internal/SqliteHandles.h"
#include "platform/internal/TqHome.h"

namespace {

constexpr unsigned int kDefaultBusyTimeoutMs = 3000;

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

std::string NoCredential(int assocId, int entity) {
  return StringPrintf("no credential for association id %d, entity %d", assocId,
                      entity);
}

enum class Access { kRead, kWrite, kCreate };
enum class Opened { kOk, kMissing, kFailed };

// Opens the store through the home's checks: it and its companions must be
// the user's own private regular files, never links (SQLITE_OPEN_NOFOLLOW
// as well). kCreate makes the home (0700) and the store (0600) first.
Opened Open(Access access, DatabasePtr& outDb, std::string& outError) {
  const TqHome home;
  const std::string path = home.CredentialStore();
  if (access == Access::kCreate) {
    const CKoError st = home.MakeFolder(home.Path());
    if (st.IsError()) {
      outError = st.GetMessage();
      return Opened::kFailed;
    }
  }
  {
    const int flags = access == Access::kRead     ? O_RDONLY
                      : access == Access::kCreate ? O_RDWR | O_CREAT
                                                  : O_RDWR;
    // Closed before SQLite opens the file: closing a second descriptor
    // would drop SQLite's locks.
    auto_handle fd;
    const CKoError st =
        home.OpenFile(path, TqHome::FileKind::kSecret, flags, 0600, fd);
    if (TqHome::IsMissing(st)) {
      outError = "no credential store at " + path;
      return Opened::kMissing;
    }
    if (st.IsError()) {
      outError = st.GetMessage();
      return Opened::kFailed;
    }
  }
  // SQLite opens these by name: each, when there, must pass the checks the
  // store passes.
  for (const std::string& companion : home.CredentialStoreCompanions()) {
    const CKoError st = home.CheckFile(companion, TqHome::FileKind::kSecret);
    if (st.IsError() && !TqHome::IsMissing(st)) {
      outError = st.GetMessage();
      return Opened::kFailed;
    }
  }
  sqlite3* raw = nullptr;
  const int flags =
      (access == Access::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  DatabasePtr db(raw);
  if (rc != SQLITE_OK) {
    outError = StringPrintf("cannot open credential store %s: %s", path.c_str(),
                            sqlite3_errstr(rc));
    return Opened::kFailed;
  }
  // How long to wait for another writer: [CredentialStore] BusyTimeoutMs.
  unsigned int busyTimeoutMs = kDefaultBusyTimeoutMs;
  TQPlatformInfo().getNumber("CredentialStore", "BusyTimeoutMs",
                             &busyTimeoutMs);
  sqlite3_busy_timeout(db.get(), static_cast<int>(busyTimeoutMs & 0x7FFFFFFF));
  if (access == Access::kCreate &&
      sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    outError = StringPrintf("credential store %s: %s", path.c_str(),
                            sqlite3_errmsg(db.get()));
    return Opened::kFailed;
  }
  outDb = std::move(db);
  return Opened::kOk;
}

bool Prepare(sqlite3* db, const char* sql, StatementPtr& outStmt,
             std::string& outError) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    outError = StringPrintf("credential store: %s", sqlite3_errmsg(db));
    return false;
  }
  outStmt.reset(raw);
  return true;
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

}  // namespace

AdaptersBase::~AdaptersBase() = default;

CredentialMgrHelper::~CredentialMgrHelper() = default;

std::string CredentialMgrHelper::DatabasePath() {
  return TqHome().CredentialStore();
}

int CredentialMgrHelper::getCredentialsFromAssocIdForEntity(
    int assocId, int entity, int& credentialType, std::string& userName,
    std::string& password, std::string& additionalInfo, int& other,
    void* /*reserved*/) {
  DatabasePtr db;
  switch (Open(Access::kRead, db, m_lastError)) {
    case Opened::kOk:
      break;
    case Opened::kMissing:
      return kNotFound;
    case Opened::kFailed:
      return kStoreError;
  }
  StatementPtr stmt;
  if (!Prepare(db.get(),
               "SELECT credential_type, user_name, password, additional_info,"
               " other FROM credentials WHERE assoc_id = ? AND entity = ?",
               stmt, m_lastError)) {
    return kStoreError;
  }
  sqlite3_bind_int(stmt.get(), 1, assocId);
  sqlite3_bind_int(stmt.get(), 2, entity);
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_DONE) {
    m_lastError = NoCredential(assocId, entity);
    return kNotFound;
  }
  if (rc != SQLITE_ROW) {
    m_lastError =
        StringPrintf("credential store: %s", sqlite3_errmsg(db.get()));
    return kStoreError;
  }
  credentialType = sqlite3_column_int(stmt.get(), 0);
  userName = ColumnText(stmt.get(), 1);
  password = ColumnText(stmt.get(), 2);
  additionalInfo = ColumnText(stmt.get(), 3);
  other = sqlite3_column_int(stmt.get(), 4);
  return kOk;
}

bool CredentialMgrHelper::addCredential(const StoredCredential& c,
                                        bool replace) {
  DatabasePtr db;
  if (Open(Access::kCreate, db, m_lastError) != Opened::kOk) {
    return false;
  }
  Transaction transaction(db.get());
  if (!transaction.Begin()) {
    m_lastError =
        StringPrintf("credential store: %s", sqlite3_errmsg(db.get()));
    return false;
  }
  StatementPtr stmt;
  if (!Prepare(db.get(),
               replace ? "INSERT OR REPLACE INTO credentials VALUES "
                         "(?, ?, ?, ?, ?, ?, ?)"
                       : "INSERT INTO credentials VALUES (?, ?, ?, ?, ?, ?, ?)",
               stmt, m_lastError)) {
    return false;
  }
  sqlite3_bind_int(stmt.get(), 1, c.assocId);
  sqlite3_bind_int(stmt.get(), 2, c.entity);
  sqlite3_bind_int(stmt.get(), 3, c.credentialType);
  const bool bound = Bind(stmt.get(), 4, c.userName) &&
                     Bind(stmt.get(), 5, c.password) &&
                     Bind(stmt.get(), 6, c.additionalInfo);
  sqlite3_bind_int(stmt.get(), 7, c.other);
  const int rc = bound ? sqlite3_step(stmt.get()) : SQLITE_NOMEM;
  if (rc == SQLITE_CONSTRAINT) {
    m_lastError = StringPrintf(
        "a credential for association id %d, entity %d already exists",
        c.assocId, c.entity);
    return false;
  }
  if (rc != SQLITE_DONE || !transaction.Commit()) {
    m_lastError =
        StringPrintf("credential store: %s", sqlite3_errmsg(db.get()));
    return false;
  }
  return true;
}

bool CredentialMgrHelper::removeCredential(int assocId, int entity) {
  DatabasePtr db;
  // Nothing to remove from a store that is not there: neither it nor the
  // home is created for it.
  switch (Open(Access::kWrite, db, m_lastError)) {
    case Opened::kOk:
      break;
    case Opened::kMissing:
      m_lastError = NoCredential(assocId, entity);
      return false;
    case Opened::kFailed:
      return false;
  }
  StatementPtr stmt;
  if (!Prepare(db.get(),
               "DELETE FROM credentials WHERE assoc_id = ? AND entity = ?",
               stmt, m_lastError)) {
    return false;
  }
  sqlite3_bind_int(stmt.get(), 1, assocId);
  sqlite3_bind_int(stmt.get(), 2, entity);
  if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
    m_lastError =
        StringPrintf("credential store: %s", sqlite3_errmsg(db.get()));
    return false;
  }
  if (sqlite3_changes(db.get()) == 0) {
    m_lastError = NoCredential(assocId, entity);
    return false;
  }
  return true;
}

bool CredentialMgrHelper::listCredentials(std::vector<StoredCredential>& out) {
  out.clear();
  DatabasePtr db;
  switch (Open(Access::kRead, db, m_lastError)) {
    case Opened::kOk:
      break;
    case Opened::kMissing:
      return true;
    case Opened::kFailed:
      return false;
  }
  StatementPtr stmt;
  if (!Prepare(db.get(),
               "SELECT assoc_id, entity, credential_type, user_name,"
               " additional_info, other FROM credentials"
               " ORDER BY assoc_id, entity",
               stmt, m_lastError)) {
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
    m_lastError =
        StringPrintf("credential store: %s", sqlite3_errmsg(db.get()));
    out.clear();
    return false;
  }
  return true;
}
