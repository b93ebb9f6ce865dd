#include "tests/support/PostgresServer.h"

#include <glob.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"

namespace tqtest {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Own(const std::string& path, uid_t uid, gid_t gid) {
  if (::chown(path.c_str(), uid, gid) != 0) {
    throw std::runtime_error("chown " + path);
  }
}

}  // namespace

std::string PostgresServer::BinDir() {
  glob_t found{};
  std::string best;
  if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      const std::string path = found.gl_pathv[i];
      const std::string dir = path.substr(0, path.rfind('/'));
      // The versions are numbers: a longer one is newer (9 < 15).
      if (best.empty() || dir.size() > best.size() ||
          (dir.size() == best.size() && dir > best)) {
        best = dir;
      }
    }
  }
  ::globfree(&found);
  return best;
}

PostgresServer::PostgresServer(const std::string& caFile,
                               const std::string& certFile,
                               const std::string& keyFile)
    : m_bin(BinDir()) {
  if (m_bin.empty()) {
    throw std::runtime_error("PostgreSQL is not installed (postgresql)");
  }
  char dir[] = "/tmp/tqpg.XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    throw std::runtime_error("mkdtemp");
  }
  m_dir = dir;
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  if (uid == 0) {
    const passwd* pw = ::getpwnam("postgres");
    if (pw == nullptr) {
      pw = ::getpwnam("nobody");
    }
    if (pw == nullptr) {
      throw std::runtime_error("no unprivileged user to run PostgreSQL as");
    }
    m_user = pw->pw_name;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    Own(m_dir, uid, gid);
  }
  m_password = "pg-" + std::to_string(::getpid()) + "-sentinel";
  WriteFile(m_dir + "/pw", m_password + "\n", 0600);
  Own(m_dir + "/pw", uid, gid);
  Run(m_bin + "/initdb -D " + m_dir + "/data -U tq --pwfile=" + m_dir +
      "/pw -A scram-sha-256 --auth-local=trust --no-sync -E UTF8 --locale=C");
  ::unlink((m_dir + "/pw").c_str());
  WriteFile(m_dir + "/data/server.crt", ReadFile(certFile), 0600);
  WriteFile(m_dir + "/data/server.key", ReadFile(keyFile), 0600);
  Own(m_dir + "/data/server.crt", uid, gid);
  Own(m_dir + "/data/server.key", uid, gid);
  m_port = TinyproxyProcess::FreePort();
  std::ofstream conf(m_dir + "/data/postgresql.conf", std::ios::app);
  conf << "listen_addresses = '127.0.0.1'\nport = " << m_port
       << "\nunix_socket_directories = '" << m_dir
       << "'\nssl = on\nssl_cert_file = 'server.crt'\n"
          "ssl_key_file = 'server.key'\nfsync = off\n"
          "synchronous_commit = off\nfull_page_writes = off\n";
  conf.close();
  m_url = "postgresql://tq:" + m_password +
          "@127.0.0.1:" + std::to_string(m_port) +
          "/postgres?sslmode=verify-full&sslrootcert=" + caFile;
  Start();
}

PostgresServer::~PostgresServer() {
  try {
    Stop();
  } catch (...) {
  }
  std::error_code ec;
  std::filesystem::remove_all(m_dir, ec);
}

void PostgresServer::Run(const std::string& command) const {
  // As the server's account, in its folder; the output kept for a failure.
  const std::string log = m_dir + "/run.log";
  const std::string line =
      (m_user.empty() ? "" : "runuser -u " + m_user + " -- ") + command +
      " >> " + log + " 2>&1";
  if (std::system(line.c_str()) != 0) {
    throw std::runtime_error(command + " failed:\n" + Slurp(log) +
                             Slurp(m_dir + "/server.log"));
  }
}

void PostgresServer::Start() {
  if (!m_running) {
    Run(m_bin + "/pg_ctl -D " + m_dir + "/data -l " + m_dir +
        "/server.log -w -t 60 start");
    m_running = true;
  }
}

void PostgresServer::Stop() {
  if (m_running) {
    m_running = false;
    Run(m_bin + "/pg_ctl -D " + m_dir + "/data -m fast -w stop");
  }
}

std::string PostgresServer::Dump() const {
  const std::string out = m_dir + "/dump.sql";
  Run(m_bin + "/pg_dump -h " + m_dir + " -p " + std::to_string(m_port) +
      " -U tq -f " + out + " postgres");
  return Slurp(out);
}

}  // namespace tqtest
