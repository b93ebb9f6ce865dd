#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/CKoError.h"

// libpq's objects, each with its owner.
struct PgConnFree {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConnPtr = std::unique_ptr<PGconn, PgConnFree>;
using PgResultPtr = std::unique_ptr<PGresult, PgResultFree>;

// PgUrlParts: what a libpq connection URI names, for people: "host:port/
// dbname" and the password (if the URI holds one), to be masked wherever
// libpq's words are shown. false for a URI libpq cannot parse.
struct PgUrlParts {
  std::string shown;
  std::string password;
};
bool ParsePgUrl(const std::string& url, PgUrlParts& out);

// PgSession: one connection to a PostgreSQL database (a libpq URI: TLS as
// its sslmode says, the password from it or from ~/.pgpass), where every
// step is bounded: connecting and each statement give up after the time
// they are given, however the server or the network behaves, and the
// connection is then closed (the next call connects again). Statements are
// prepared on first use, by name, on each connection. Not thread-safe: its
// owner serialises calls. Failures carry kStoreFailed and name the
// database as "host:port/dbname", never the password.
// Tests: tests/platform/SharedStores_test.cpp
class PgSession {
 public:
  explicit PgSession(std::string url);
  ~PgSession();
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  // Connected: whether a connection is open (it may still fail later).
  bool Connected() const { return m_conn != nullptr; }
  const std::string& Shown() const { return m_parts.shown; }

  // Connect: opens a connection unless one is; within timeoutMs.
  CKoError Connect(int timeoutMs);

  // Exec: runs the statement sql, prepared as name, with text params; the
  // result (tuples or command ok) in out. Connects first when needed. On a
  // failure the statement's own error is returned; when the connection is
  // lost or the deadline passes, the connection is closed.
  CKoError Exec(const char* name, const char* sql,
                const std::vector<std::string>& params, int timeoutMs,
                PgResultPtr& out);

  // Simple: runs sql text (several statements, no parameters) the same way.
  CKoError Simple(const std::string& sql, int timeoutMs);

  // Close: drops the connection.
  void Close();

 private:
  CKoError Failed(const FXCodeLocation& loc, const std::string& what) const;
  // Waits for the result of what was sent, until deadlineMs (steady clock).
  CKoError Await(int64_t deadlineMs, PgResultPtr& out);

  std::string m_url;
  PgUrlParts m_parts;
  PgConnPtr m_conn;
  std::set<std::string> m_prepared;
};
