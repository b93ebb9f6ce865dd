#pragma once

#include <string>
#include <vector>

#include "internal/io/FileReader.h"
#include "platform/CKoError.h"
#include "platform/internal/SqliteHandles.h"
#include "platform/internal/TqHome.h"

// A SQLite database under the home (the credential store, the shared token
// store), opened only through the home's checks: it and the companions
// SQLite opens by name (journal, WAL, shared memory) must each, when there,
// be the user's own private regular file, never a link.
struct HomeDatabase {
  std::string path;
  std::vector<std::string> companions;

  enum class Access { kRead, kWrite, kCreate };

  // CheckCompanions: success when every companion is absent or passes.
  CKoError CheckCompanions(const TqHome& home) const;

  // Open: the database as access allows it. kCreate makes the home (0700)
  // and the file (0600) first. A database that is not there is missing
  // (TqHome::IsMissing). The opened file's identity goes to outIdentity
  // when not null. busyTimeoutMs: how long a statement waits for another
  // writer. SQLite's refusal is kStoreFailed "cannot open it: <why>",
  // for the caller to name the database.
  CKoError Open(const TqHome& home, Access access, int busyTimeoutMs,
                DatabasePtr& outDb, FileIdentity* outIdentity) const;
};

// SchemaVersion: db's layout number (PRAGMA user_version); -1 when it
// cannot be read.
int SchemaVersion(sqlite3* db);
