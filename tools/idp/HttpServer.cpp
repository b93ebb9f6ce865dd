#include "tools/idp/HttpServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "internal/crypto/OpenSslHandles.h"
#include "internal/net/AddrInfoHandle.h"
#include "tools/idp/HttpMessage.h"

namespace tqidp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 16 * 1024;
constexpr int kSweepMs = 500;  // how often idle connections are looked at
// epoll keys besides connection ids.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = 1;
constexpr uint64_t kFirstConnectionId = 2;

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  int release() { return std::exchange(m_fd, -1); }
  void reset(int fd = -1) {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = fd;
  }

 private:
  int m_fd;
};

struct Connection {
  Fd fd;
  SslPtr ssl;
  bool handshaken = false;
  std::string in;  // bytes received and not yet consumed
  std::string addr;
  int port = 0;
  bool mark = false;
  bool busy = false;  // with a worker, not in the epoll set
  Clock::time_point idleSince;

  ~Connection() { OPENSSL_cleanse(in.data(), in.size()); }
};

void SetTimeout(int fd, int option, Clock::duration d) {
  const auto us = std::max<long long>(
      1000, std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

void BlockSigpipe() {
  // A peer that went away makes a write raise SIGPIPE; blocked, the write
  // fails with EPIPE instead (OpenSSL writes with write(), not send()).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

struct HttpServer::Impl {
  Impl(HttpServerOptions o, HttpHandler h)
      : options(std::move(o)), handler(std::move(h)) {}

  bool MakeTlsContext(std::string& error);
  bool Listen(std::string& error);
  void Loop();
  void Accept();
  void Dispatch(uint64_t id);
  bool CloseLongestIdleLocked();
  void Sweep();
  void Work();
  bool Serve(Connection& c);
  bool ReadMore(Connection& c, Clock::time_point deadline);
  bool ReadRequest(Connection& c, HttpRequest& req, bool& http10,
                   int& errorStatus);
  bool Write(Connection& c, std::string_view data);
  bool Reply(Connection& c, const HttpResponse& res, bool keep, bool http10,
             bool head);
  void Rearm(uint64_t id, Connection& c);
  void EraseLocked(uint64_t id) {
    const auto it = conns.find(id);
    if (it != conns.end()) {
      epoll_ctl(epoll.get(), EPOLL_CTL_DEL, it->second->fd.get(), nullptr);
      conns.erase(it);
    }
  }

  HttpServerOptions options;
  HttpHandler handler;
  SslCtxPtr ctx;
  Fd listener;
  Fd epoll;
  Fd wake;
  int boundPort = 0;
  bool started = false;
  std::atomic<bool> stopping{false};
  std::thread loop;

  mutable std::mutex mutex;
  std::condition_variable workCv;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> conns;
  uint64_t nextId = kFirstConnectionId;
  std::deque<uint64_t> ready;  // connections with input, waiting for a worker
  std::vector<std::thread> workers;
  size_t idleWorkers = 0;
};

bool HttpServer::Impl::MakeTlsContext(std::string& error) {
  ctx.reset(SSL_CTX_new(TLS_server_method()));
  const bool ok =
      ctx != nullptr &&
      SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) == 1 &&
      SSL_CTX_use_certificate_chain_file(ctx.get(), options.certFile.c_str()) ==
          1 &&
      SSL_CTX_use_PrivateKey_file(ctx.get(), options.keyFile.c_str(),
                                  SSL_FILETYPE_PEM) == 1 &&
      SSL_CTX_check_private_key(ctx.get()) == 1;
  ERR_clear_error();
  if (!ok) {
    error = "cannot use the TLS certificate " + options.certFile +
            " with the key " + options.keyFile;
    ctx.reset();
    return false;
  }
  // An idle connection keeps no read or write buffer.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  return true;
}

bool HttpServer::Impl::Listen(std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(options.port);
  if (getaddrinfo(options.host.empty() ? nullptr : options.host.c_str(),
                  service.c_str(), &hints, &found) == 0) {
    const AddrInfoPtr list(found);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
      Fd fd(::socket(ai->ai_family,
                     ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     ai->ai_protocol));
      // SO_REUSEADDR only: SO_REUSEPORT would let a second server share a
      // busy port instead of failing.
      const int one = 1;
      if (fd.get() >= 0 &&
          setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) ==
              0 &&
          ::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 &&
          ::listen(fd.get(), SOMAXCONN) == 0) {
        listener.reset(fd.release());
        break;
      }
    }
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (listener.get() < 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &len) !=
          0) {
    error = "cannot listen on " + options.host + ":" + service;
    listener.reset();
    return false;
  }
  boundPort = ntohs(bound.ss_family == AF_INET6
                        ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                        : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  return true;
}

void HttpServer::Impl::Loop() {
  BlockSigpipe();
  epoll_event events[256];
  auto nextSweep = Clock::now();
  while (!stopping) {
    const int n = epoll_wait(epoll.get(), events, 256, kSweepMs);
    for (int i = 0; i < n && !stopping; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        Accept();
      } else if (key == kWakeKey) {
        uint64_t count = 0;
        (void)!::read(wake.get(), &count, sizeof count);
      } else {
        Dispatch(key);
      }
    }
    if (Clock::now() >= nextSweep) {
      Sweep();
      nextSweep = Clock::now() + std::chrono::milliseconds(kSweepMs);
    }
  }
}

