#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal/cache/SharedTokenStore.h"
#include "internal/db/PgSession.h"
#include "platform/StoredCredential.h"

// PgDatabase: the process's connection to one PostgreSQL database (a libpq
// URI), shared by the credential store and the shared token store and used
// by one thread at a time. Each new connection first makes the library's
// tables when they are missing (under an advisory lock, so that hosts
// starting together make them once) and refuses a schema version newer
// than this library's. After the connection fails, calls fail at once for
// kRetryMs, naming the failure, so that an unreachable database costs one
// bounded attempt, not one per call. A forked child connects anew.
// Tests: tests/platform/SharedStores_test.cpp
class PgDatabase {
 public:
  static constexpr int kSchemaVersion = 1;
  static constexpr int64_t kRetryMs = 2000;

  // Of: the process's database for url.
  static std::shared_ptr<PgDatabase> Of(const std::string& url);

  explicit PgDatabase(std::string url);

  // "database host:port/dbname", for messages.
  std::string Name() const;

  // Run: PgSession::Exec on the shared connection, within timeoutMs.
  CKoError Run(const char* name, const char* sql,
               const std::vector<std::string>& params, int timeoutMs,
               PgResultPtr& out);

 private:
  CKoError MakeSchema(int64_t deadlineMs);

  std::mutex m_mutex;
  PgSession m_session;
  int64_t m_retryAtMs = 0;  // steady clock; before it, m_failure is repeated
  CKoError m_failure;
};

// PgTokenStore: shared tokens in the tables tq_tokens, tq_leases and
// tq_waits of a PgDatabase; every call within kTimeoutMs.
class PgTokenStore : public SharedTokenStore {
 public:
  static constexpr int kTimeoutMs = 1000;

  explicit PgTokenStore(std::shared_ptr<PgDatabase> db);
  // ForUrl: the process's store for url.
  static std::shared_ptr<PgTokenStore> ForUrl(const std::string& url);

  std::string Name() const override;
  CKoError Get(const std::string& key, int64_t nowSeconds, Entry& out,
               bool& found) override;
  CKoError Put(const std::string& key, const Entry& entry,
               int64_t nowSeconds) override;
  CKoError TryLease(const std::string& key, const std::string& owner,
                    int64_t nowMs, int64_t untilMs, bool& acquired) override;
  CKoError Release(const std::string& key, const std::string& owner) override;
  CKoError WaitUntil(const std::string& key, int64_t& outUntilMs) override;
  CKoError Hold(const std::string& key, int64_t untilMs) override;

 private:
  std::shared_ptr<PgDatabase> m_db;
  std::mutex m_mutex;
  unsigned m_writes = 0;
};

// The credential store's rows in tq_credentials (the columns of the SQLite
// store's table), each call within kCredentialTimeoutMs.
namespace PgCredentials {

inline constexpr int kTimeoutMs = 5000;

// Find: found false when there is no such row.
CKoError Find(PgDatabase& db, int assocId, int entity, StoredCredential& out,
              bool& found);
// Add: inserts row, or replaces one of its ids with replace; outExists
// true (and nothing written) when it exists and replace is false.
CKoError Add(PgDatabase& db, const StoredCredential& row, bool replace,
             bool& outExists);
// Remove: outRemoved false when there was no such row.
CKoError Remove(PgDatabase& db, int assocId, int entity, bool& outRemoved);
// List: every row by assocId and entity, passwords left empty.
CKoError List(PgDatabase& db, std::vector<StoredCredential>& out);

}  // namespace PgCredentials
