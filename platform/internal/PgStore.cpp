#include "platform/internal/PgStore.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "internal/base/Decimal.h"
#include "internal/base/ForkGeneration.h"
#include "internal/base/SteadyClock.h"
#include "internal/base/StringFormat.h"

namespace {

// Made by the first connection of any host; the advisory lock keeps two
// from racing on the catalog.
constexpr char kSchema[] =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(2039174311);"
    "CREATE TABLE IF NOT EXISTS tq_schema (version integer NOT NULL);"
    "INSERT INTO tq_schema (version) SELECT 1"
    " WHERE NOT EXISTS (SELECT 1 FROM tq_schema);"
    "CREATE TABLE IF NOT EXISTS tq_credentials ("
    " assoc_id integer NOT NULL, entity integer NOT NULL,"
    " credential_type integer NOT NULL,"
    " user_name text NOT NULL DEFAULT '', password text NOT NULL DEFAULT '',"
    " additional_info text NOT NULL DEFAULT '',"
    " other integer NOT NULL DEFAULT 0, PRIMARY KEY (assoc_id, entity));"
    "CREATE TABLE IF NOT EXISTS tq_tokens ("
    " key text PRIMARY KEY, value text NOT NULL,"
    " expires_at bigint NOT NULL, refresh_at bigint NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tq_leases ("
    " key text PRIMARY KEY, owner text NOT NULL, until_ms bigint NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tq_waits ("
    " key text PRIMARY KEY, until_ms bigint NOT NULL);"
    "COMMIT;";

// Expired rows are removed at every this many writes of a process.
constexpr unsigned kPruneEvery = 64;

// The milliseconds left until deadline (steady), at least 1.
int MsLeft(int64_t deadline) {
  return static_cast<int>(std::max<int64_t>(deadline - SteadyMs(), 1));
}

// A bigint or integer column; 0 for anything else (it never is one).
int64_t Number(const PGresult* r, int row, int column) {
  int64_t value = 0;
  ParseDecimal(
      std::string_view(PQgetvalue(r, row, column),
                       static_cast<size_t>(PQgetlength(r, row, column))),
      INT64_MIN, INT64_MAX, value);
  return value;
}

std::string Text(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column),
                     static_cast<size_t>(PQgetlength(r, row, column)));
}

}  // namespace

std::shared_ptr<PgDatabase> PgDatabase::Of(const std::string& url) {
  static auto* registry = new PerProcessRegistry<PgDatabase>();
  return registry->Find(url,
                        [&url] { return std::make_shared<PgDatabase>(url); });
}

PgDatabase::PgDatabase(std::string url) : m_session(std::move(url)) {}

std::string PgDatabase::Name() const { return "database " + m_session.Shown(); }

CKoError PgDatabase::MakeSchema(int64_t deadlineMs) {
  CKoError st = m_session.Simple(kSchema, MsLeft(deadlineMs));
  if (st.IsError()) {
    m_session.Close();  // a failed transaction block is left behind
    return st;
  }
  PgResultPtr version;
  st = m_session.Exec("tq_version", "SELECT max(version) FROM tq_schema", {},
                      MsLeft(deadlineMs), version);
  if (st.IsError()) {
    return st;
  }
  const int64_t found = Number(version.get(), 0, 0);
  if (found > kSchemaVersion) {
    m_session.Close();
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kStoreFailed,
        "%s: schema version %lld is newer than version %d, the one this "
        "library reads; use the tqcloudauth that wrote it",
        Name().c_str(), static_cast<long long>(found), kSchemaVersion);
  }
  return CKoError::Success();
}

CKoError PgDatabase::Run(const char* name, const char* sql,
                         const std::vector<std::string>& params, int timeoutMs,
                         PgResultPtr& out) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int64_t now = SteadyMs();
  if (!m_session.Connected() && now < m_retryAtMs) {
    return m_failure;
  }
  const int64_t deadline = now + timeoutMs;
  CKoError st;
  if (!m_session.Connected()) {
    st = m_session.Connect(timeoutMs);
    if (!st.IsError()) {
      st = MakeSchema(deadline);
    }
  }
  if (!st.IsError()) {
    st = m_session.Exec(name, sql, params, MsLeft(deadline), out);
  }
  if (st.IsError() && !m_session.Connected()) {
    m_retryAtMs = SteadyMs() + kRetryMs;
    m_failure = st;
  }
  return st;
}

