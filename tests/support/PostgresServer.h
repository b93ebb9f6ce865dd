#pragma once

#include <string>

namespace tqtest {

// A real PostgreSQL server for the tests: a cluster made by initdb in a
// folder of its own, listening on 127.0.0.1 and a free port with TLS (a
// certificate for 127.0.0.1 from the tests' CA) and password
// authentication, run as an unprivileged user when the tests run as root
// ("postgres", else "nobody"). Stopped and removed with the object.
class PostgresServer {
 public:
  // Binaries: the highest /usr/lib/postgresql/<version>/bin; "" when none.
  static std::string BinDir();

  // caFile: the CA that issued certFile/keyFile (for 127.0.0.1).
  PostgresServer(const std::string& caFile, const std::string& certFile,
                 const std::string& keyFile);
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // The libpq URI: user tq with its password, sslmode=verify-full.
  const std::string& Url() const { return m_url; }
  const std::string& Password() const { return m_password; }
  int Port() const { return m_port; }

  void Stop();
  void Start();
  // Dump: pg_dump of the database, data and schema, as text.
  std::string Dump() const;

 private:
  void Run(const std::string& command) const;

  std::string m_dir;
  std::string m_bin;
  std::string m_user;  // the account it runs as; "" for this one
  std::string m_password;
  std::string m_url;
  int m_port = 0;
  bool m_running = false;
};

}  // namespace tqtest
