#include "tools/idp/HttpConnection.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "tools/idp/HttpMessage.h"

namespace tqidp {
namespace {

constexpr size_t kReadChunk = 16 * 1024;

// What an OpenSSL call that returned rc asks for.
Step SslWants(SSL* ssl, int rc) {
  const int error = SSL_get_error(ssl, rc);
  ERR_clear_error();
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return Step::kWaitRead;
    case SSL_ERROR_WANT_WRITE:
      return Step::kWaitWrite;
    default:
      return Step::kClose;
  }
}

// Reads what has come, up to limit bytes held; kWaitRead when nothing more
// is there now, kClose when the peer closed or failed.
Step ReadAvailable(Connection& c, size_t limit) {
  char buf[kReadChunk];
  while (c.in.size() < limit) {
    ssize_t n = 0;
    if (c.ssl) {
      n = SSL_read(c.ssl.get(), buf, sizeof buf);
      if (n <= 0) {
        OPENSSL_cleanse(buf, sizeof buf);
        return SslWants(c.ssl.get(), static_cast<int>(n));
      }
    } else {
      do {
        n = ::recv(c.fd.get(), buf, sizeof buf, 0);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return Step::kWaitRead;
      }
      if (n <= 0) {
        return Step::kClose;
      }
    }
    c.in.append(buf, static_cast<size_t>(n));
    OPENSSL_cleanse(buf, static_cast<size_t>(n));
  }
  return Step::kWaitRead;
}

// Whether c.in starts with a whole request (or one to refuse); writes
// "100 Continue" for a request that waits for it.
bool Whole(Connection& c, size_t maxBody) {
  const size_t headEnd = c.in.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    return c.in.size() > kMaxRequestHead;  // refused as too large
  }
  HttpRequest req;
  bool http10 = false;
  size_t length = 0;
  if (headEnd > kMaxRequestHead ||
      !ParseRequestHead(std::string_view(c.in).substr(0, headEnd), req,
                        http10) ||
      RequestBodyLength(req, maxBody, length) != 0) {
    return true;  // refused by the worker
  }
  const size_t have = c.in.size() - headEnd - 4;
  if (have >= length) {
    return true;
  }
  const std::string* expect = req.Header("Expect");
  if (!c.continued && expect != nullptr &&
      EqualsIgnoreCase(*expect, "100-continue")) {
    c.continued = true;
    static constexpr std::string_view kContinue =
        "HTTP/1.1 100 Continue\r\n\r\n";
    Write(c, kContinue, std::chrono::seconds(1));
  }
  return false;
}

}  // namespace

void Fd::reset(int fd) {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
  m_fd = fd;
}

Connection::~Connection() { OPENSSL_cleanse(in.data(), in.size()); }

Step Advance(Connection& c, size_t maxBody) {
  if (c.ssl && !c.handshaken) {
    const int rc = SSL_accept(c.ssl.get());
    if (rc != 1) {
      return SslWants(c.ssl.get(), rc);
    }
    c.handshaken = true;
  }
  // A head beyond its limit, or a body beyond maxBody, is not read whole:
  // enough of it is there to refuse it.
  const Step read = ReadAvailable(c, kMaxRequestHead + maxBody + 4 + 1);
  if (!c.in.empty() && Whole(c, maxBody)) {
    return Step::kReady;
  }
  return read;
}

bool TakeRequest(Connection& c, size_t maxBody, HttpRequest& req, bool& http10,
                 int& errorStatus) {
  errorStatus = 0;
  const size_t headEnd = c.in.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    errorStatus = c.in.size() > kMaxRequestHead ? 431 : 0;
    return false;
  }
  if (headEnd > kMaxRequestHead) {
    errorStatus = 431;
    return false;
  }
  if (!ParseRequestHead(std::string_view(c.in).substr(0, headEnd), req,
                        http10)) {
    errorStatus = 400;
    return false;
  }
  size_t length = 0;
  errorStatus = RequestBodyLength(req, maxBody, length);
  if (errorStatus != 0) {
    return false;
  }
  if (c.in.size() - headEnd - 4 < length) {
    return false;  // not whole yet
  }
  Consume(c.in, headEnd + 4);
  req.body.assign(c.in, 0, length);
  Consume(c.in, length);
  c.continued = false;
  return true;
}

bool Write(Connection& c, std::string_view data, Clock::duration timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!data.empty()) {
    ssize_t n = 0;
    Step wait = Step::kWaitWrite;
    if (c.ssl) {
      n = SSL_write(c.ssl.get(), data.data(),
                    static_cast<int>(std::min<size_t>(data.size(), INT_MAX)));
      if (n <= 0) {
        wait = SslWants(c.ssl.get(), static_cast<int>(n));
      }
    } else {
      do {
        n = ::send(c.fd.get(), data.data(), data.size(), MSG_NOSIGNAL);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        wait = Step::kClose;
      }
    }
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (wait == Step::kClose || left.count() <= 0) {
      return false;
    }
    pollfd p{c.fd.get(),
             static_cast<short>(wait == Step::kWaitRead ? POLLIN : POLLOUT), 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
  }
  return true;
}

bool Reply(Connection& c, const HttpResponse& res, bool keep, bool http10,
           bool head, Clock::duration timeout) {
  const bool sent = Write(c, FormatResponse(res, keep, http10, head), timeout);
  if (sent && !keep && c.ssl) {
    SSL_shutdown(c.ssl.get());  // close_notify; the peer's is not awaited
    ERR_clear_error();
  }
  return sent;
}

}  // namespace tqidp