// --- shared tokens -----------------------------------------------------------

PgTokenStore::PgTokenStore(std::shared_ptr<PgDatabase> db)
    : m_db(std::move(db)) {}

std::shared_ptr<PgTokenStore> PgTokenStore::ForUrl(const std::string& url) {
  static auto* registry = new PerProcessRegistry<PgTokenStore>();
  return registry->Find(url, [&url] {
    return std::make_shared<PgTokenStore>(PgDatabase::Of(url));
  });
}

std::string PgTokenStore::Name() const { return m_db->Name(); }

CKoError PgTokenStore::Get(const std::string& key, int64_t nowSeconds,
                           Entry& out, bool& found) {
  found = false;
  PgResultPtr r;
  CKoError st = m_db->Run("tq_token_get",
                          "SELECT value, expires_at, refresh_at FROM tq_tokens"
                          " WHERE key = $1 AND expires_at > $2",
                          {key, std::to_string(nowSeconds)}, kTimeoutMs, r);
  if (st.IsError() || PQntuples(r.get()) == 0) {
    return st;
  }
  out.value = Text(r.get(), 0, 0);
  out.expiresAt = Number(r.get(), 0, 1);
  out.refreshAt = Number(r.get(), 0, 2);
  found = true;
  return st;
}

CKoError PgTokenStore::Put(const std::string& key, const Entry& entry,
                           int64_t nowSeconds) {
  PgResultPtr r;
  CKoError st = m_db->Run(
      "tq_token_put",
      "INSERT INTO tq_tokens VALUES ($1, $2, $3, $4) ON CONFLICT (key) DO"
      " UPDATE SET value = EXCLUDED.value, expires_at = EXCLUDED.expires_at,"
      " refresh_at = EXCLUDED.refresh_at"
      " WHERE EXCLUDED.expires_at >= tq_tokens.expires_at",
      {key, entry.value, std::to_string(entry.expiresAt),
       std::to_string(entry.refreshAt)},
      kTimeoutMs, r);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (st.IsError() || ++m_writes % kPruneEvery != 0) {
      return st;
    }
  }
  const std::string ms = std::to_string(nowSeconds * 1000);
  st = m_db->Run("tq_token_prune",
                 "DELETE FROM tq_tokens WHERE expires_at <= $1",
                 {std::to_string(nowSeconds)}, kTimeoutMs, r);
  if (!st.IsError()) {
    st = m_db->Run("tq_lease_prune",
                   "DELETE FROM tq_leases WHERE until_ms <= $1", {ms},
                   kTimeoutMs, r);
  }
  if (!st.IsError()) {
    st = m_db->Run("tq_wait_prune", "DELETE FROM tq_waits WHERE until_ms <= $1",
                   {ms}, kTimeoutMs, r);
  }
  return st;
}

CKoError PgTokenStore::TryLease(const std::string& key,
                                const std::string& owner, int64_t nowMs,
                                int64_t untilMs, bool& acquired) {
  acquired = false;
  PgResultPtr r;
  CKoError st = m_db->Run(
      "tq_lease",
      "INSERT INTO tq_leases VALUES ($1, $2, $3) ON CONFLICT (key) DO UPDATE"
      " SET owner = EXCLUDED.owner, until_ms = EXCLUDED.until_ms"
      " WHERE tq_leases.until_ms <= $4 OR tq_leases.owner = EXCLUDED.owner"
      " RETURNING owner",
      {key, owner, std::to_string(untilMs), std::to_string(nowMs)}, kTimeoutMs,
      r);
  acquired = !st.IsError() && PQntuples(r.get()) == 1;
  return st;
}

CKoError PgTokenStore::Release(const std::string& key,
                               const std::string& owner) {
  PgResultPtr r;
  return m_db->Run("tq_release",
                   "DELETE FROM tq_leases WHERE key = $1 AND owner = $2",
                   {key, owner}, kTimeoutMs, r);
}

CKoError PgTokenStore::WaitUntil(const std::string& key, int64_t& outUntilMs) {
  outUntilMs = 0;
  PgResultPtr r;
  CKoError st =
      m_db->Run("tq_wait_get", "SELECT until_ms FROM tq_waits WHERE key = $1",
                {key}, kTimeoutMs, r);
  if (!st.IsError() && PQntuples(r.get()) == 1) {
    outUntilMs = Number(r.get(), 0, 0);
  }
  return st;
}

