#include "platform/internal/HomeTokenStore.h"

#include <sys/stat.h>

#include <mutex>

#include "internal/base/ForkGeneration.h"
#include "internal/base/SteadyClock.h"
#include "internal/base/StringFormat.h"
#include "platform/internal/HomeDatabase.h"
#include "platform/internal/TqHome.h"

namespace {

// The layout (PRAGMA user_version).
constexpr int kSchemaVersion = 1;

// Made once, by whichever process comes first (the others wait for its
// write lock, then find the tables).
constexpr char kSchema[] =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS tokens ("
    " key TEXT PRIMARY KEY, value TEXT NOT NULL,"
    " expires_at INTEGER NOT NULL, refresh_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS leases ("
    " key TEXT PRIMARY KEY, owner TEXT NOT NULL, until_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS waits ("
    " key TEXT PRIMARY KEY, until_ms INTEGER NOT NULL);"
    "PRAGMA user_version=1;"
    "COMMIT;";

enum Statement {
  kGet,
  kPut,
  kLease,
  kRelease,
  kWaitUntil,
  kHold,
  kPruneTokens,
  kPruneLeases,
  kPruneWaits,
  kStatements
};

constexpr const char* kSql[kStatements] = {
    "SELECT value, expires_at, refresh_at FROM tokens"
    " WHERE key = ?1 AND expires_at > ?2",
    "INSERT INTO tokens VALUES (?1, ?2, ?3, ?4) ON CONFLICT (key) DO UPDATE"
    " SET value = excluded.value, expires_at = excluded.expires_at,"
    " refresh_at = excluded.refresh_at"
    " WHERE excluded.expires_at >= tokens.expires_at",
    "INSERT INTO leases VALUES (?1, ?2, ?3) ON CONFLICT (key) DO UPDATE"
    " SET owner = excluded.owner, until_ms = excluded.until_ms"
    " WHERE leases.until_ms <= ?4 OR leases.owner = excluded.owner"
    " RETURNING owner",
    "DELETE FROM leases WHERE key = ?1 AND owner = ?2",
    "SELECT until_ms FROM waits WHERE key = ?1",
    "INSERT INTO waits VALUES (?1, ?2) ON CONFLICT (key) DO UPDATE"
    " SET until_ms = max(waits.until_ms, excluded.until_ms)",
    "DELETE FROM tokens WHERE expires_at <= ?1",
    "DELETE FROM leases WHERE until_ms <= ?1",
    "DELETE FROM waits WHERE until_ms <= ?1",
};

// Expired rows are removed at every this many writes.
constexpr unsigned kPruneEvery = 64;
// How long an open store is used before the home's checks run again.
constexpr int64_t kRecheckMs = 1000;

}  // namespace

struct HomeTokenStore::Impl {
  std::string homePath;
  std::mutex mutex;
  DatabasePtr db;  // statements go before it
  StatementPtr statements[kStatements];
  dev_t device = 0;
  ino_t inode = 0;
  unsigned writes = 0;
  int64_t checkedAtMs = 0;  // steady clock of the last passed check

  std::string Path() const { return homePath + "/tokens.db"; }

  CKoError Failed(const FXCodeLocation& loc, const std::string& what) const {
    return FXErrorUtil::ErrorWin32(
        loc, TQ_ERROR_GENERAL, TqFailureReason::kStoreFailed,
        "shared token store %s: %s", Path().c_str(), what.c_str());
  }

  void Close() {
    for (StatementPtr& s : statements) {
      s.reset();
    }
    db.reset();
  }

  // The open store, opened (and made) when needed; the file must still be
  // the one opened and pass the home's checks.
  CKoError Ready() {
    // An open store is checked again at most every kRecheckMs: the checks
    // cost more than the lookup they guard.
    const int64_t nowMs = SteadyMs();
    if (db != nullptr && nowMs - checkedAtMs < kRecheckMs) {
      return CKoError::Success();
    }
    CKoError st = Check();
    if (!st.IsError()) {
      checkedAtMs = nowMs;
    }
    return st;
  }

  CKoError Check() {
    const TqHome home;
    if (home.Path() != homePath) {
      return Failed(TQ_LOC, "the home changed to " + home.Path());
    }
    const HomeDatabase file{home.SharedTokenStore(),
                            home.SharedTokenStoreCompanions()};
    struct stat found {};
    CKoError st =
        home.CheckFileStatus(file.path, TqHome::FileKind::kSecret, found);
    if (!st.IsError() && db != nullptr && found.st_dev == device &&
        found.st_ino == inode) {
      // SQLite opens its companions by name at any statement.
      return file.CheckCompanions(home);
    }
    Close();
    if (st.IsError() && !TqHome::IsMissing(st)) {
      return st;
    }
    FileIdentity identity;
    st = file.Open(home, HomeDatabase::Access::kCreate, kBusyTimeoutMs, db,
                   &identity);
    if (st.IsError()) {
      return st.GetReason() == TqFailureReason::kStoreFailed
                 ? Failed(TQ_LOC, st.GetMessage())
                 : st;
    }
    int version = SchemaVersion(db.get());
    if (version == 0 && sqlite3_exec(db.get(), kSchema, nullptr, nullptr,
                                     nullptr) != SQLITE_OK) {
      st = Failed(TQ_LOC, sqlite3_errmsg(db.get()));
      sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      Close();
      return st;
    }
    version = SchemaVersion(db.get());
    if (version != kSchemaVersion) {
      st = Failed(TQ_LOC, version < 0 ? sqlite3_errmsg(db.get())
                                      : StringPrintf("schema version %d is "
                                                     "not %d, the one this "
                                                     "library reads",
                                                     version, kSchemaVersion));
      Close();
      return st;
    }
    // Readers then never wait for a writer. A store another process has
    // open keeps its journal mode: still correct, only slower.
    sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr,
                 nullptr);
    sqlite3_exec(db.get(), "PRAGMA synchronous=NORMAL", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt* raw = nullptr;
    for (int i = 0; i < kStatements; ++i) {
      raw = nullptr;
      if (sqlite3_prepare_v2(db.get(), kSql[i], -1, &raw, nullptr) !=
          SQLITE_OK) {
        st = Failed(TQ_LOC, sqlite3_errmsg(db.get()));
        Close();
        return st;
      }
      statements[i].reset(raw);
    }
    device = identity.device;
    inode = identity.inode;
    return CKoError::Success();
  }