void HttpServer::Impl::Accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    const int sock = ::accept4(
        listener.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (sock < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: the longest idle connection makes room; with
        // none, the listener is tried again shortly.
        std::lock_guard<std::mutex> lock(mutex);
        if (CloseLongestIdleLocked()) {
          continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return;
    }
    auto c = std::make_unique<Connection>();
    c->fd.reset(sock);
    const int one = 1;
    // A reply leaves in one write; without this, a client's delayed ACK
    // could hold the next reply on the connection.
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SetTimeout(sock, SO_SNDTIMEO,
               std::chrono::seconds(options.ioTimeoutSeconds));
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
      inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
      c->port = ntohs(in6.sin6_port);
    } else {
      const auto& in4 = reinterpret_cast<const sockaddr_in&>(peer);
      inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
      c->port = ntohs(in4.sin_port);
    }
    c->addr = text;
    c->idleSince = Clock::now();

    std::lock_guard<std::mutex> lock(mutex);
    if (conns.size() >= options.maxConnections && !CloseLongestIdleLocked()) {
      continue;  // every connection is busy: this one is closed
    }
    const uint64_t id = nextId++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = id;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, sock, &ev) == 0) {
      conns.emplace(id, std::move(c));
    }
  }
}

void HttpServer::Impl::Dispatch(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = conns.find(id);
  if (it == conns.end()) {
    return;
  }
  it->second->busy = true;
  ready.push_back(id);
  if (ready.size() > idleWorkers && workers.size() < options.maxWorkers) {
    workers.emplace_back(&Impl::Work, this);
  } else {
    workCv.notify_one();
  }
}

bool HttpServer::Impl::CloseLongestIdleLocked() {
  auto oldest = conns.end();
  for (auto it = conns.begin(); it != conns.end(); ++it) {
    if (!it->second->busy &&
        (oldest == conns.end() ||
         it->second->idleSince < oldest->second->idleSince)) {
      oldest = it;
    }
  }
  if (oldest == conns.end()) {
    return false;
  }
  EraseLocked(oldest->first);
  return true;
}

void HttpServer::Impl::Sweep() {
  const auto limit =
      Clock::now() - std::chrono::seconds(options.idleTimeoutSeconds);
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = conns.begin(); it != conns.end();) {
    const auto next = std::next(it);
    if (!it->second->busy && it->second->idleSince < limit) {
      EraseLocked(it->first);
    }
    it = next;
  }
}

