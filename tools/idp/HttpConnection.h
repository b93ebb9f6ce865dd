#pragma once

// One client connection of the endpoint's HTTP server and the I/O on it.
// Its socket is non-blocking throughout: the TLS handshake and the reading
// of a request happen a step at a time as bytes arrive (on the server's
// loop, which never waits for one peer), and a connection reaches a worker
// only with a whole request read; a reply is written with a deadline.

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "internal/crypto/OpenSslHandles.h"
#include "tools/idp/HttpServer.h"

namespace tqidp {

using Clock = std::chrono::steady_clock;

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  int release() { return std::exchange(m_fd, -1); }
  void reset(int fd = -1);

 private:
  int m_fd;
};

struct Connection {
  Fd fd;
  SslPtr ssl;  // with TLS, made at accept
  bool handshaken = false;
  std::string in;  // bytes received and not yet consumed
  std::string addr;
  int port = 0;
  bool mark = false;
  bool busy = false;       // with a worker, not in the epoll set
  bool continued = false;  // "100 Continue" sent for the request read
  // When the connection went idle (kept alive between requests), and by
  // when the handshake or the request being read must be whole.
  Clock::time_point idleSince;
  Clock::time_point deadline = Clock::time_point::max();

  // A handshake under way, or part of a request received.
  bool HalfOpen() const { return !handshaken || !in.empty(); }
  ~Connection();
};

// What a step of I/O on a connection came to.
enum class Step {
  kWaitRead,   // wait for the socket to be readable
  kWaitWrite,  // wait for it to be writable
  kReady,      // a whole request (or one to refuse) is in c.in
  kClose,      // the peer closed, failed or cannot be served
};

// Advance: handshakes as far as the bytes that came allow, then reads what
// has come and tells whether a whole request is there (or one the worker
// must refuse: too large a head, a bad body length). Writes "100 Continue"
// when the request asks for it. Never blocks.
Step Advance(Connection& c, size_t maxBody);

// TakeRequest: the first request of c.in into req, consumed, when it is
// whole: true. false with errorStatus 0 when it is not whole yet, else with
// the status to refuse it with.
bool TakeRequest(Connection& c, size_t maxBody, HttpRequest& req, bool& http10,
                 int& errorStatus);

// Write: all of data, within timeout; false when the peer fails or is too
// slow.
bool Write(Connection& c, std::string_view data, Clock::duration timeout);

// Reply: res written (FormatResponse); with TLS, close_notify after the
// last reply of a connection.
bool Reply(Connection& c, const HttpResponse& res, bool keep, bool http10,
           bool head, Clock::duration timeout);

}  // namespace tqidp