  // Runs statement i with its bindings (bind fills them); row: called for
  // each row. The store is closed on a failure.
  template <class Bind, class Row>
  CKoError Run(int i, const Bind& bind, const Row& row) {
    CKoError st = Ready();
    if (st.IsError()) {
      return st;
    }
    sqlite3_stmt* s = statements[i].get();
    int rc = bind(s) ? SQLITE_OK : SQLITE_RANGE;
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        row(s);
      }
    }
    if (rc != SQLITE_DONE) {
      st = Failed(TQ_LOC, sqlite3_errmsg(db.get()));
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (st.IsError()) {
      Close();
    }
    return st;
  }
};

namespace {

bool BindText(sqlite3_stmt* s, int i, const std::string& text) {
  return sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()),
                           SQLITE_STATIC) == SQLITE_OK;
}

bool BindInt(sqlite3_stmt* s, int i, int64_t value) {
  return sqlite3_bind_int64(s, i, value) == SQLITE_OK;
}

const auto kNoRows = [](sqlite3_stmt*) {};

}  // namespace

std::shared_ptr<HomeTokenStore> HomeTokenStore::ForHome(
    const std::string& homePath) {
  static auto* registry = new PerProcessRegistry<HomeTokenStore>();
  return registry->Find(
      homePath, [&] { return std::make_shared<HomeTokenStore>(homePath); });
}

HomeTokenStore::HomeTokenStore(std::string homePath)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->homePath = std::move(homePath);
}

HomeTokenStore::~HomeTokenStore() = default;

std::string HomeTokenStore::Name() const { return m_impl->Path(); }

CKoError HomeTokenStore::Get(const std::string& key, int64_t nowSeconds,
                             Entry& out, bool& found) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  found = false;
  return m_impl->Run(
      kGet,
      [&](sqlite3_stmt* s) {
        return BindText(s, 1, key) && BindInt(s, 2, nowSeconds);
      },
      [&](sqlite3_stmt* s) {
        const auto* text =
            reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        out.value.assign(text != nullptr ? text : "",
                         static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        out.expiresAt = sqlite3_column_int64(s, 1);
        out.refreshAt = sqlite3_column_int64(s, 2);
        found = true;
      });
}

CKoError HomeTokenStore::Put(const std::string& key, const Entry& entry,
                             int64_t nowSeconds) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  CKoError st = m_impl->Run(
      kPut,
      [&](sqlite3_stmt* s) {
        return BindText(s, 1, key) && BindText(s, 2, entry.value) &&
               BindInt(s, 3, entry.expiresAt) && BindInt(s, 4, entry.refreshAt);
      },
      kNoRows);
  if (st.IsError() || ++m_impl->writes % kPruneEvery != 0) {
    return st;
  }
  const int64_t nowMs = nowSeconds * 1000;
  for (const auto& [statement, bound] :
       {std::pair<int, int64_t>{kPruneTokens, nowSeconds},
        {kPruneLeases, nowMs},
        {kPruneWaits, nowMs}}) {
    const int64_t value = bound;
    st = m_impl->Run(
        statement, [&](sqlite3_stmt* s) { return BindInt(s, 1, value); },
        kNoRows);
    if (st.IsError()) {
      return st;
    }
  }
  return st;
}

CKoError HomeTokenStore::TryLease(const std::string& key,
                                  const std::string& owner, int64_t nowMs,
                                  int64_t untilMs, bool& acquired) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  acquired = false;
  return m_impl->Run(
      kLease,
      [&](sqlite3_stmt* s) {
        return BindText(s, 1, key) && BindText(s, 2, owner) &&
               BindInt(s, 3, untilMs) && BindInt(s, 4, nowMs);
      },
      [&](sqlite3_stmt*) { acquired = true; });
}

CKoError HomeTokenStore::Release(const std::string& key,
                                 const std::string& owner) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->Run(
      kRelease,
      [&](sqlite3_stmt* s) {
        return BindText(s, 1, key) && BindText(s, 2, owner);
      },
      kNoRows);
}

CKoError HomeTokenStore::WaitUntil(const std::string& key,
                                   int64_t& outUntilMs) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  outUntilMs = 0;
  return m_impl->Run(
      kWaitUntil, [&](sqlite3_stmt* s) { return BindText(s, 1, key); },
      [&](sqlite3_stmt* s) { outUntilMs = sqlite3_column_int64(s, 0); });
}

CKoError HomeTokenStore::Hold(const std::string& key, int64_t untilMs) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->Run(
      kHold,
      [&](sqlite3_stmt* s) {
        return BindText(s, 1, key) && BindInt(s, 2, untilMs);
      },
      kNoRows);
}