void HttpServer::Impl::Work() {
  BlockSigpipe();
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    ++idleWorkers;
    workCv.wait(lock, [this] { return stopping || !ready.empty(); });
    --idleWorkers;
    if (ready.empty()) {
      return;
    }
    const uint64_t id = ready.front();
    ready.pop_front();
    const auto it = conns.find(id);
    if (it == conns.end()) {
      continue;
    }
    Connection& c = *it->second;
    if (stopping) {
      EraseLocked(id);
      continue;
    }
    lock.unlock();
    const bool keep = Serve(c);
    lock.lock();
    if (keep && !stopping) {
      Rearm(id, c);
    } else {
      EraseLocked(id);
    }
  }
}

void HttpServer::Impl::Rearm(uint64_t id, Connection& c) {
  c.busy = false;
  c.idleSince = Clock::now();
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = id;
  if (epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &ev) != 0) {
    EraseLocked(id);
  }
}

// Serves the requests that have arrived on c; true when c waits for more
// (kept alive), false when it is to be closed.
bool HttpServer::Impl::Serve(Connection& c) {
  if (ctx != nullptr && !c.handshaken) {
    c.ssl.reset(SSL_new(ctx.get()));
    SetTimeout(c.fd.get(), SO_RCVTIMEO,
               std::chrono::seconds(options.ioTimeoutSeconds));
    if (c.ssl == nullptr || SSL_set_fd(c.ssl.get(), c.fd.get()) != 1 ||
        SSL_accept(c.ssl.get()) != 1) {
      ERR_clear_error();
      return false;
    }
    c.handshaken = true;
  }
  for (;;) {
    pollfd p{c.fd.get(), POLLIN, 0};
    if (c.in.empty() &&
        (c.ssl == nullptr || SSL_has_pending(c.ssl.get()) == 0) &&
        ::poll(&p, 1, 0) == 0) {
      return true;
    }
    HttpRequest req;
    bool http10 = false;
    int errorStatus = 0;
    if (!ReadRequest(c, req, http10, errorStatus)) {
      if (errorStatus != 0) {
        HttpResponse res;
        res.status = errorStatus;
        Reply(c, res, false, http10, false);
      }
      return false;
    }
    req.remoteAddr = c.addr;
    req.remotePort = c.port;
    req.connectionMark = &c.mark;
    HttpResponse res;
    try {
      handler(req, res);
    } catch (const std::exception&) {
      res = HttpResponse();
      res.status = 500;
      res.contentType = "application/json";
      res.body = "{\"error\":\"server_error\"}";
    }
    OPENSSL_cleanse(req.body.data(), req.body.size());
    if (res.drop) {
      return false;
    }
    const bool keep = !stopping && KeepAlive(req, http10, res);
    if (!Reply(c, res, keep, http10, req.method == "HEAD") || !keep) {
      return false;
    }
  }
}

bool HttpServer::Impl::ReadMore(Connection& c, Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return false;
  }
  SetTimeout(c.fd.get(), SO_RCVTIMEO, left);
  char buf[kReadChunk];
  ssize_t n = 0;
  if (c.ssl != nullptr) {
    n = SSL_read(c.ssl.get(), buf, sizeof buf);
    ERR_clear_error();
  } else {
    do {
      n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
  }
  if (n <= 0) {
    return false;
  }
  c.in.append(buf, static_cast<size_t>(n));
  OPENSSL_cleanse(buf, static_cast<size_t>(n));
  return true;
}

