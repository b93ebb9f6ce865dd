#include "platform/internal/HomeDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "internal/base/StringFormat.h"
#include "platform/auto_handle.h"

CKoError HomeDatabase::CheckCompanions(const TqHome& home) const {
  for (const std::string& companion : companions) {
    struct stat found {};
    const CKoError st =
        home.CheckFileStatus(companion, TqHome::FileKind::kSecret, found);
    if (st.IsError() && !TqHome::IsMissing(st)) {
      return st;
    }
  }
  return CKoError::Success();
}

CKoError HomeDatabase::Open(const TqHome& home, Access access,
                            int busyTimeoutMs, DatabasePtr& outDb,
                            FileIdentity* outIdentity) const {
  if (access == Access::kCreate) {
    const CKoError st = home.MakeFolder(home.Path());
    if (st.IsError()) {
      return st;
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
    if (st.IsError()) {
      return st;
    }
    struct stat found {};
    if (outIdentity != nullptr && ::fstat(fd.get(), &found) == 0) {
      *outIdentity = FileIdentity::Of(found);
    }
  }
  CKoError st = CheckCompanions(home);
  if (st.IsError()) {
    return st;
  }
  sqlite3* raw = nullptr;
  const int flags =
      (access == Access::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  DatabasePtr db(raw);
  if (rc != SQLITE_OK) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kStoreFailed,
                                   "cannot open it: %s", sqlite3_errstr(rc));
  }
  sqlite3_busy_timeout(db.get(), busyTimeoutMs);
  outDb = std::move(db);
  return CKoError::Success();
}

int SchemaVersion(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr) !=
      SQLITE_OK) {
    return -1;
  }
  StatementPtr stmt(raw);
  return sqlite3_step(stmt.get()) == SQLITE_ROW
             ? sqlite3_column_int(stmt.get(), 0)
             : -1;
}
