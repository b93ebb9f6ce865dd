#pragma once

#include <sys/types.h>

#include <string>

namespace tqtest {

// A real tinyproxy on 127.0.0.1 and a free port, started in dir and stopped
// with the object. With a user name it demands Basic authentication.
class TinyproxyProcess {
 public:
  explicit TinyproxyProcess(const std::string& dir,
                            const std::string& user = "",
                            const std::string& password = "");
  ~TinyproxyProcess();
  TinyproxyProcess(const TinyproxyProcess&) = delete;
  TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;

  int port() const { return m_port; }
  std::string Log() const;
  // Requests that reached the proxy (CONNECT tunnels and plain requests).
  int RequestCount() const;

  // A port on 127.0.0.1 that nothing listened on a moment ago.
  static int FreePort();

 private:
  std::string m_logFile;
  int m_port = 0;
  pid_t m_pid = -1;
};

}  // namespace tqtest
