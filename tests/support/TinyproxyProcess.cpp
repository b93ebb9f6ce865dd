#include "tests/support/TinyproxyProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/TestPki.h"

extern char** environ;

namespace tqtest {
namespace {

bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok =
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int TinyproxyProcess::FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

TinyproxyProcess::TinyproxyProcess(const std::string& dir,
                                   const std::string& user,
                                   const std::string& password) {
  m_port = FreePort();
  m_logFile = dir + "/tinyproxy.log";
  std::ostringstream conf;
  conf << "Port " << m_port << "\n"
       << "Listen 127.0.0.1\n"
       << "Timeout 30\n"
       << "LogFile \"" << m_logFile << "\"\n"
       << "LogLevel Connect\n"
       << "MaxClients 20\n"
       << "Allow 127.0.0.1\n";
  if (!user.empty()) {
    conf << "BasicAuth " << user << " " << password << "\n";
  }
  const std::string confFile = dir + "/tinyproxy.conf";
  WriteFile(confFile, conf.str());

  const char* argv[] = {"tinyproxy", "-d", "-c", confFile.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  const int rc = posix_spawnp(&m_pid, "tinyproxy", &actions, nullptr,
                              const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    m_pid = -1;
    throw std::runtime_error("cannot start tinyproxy (is it installed?)");
  }
  for (int i = 0; i < 500; ++i) {
    if (CanConnect(m_port)) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(m_pid, SIGTERM);
  ::waitpid(m_pid, nullptr, 0);
  throw std::runtime_error("tinyproxy did not start listening");
}

TinyproxyProcess::~TinyproxyProcess() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

std::string TinyproxyProcess::Log() const { return ReadFile(m_logFile); }

int TinyproxyProcess::RequestCount() const {
  std::istringstream in(Log());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.find("]: Request (file descriptor") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

}  // namespace tqtest