// Reads one whole request. false when the peer closed or was too slow
// (errorStatus 0: nothing to answer) or sent what cannot be served
// (errorStatus: the reply to send before closing).
bool HttpServer::Impl::ReadRequest(Connection& c, HttpRequest& req,
                                   bool& http10, int& errorStatus) {
  const auto deadline =
      Clock::now() + std::chrono::seconds(options.ioTimeoutSeconds);
  size_t headEnd = 0;
  while ((headEnd = c.in.find("\r\n\r\n")) == std::string::npos) {
    if (c.in.size() > kMaxRequestHead) {
      errorStatus = 431;
      return false;
    }
    if (!ReadMore(c, deadline)) {
      return false;
    }
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
  Consume(c.in, headEnd + 4);
  size_t length = 0;
  errorStatus = RequestBodyLength(req, options.maxBody, length);
  if (errorStatus != 0) {
    return false;
  }
  const std::string* expect = req.Header("Expect");
  if (expect != nullptr && EqualsIgnoreCase(*expect, "100-continue") &&
      c.in.size() < length && !Write(c, "HTTP/1.1 100 Continue\r\n\r\n")) {
    return false;
  }
  while (c.in.size() < length) {
    if (!ReadMore(c, deadline)) {
      return false;
    }
  }
  req.body.assign(c.in, 0, length);
  Consume(c.in, length);
  return true;
}

bool HttpServer::Impl::Write(Connection& c, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = 0;
    if (c.ssl != nullptr) {
      n = SSL_write(c.ssl.get(), data.data(),
                    static_cast<int>(std::min<size_t>(data.size(), INT_MAX)));
      ERR_clear_error();
    } else {
      do {
        n = ::send(c.fd.get(), data.data(), data.size(), MSG_NOSIGNAL);
      } while (n < 0 && errno == EINTR);
    }
    if (n <= 0) {
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool HttpServer::Impl::Reply(Connection& c, const HttpResponse& res, bool keep,
                             bool http10, bool head) {
  const bool sent = Write(c, FormatResponse(res, keep, http10, head));
  if (sent && !keep && c.ssl != nullptr) {
    SSL_shutdown(c.ssl.get());  // close_notify; the peer's is not awaited
    ERR_clear_error();
  }
  return sent;
}

HttpServer::HttpServer(HttpServerOptions options, HttpHandler handler)
    : m_impl(std::make_unique<Impl>(std::move(options), std::move(handler))) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error) {
  Impl& d = *m_impl;
  if (d.started) {
    error = "the server was started before";
    return false;
  }
  if (d.options.tls && !d.MakeTlsContext(error)) {
    return false;
  }
  if (!d.Listen(error)) {
    return false;
  }
  d.epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  d.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenerKey;
  bool ok = d.epoll.get() >= 0 && d.wake.get() >= 0 &&
            epoll_ctl(d.epoll.get(), EPOLL_CTL_ADD, d.listener.get(), &ev) == 0;
  ev.data.u64 = kWakeKey;
  ok = ok && epoll_ctl(d.epoll.get(), EPOLL_CTL_ADD, d.wake.get(), &ev) == 0;
  if (!ok) {
    error = std::string("cannot watch connections: ") + std::strerror(errno);
    d.listener.reset();
    return false;
  }
  d.started = true;
  d.loop = std::thread(&Impl::Loop, &d);
  return true;
}

void HttpServer::Stop() {
  Impl& d = *m_impl;
  if (!d.loop.joinable()) {
    return;
  }
  d.stopping = true;
  const uint64_t one = 1;
  (void)!::write(d.wake.get(), &one, sizeof one);
  d.loop.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.listener.reset();
    for (auto it = d.conns.begin(); it != d.conns.end();) {
      const auto next = std::next(it);
      // A busy connection's worker sees its read or write fail and closes
      // it; an idle one is closed here.
      ::shutdown(it->second->fd.get(), SHUT_RDWR);
      if (!it->second->busy) {
        d.EraseLocked(it->first);
      }
      it = next;
    }
    workers.swap(d.workers);
  }
  d.workCv.notify_all();
  for (std::thread& t : workers) {
    t.join();
  }
  std::lock_guard<std::mutex> lock(d.mutex);
  d.conns.clear();
  d.ready.clear();
}

int HttpServer::port() const { return m_impl->boundPort; }

size_t HttpServer::OpenConnections() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->conns.size();
}

}  // namespace tqidp
