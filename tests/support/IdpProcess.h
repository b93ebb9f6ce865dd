#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tqtest {

// A child process started with posix_spawn, its standard output on a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout
};

// Spawn: runs args[0] with args; throws std::runtime_error when it cannot.
Child Spawn(const std::vector<std::string>& args);
// ReadLine: the first line of the child's stdout, or "" after timeoutMs.
std::string ReadLine(int fd, int timeoutMs);
// ReadAll: what the child writes to fd until it closes it, or until
// timeoutMs have passed.
std::string ReadAll(int fd, int timeoutMs);
// WaitExit: the child's exit status (128 + signal when killed by one); -1
// after 10 s, the child then killed.
int WaitExit(pid_t pid);

// The tqcloudauth-idp program the build made (TQ_IDP_BINARY); "" when
// unknown.
std::string IdpBinary();

// IdpProcess: tqcloudauth-idp started in its own process with the
// applications file appsFile, its own PKI made in dir/pki, and extra
// arguments; stopped (SIGTERM) with the object. Out of this process, its
// memory is not this process's.
class IdpProcess {
 public:
  IdpProcess(const std::string& dir, const std::string& appsFile,
             const std::vector<std::string>& extra = {});
  ~IdpProcess();
  IdpProcess(const IdpProcess&) = delete;
  IdpProcess& operator=(const IdpProcess&) = delete;

  bool running() const { return m_pid > 0 && !m_endpoint.empty(); }
  // "https://127.0.0.1:<port>/"
  const std::string& LoginEndpoint() const { return m_endpoint; }
  std::string CaFile() const { return m_dir + "/pki/ca.pem"; }

 private:
  std::string m_dir;
  std::string m_endpoint;
  pid_t m_pid = -1;
};

}  // namespace tqtest
