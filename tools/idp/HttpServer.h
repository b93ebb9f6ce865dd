#pragma once

// A small HTTP/1.1 server (plain or TLS) for the local token endpoint.
// Idle connections, kept-alive ones included, wait in one epoll set and cost
// no thread. The TLS handshake and the reading of a request advance on the
// server's loop as bytes arrive, never waiting for one peer; a connection
// gets a worker only with a whole request read, to answer it. So thousands
// of open connections, or clients that send a byte now and then, never keep
// a new client waiting. Bounded: request head 16 KiB, body maxBody, workers
// maxWorkers, open connections maxConnections (past it the slowest
// half-open one is closed first, then the longest idle one), a connection
// idle for idleTimeoutSeconds is closed, a handshake with the first request
// must be whole within ioTimeoutSeconds of the connection, a later request
// within ioTimeoutSeconds of its first byte. Content-Length bodies only
// (Transfer-Encoding is refused with 411); "Expect: 100-continue" is
// answered. Test: tests/tools/IdpServer_test.cpp.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tqidp {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string path;     // the target before "?", "%XY" decoded
  std::string query;    // the target after "?", as sent
  HttpHeaders headers;  // names and values as received, in order
  std::string body;
  std::string remoteAddr;  // numeric, e.g. "127.0.0.1" or "::1"
  int remotePort = 0;
  // A flag kept with the connection, false on a new one: the handler may set
  // it and sees it again on the connection's later requests.
  bool* connectionMark = nullptr;

  // Header: the first value of the header name (any case), or null.
  const std::string* Header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType;  // empty: no Content-Type header
  std::string body;
  HttpHeaders headers;  // added as given ("Connection: close" is honoured)
  bool drop = false;    // close the connection without a reply
};

// Called on worker threads, possibly concurrently; an exception it throws
// becomes a 500 reply that does not quote it.
using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

struct HttpServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool tls = false;
  std::string certFile, keyFile;  // TLS: certificate chain and key (PEM)
  int idleTimeoutSeconds = 120;
  int ioTimeoutSeconds = 10;
  size_t maxBody = 1 << 20;
  size_t maxWorkers = 128;
  size_t maxConnections = 10000;
};

class HttpServer {
 public:
  HttpServer(HttpServerOptions options, HttpHandler handler);
  ~HttpServer();  // stops
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Start: binds host and port and serves on threads of its own. true once
  // accepting; false with a message in error when the TLS files cannot be
  // used, the address cannot be bound, or Start was called before.
  bool Start(std::string& error);
  // Stop: stops accepting, closes every connection (idle or busy: a busy
  // one's pending read or write fails) and returns when every server thread
  // has ended. Harmless when not serving.
  void Stop();

  int port() const;  // the bound port; 0 before Start
  // OpenConnections: connections accepted and not yet closed.
  size_t OpenConnections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tqidp
