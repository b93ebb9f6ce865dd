#include "tests/support/IdpProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <stdexcept>

extern char** environ;

namespace tqtest {

Child Spawn(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  Child child;
  const int rc =
      posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error("posix_spawn");
  }
  child.out = pipeFds[0];
  return child;
}

std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return "";
    }
    char c[256];
    const ssize_t n = ::read(fd, c, sizeof c);
    if (n <= 0) {
      return "";
    }
    line.append(c, static_cast<size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

std::string ReadAll(int fd, int timeoutMs) {
  std::string out;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return out;
    }
    char c[4096];
    const ssize_t n = ::read(fd, c, sizeof c);
    if (n <= 0) {
      return out;
    }
    out.append(c, static_cast<size_t>(n));
  }
}

int WaitExit(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

std::string IdpBinary() {
  const char* path = std::getenv("TQ_IDP_BINARY");
  return path != nullptr ? path : "";
}

IdpProcess::IdpProcess(const std::string& dir, const std::string& appsFile,
                       const std::vector<std::string>& extra)
    : m_dir(dir) {
  const std::string binary = IdpBinary();
  if (binary.empty()) {
    return;
  }
  std::vector<std::string> args = {binary, "--apps", appsFile, "--generate-pki",
                                   dir + "/pki"};
  args.insert(args.end(), extra.begin(), extra.end());
  Child child = Spawn(args);
  m_pid = child.pid;
  const std::string line = ReadLine(child.out, 30000);
  ::close(child.out);
  std::smatch m;
  if (std::regex_match(
          line, m,
          std::regex(R"(listening on (https?://127\.0\.0\.1:\d+/))"))) {
    m_endpoint = m[1];
  }
}

IdpProcess::~IdpProcess() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGTERM);
    WaitExit(m_pid);
  }
}

}  // namespace tqtest