CKoError PgTokenStore::Hold(const std::string& key, int64_t untilMs) {
  PgResultPtr r;
  return m_db->Run(
      "tq_wait_hold",
      "INSERT INTO tq_waits VALUES ($1, $2) ON CONFLICT (key) DO UPDATE"
      " SET until_ms = GREATEST(tq_waits.until_ms, EXCLUDED.until_ms)",
      {key, std::to_string(untilMs)}, kTimeoutMs, r);
}

// --- credentials -------------------------------------------------------------

namespace PgCredentials {

CKoError Find(PgDatabase& db, int assocId, int entity, StoredCredential& out,
              bool& found) {
  found = false;
  PgResultPtr r;
  CKoError st = db.Run(
      "tq_credential_find",
      "SELECT credential_type, user_name, password, additional_info, other"
      " FROM tq_credentials WHERE assoc_id = $1 AND entity = $2",
      {std::to_string(assocId), std::to_string(entity)}, kTimeoutMs, r);
  if (st.IsError() || PQntuples(r.get()) == 0) {
    return st;
  }
  out.assocId = assocId;
  out.entity = entity;
  out.credentialType = static_cast<int>(Number(r.get(), 0, 0));
  out.userName = Text(r.get(), 0, 1);
  out.password = Text(r.get(), 0, 2);
  out.additionalInfo = Text(r.get(), 0, 3);
  out.other = static_cast<int>(Number(r.get(), 0, 4));
  found = true;
  return st;
}

CKoError Add(PgDatabase& db, const StoredCredential& row, bool replace,
             bool& outExists) {
  outExists = false;
  const std::vector<std::string> params = {std::to_string(row.assocId),
                                           std::to_string(row.entity),
                                           std::to_string(row.credentialType),
                                           row.userName,
                                           row.password,
                                           row.additionalInfo,
                                           std::to_string(row.other)};
  PgResultPtr r;
  if (replace) {
    return db.Run(
        "tq_credential_replace",
        "INSERT INTO tq_credentials VALUES ($1, $2, $3, $4, $5, $6, $7)"
        " ON CONFLICT (assoc_id, entity) DO UPDATE SET"
        " credential_type = EXCLUDED.credential_type,"
        " user_name = EXCLUDED.user_name, password = EXCLUDED.password,"
        " additional_info = EXCLUDED.additional_info, other = EXCLUDED.other",
        params, kTimeoutMs, r);
  }
  CKoError st =
      db.Run("tq_credential_add",
             "INSERT INTO tq_credentials VALUES ($1, $2, $3, $4, $5, $6, $7)"
             " ON CONFLICT DO NOTHING RETURNING assoc_id",
             params, kTimeoutMs, r);
  outExists = !st.IsError() && PQntuples(r.get()) == 0;
  return st;
}

CKoError Remove(PgDatabase& db, int assocId, int entity, bool& outRemoved) {
  PgResultPtr r;
  CKoError st =
      db.Run("tq_credential_remove",
             "DELETE FROM tq_credentials WHERE assoc_id = $1 AND"
             " entity = $2 RETURNING assoc_id",
             {std::to_string(assocId), std::to_string(entity)}, kTimeoutMs, r);
  outRemoved = !st.IsError() && PQntuples(r.get()) > 0;
  return st;
}

CKoError List(PgDatabase& db, std::vector<StoredCredential>& out) {
  out.clear();
  PgResultPtr r;
  CKoError st = db.Run(
      "tq_credential_list",
      "SELECT assoc_id, entity, credential_type, user_name, additional_info,"
      " other FROM tq_credentials ORDER BY assoc_id, entity",
      {}, kTimeoutMs, r);
  if (st.IsError()) {
    return st;
  }
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    StoredCredential row;
    row.assocId = static_cast<int>(Number(r.get(), i, 0));
    row.entity = static_cast<int>(Number(r.get(), i, 1));
    row.credentialType = static_cast<int>(Number(r.get(), i, 2));
    row.userName = Text(r.get(), i, 3);
    row.additionalInfo = Text(r.get(), i, 4);
    row.other = static_cast<int>(Number(r.get(), i, 5));
    out.push_back(std::move(row));
  }
  return st;
}

}  // namespace PgCredentials
