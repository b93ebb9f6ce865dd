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
#include "tools/idp/HttpConnection.h"
#include "tools/idp/HttpMessage.h"

namespace tqidp {
namespace {

constexpr int kSweepMs = 500;  // how often idle connections are looked at
// epoll keys besides connection ids.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = 1;
constexpr uint64_t kFirstConnectionId = 2;

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
  bool CloseOldestHalfOpenLocked();
  void Progress(uint64_t id);
  void Work();
  bool Serve(Connection& c);
  void After(uint64_t id, Connection& c, Step step);  // under the lock
  void Rearm(uint64_t id, Connection& c, uint32_t events);
  Clock::duration IoTimeout() const {
    return std::chrono::seconds(options.ioTimeoutSeconds);
  }
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
        Progress(key);
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
    const int sock =
        ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                  SOCK_CLOEXEC | SOCK_NONBLOCK);
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
    if (ctx != nullptr) {
      c->ssl.reset(SSL_new(ctx.get()));
      if (c->ssl == nullptr || SSL_set_fd(c->ssl.get(), sock) != 1) {
        ERR_clear_error();
        continue;
      }
    } else {
      c->handshaken = true;
    }
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
    // The handshake and the first request must be whole by then.
    c->deadline = c->idleSince + IoTimeout();

    std::lock_guard<std::mutex> lock(mutex);
    // Full: the slowest half-open connection goes first, then the longest
    // idle one.
    if (conns.size() >= options.maxConnections &&
        !CloseOldestHalfOpenLocked() && !CloseLongestIdleLocked()) {
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

// Dispatch: the connection, a whole request read, to a worker; under the
// lock.
void HttpServer::Impl::Dispatch(uint64_t id) {
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

// Progress: a step of the handshake or the request on a connection that
// became readable or writable, on the loop; a whole request goes to a
// worker.
void HttpServer::Impl::Progress(uint64_t id) {
  Connection* c = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = conns.find(id);
    if (it == conns.end() || it->second->busy) {
      return;
    }
    c = it->second.get();
  }
  // Only the loop erases a connection that is not busy: c stays.
  const Step step = Advance(*c, options.maxBody);
  std::lock_guard<std::mutex> lock(mutex);
  if (step == Step::kReady) {
    Dispatch(id);
    return;
  }
  After(id, *c, step);
}

void HttpServer::Impl::After(uint64_t id, Connection& c, Step step) {
  switch (step) {
    case Step::kWaitRead:
    case Step::kWaitWrite:
      if (c.in.empty() && c.handshaken) {
        c.deadline = Clock::time_point::max();  // idle between requests
      } else if (c.deadline == Clock::time_point::max()) {
        c.deadline = Clock::now() + IoTimeout();  // a request began
      }
      Rearm(id, c, step == Step::kWaitWrite ? EPOLLOUT : EPOLLIN);
      return;
    case Step::kReady:
    case Step::kClose:
      break;
  }
  EraseLocked(id);
}

bool HttpServer::Impl::CloseOldestHalfOpenLocked() {
  auto oldest = conns.end();
  for (auto it = conns.begin(); it != conns.end(); ++it) {
    if (!it->second->busy && it->second->HalfOpen() &&
        (oldest == conns.end() ||
         it->second->deadline < oldest->second->deadline)) {
      oldest = it;
    }
  }
  if (oldest == conns.end()) {
    return false;
  }
  EraseLocked(oldest->first);
  return true;
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

// Sweep: closes connections idle too long, and those whose handshake or
// request is not whole by its deadline.
void HttpServer::Impl::Sweep() {
  const Clock::time_point now = Clock::now();
  const auto limit = now - std::chrono::seconds(options.idleTimeoutSeconds);
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = conns.begin(); it != conns.end();) {
    const auto next = std::next(it);
    const Connection& c = *it->second;
    if (!c.busy && (c.idleSince < limit || c.deadline < now)) {
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
    Step step = Step::kClose;
    while (Serve(c) && !stopping) {
      // Bytes OpenSSL or the socket already hold raise no event: read them
      // now, and serve what is whole.
      step = Advance(c, options.maxBody);
      if (step != Step::kReady) {
        break;
      }
    }
    lock.lock();
    c.busy = false;
    c.idleSince = Clock::now();
    After(id, c, stopping ? Step::kClose : step);
  }
}

void HttpServer::Impl::Rearm(uint64_t id, Connection& c, uint32_t events) {
  epoll_event ev{};
  ev.events = events | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = id;
  if (epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &ev) != 0) {
    EraseLocked(id);
  }
}

// Serves the whole requests c.in holds; true when c waits for more (kept
// alive), false when it is to be closed.
bool HttpServer::Impl::Serve(Connection& c) {
  for (;;) {
    HttpRequest req;
    bool http10 = false;
    int errorStatus = 0;
    if (!TakeRequest(c, options.maxBody, req, http10, errorStatus)) {
      if (errorStatus != 0) {
        HttpResponse res;
        res.status = errorStatus;
        Reply(c, res, false, http10, false, IoTimeout());
        return false;
      }
      return true;  // the next request is not whole yet
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
    if (!Reply(c, res, keep, http10, req.method == "HEAD", IoTimeout()) ||
        !keep) {
      return false;
    }
  }
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
