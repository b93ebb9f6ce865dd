#include "internal/db/PgSession.h"

#include <openssl/crypto.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "internal/base/SteadyClock.h"
#include "platform/SecureMemory.h"

namespace {

struct ConninfoFree {
  void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

// Waits until the connection's socket is readable (or writable); false when
// deadlineMs passes first.
bool WaitSocket(PGconn* conn, bool write, int64_t deadlineMs) {
  const int fd = PQsocket(conn);
  if (fd < 0) {
    return false;
  }
  for (;;) {
    const int64_t left = deadlineMs - SteadyMs();
    if (left <= 0) {
      return false;
    }
    pollfd p{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) {
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return false;
    }
  }
}

// libpq's message, one line, the password masked.
std::string Words(const char* message, const std::string& password) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  for (char& c : text) {
    c = c == '\n' ? ' ' : c;
  }
  if (!password.empty()) {
    for (size_t at = text.find(password); at != std::string::npos;
         at = text.find(password, at)) {
      text.replace(at, password.size(), "***");
    }
  }
  return text;
}

}  // namespace

bool ParsePgUrl(const std::string& url, PgUrlParts& out) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, ConninfoFree> options(
      PQconninfoParse(url.c_str(), &error));
  if (error != nullptr) {
    PQfreemem(error);
  }
  if (options == nullptr) {
    return false;
  }
  std::string host;
  std::string port;
  std::string dbname;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr) {
      continue;
    }
    if (std::strcmp(o->keyword, "host") == 0 ||
        (host.empty() && std::strcmp(o->keyword, "hostaddr") == 0)) {
      host = o->val;
    } else if (std::strcmp(o->keyword, "port") == 0) {
      port = o->val;
    } else if (std::strcmp(o->keyword, "dbname") == 0) {
      dbname = o->val;
    } else if (std::strcmp(o->keyword, "password") == 0) {
      out.password = o->val;
      OPENSSL_cleanse(o->val, std::strlen(o->val));
    }
  }
  out.shown = (host.empty() ? "localhost" : host) +
              (port.empty() ? "" : ":" + port) + "/" + dbname;
  return true;
}

PgSession::PgSession(std::string url) : m_url(std::move(url)) {
  ParsePgUrl(m_url, m_parts);
}

PgSession::~PgSession() {
  Close();
  WipeString(m_url);
  WipeString(m_parts.password);
}

CKoError PgSession::Failed(const FXCodeLocation& loc,
                           const std::string& what) const {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kStoreFailed, "database %s: %s",
      m_parts.shown.c_str(), what.c_str());
}

void PgSession::Close() {
  m_conn.reset();
  m_prepared.clear();
}

CKoError PgSession::Connect(int timeoutMs) {
  if (m_conn != nullptr) {
    return CKoError::Success();
  }
  const int64_t deadline = SteadyMs() + timeoutMs;
  PgConnPtr conn(PQconnectStart(m_url.c_str()));
  if (conn == nullptr) {
    return Failed(TQ_LOC, "cannot connect: out of memory");
  }
  if (PQstatus(conn.get()) == CONNECTION_BAD) {
    return Failed(TQ_LOC, "cannot connect: " + Words(PQerrorMessage(conn.get()),
                                                     m_parts.password));
  }
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) {
      return Failed(TQ_LOC,
                    "cannot connect: " +
                        Words(PQerrorMessage(conn.get()), m_parts.password));
    }
    if (!WaitSocket(conn.get(), state == PGRES_POLLING_WRITING, deadline)) {
      return Failed(
          TQ_LOC, "cannot connect within " + std::to_string(timeoutMs) + " ms");
    }
    state = PQconnectPoll(conn.get());
  }
  // The server's notices ("already exists, skipping") are not for the
  // product's standard error.
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  if (PQsetnonblocking(conn.get(), 1) != 0) {
    return Failed(TQ_LOC, "cannot use the connection");
  }
  m_conn = std::move(conn);
  return CKoError::Success();
}

CKoError PgSession::Await(int64_t deadlineMs, PgResultPtr& out) {
  PGconn* c = m_conn.get();
  // What was sent may not have left yet (non-blocking).
  int flushed;
  while ((flushed = PQflush(c)) == 1) {
    if (!WaitSocket(c, true, deadlineMs)) {
      Close();
      return Failed(TQ_LOC, "no answer in time");
    }
  }
  if (flushed < 0) {
    CKoError st = Failed(TQ_LOC, Words(PQerrorMessage(c), m_parts.password));
    Close();
    return st;
  }
  PgResultPtr last;
  for (;;) {
    while (PQisBusy(c)) {
      if (!WaitSocket(c, false, deadlineMs)) {
        Close();
        return Failed(TQ_LOC, "no answer in time");
      }
      if (PQconsumeInput(c) == 0) {
        CKoError st =
            Failed(TQ_LOC, Words(PQerrorMessage(c), m_parts.password));
        Close();
        return st;
      }
    }
    PgResultPtr result(PQgetResult(c));
    if (result == nullptr) {
      break;
    }
    // The first failure is the one to report; later results are drained.
    if (last == nullptr ||
        (PQresultStatus(last.get()) != PGRES_FATAL_ERROR &&
         PQresultStatus(result.get()) == PGRES_FATAL_ERROR)) {
      last = std::move(result);
    }
  }
  if (last == nullptr) {
    return Failed(TQ_LOC, "no result");
  }
  const ExecStatusType status = PQresultStatus(last.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    CKoError st = Failed(
        TQ_LOC, Words(PQresultErrorMessage(last.get()), m_parts.password));
    if (PQstatus(c) == CONNECTION_BAD) {
      Close();
    }
    return st;
  }
  out = std::move(last);
  return CKoError::Success();
}

CKoError PgSession::Exec(const char* name, const char* sql,
                         const std::vector<std::string>& params, int timeoutMs,
                         PgResultPtr& out) {
  const int64_t deadline = SteadyMs() + timeoutMs;
  CKoError st = Connect(timeoutMs);
  if (st.IsError()) {
    return st;
  }
  const int count = static_cast<int>(params.size());
  if (m_prepared.count(name) == 0) {
    if (PQsendPrepare(m_conn.get(), name, sql, count, nullptr) != 1) {
      st =
          Failed(TQ_LOC, Words(PQerrorMessage(m_conn.get()), m_parts.password));
      Close();
      return st;
    }
    PgResultPtr prepared;
    st = Await(deadline, prepared);
    if (st.IsError()) {
      return st;
    }
    m_prepared.insert(name);
  }
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) {
    values.push_back(p.c_str());
  }
  if (PQsendQueryPrepared(m_conn.get(), name, count, values.data(), nullptr,
                          nullptr, 0) != 1) {
    st = Failed(TQ_LOC, Words(PQerrorMessage(m_conn.get()), m_parts.password));
    Close();
    return st;
  }
  return Await(deadline, out);
}

CKoError PgSession::Simple(const std::string& sql, int timeoutMs) {
  const int64_t deadline = SteadyMs() + timeoutMs;
  CKoError st = Connect(timeoutMs);
  if (st.IsError()) {
    return st;
  }
  if (PQsendQuery(m_conn.get(), sql.c_str()) != 1) {
    st = Failed(TQ_LOC, Words(PQerrorMessage(m_conn.get()), m_parts.password));
    Close();
    return st;
  }
  PgResultPtr ignored;
  return Await(deadline, ignored);
}
