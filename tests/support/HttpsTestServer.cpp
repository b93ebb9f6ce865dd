#include "tests/support/HttpsTestServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace tqtest {

HttpsTestServer::HttpsTestServer(const std::string& certFile,
                                 const std::string& keyFile)
    : m_tls(true),
      m_server(std::make_unique<httplib::SSLServer>(certFile.c_str(),
                                                    keyFile.c_str())) {
  Start();
}

HttpsTestServer::HttpsTestServer()
    : m_tls(false), m_server(std::make_unique<httplib::Server>()) {
  Start();
}

namespace {

int PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  }
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return -1;
}

// Shuts down every connection the server on port accepted. The library
// keeps idle connections open for later requests; cpp-httplib's workers
// would otherwise wait out their keep-alive time on them. The sockets are
// found among the process's descriptors by their local port; shutdown(),
// unlike close(), leaves the descriptor to its owner.
void ShutdownAccepted(int port) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return;
  }
  const int self = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == self) {
      continue;
    }
    int type = 0;
    socklen_t typeLen = sizeof type;
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLen = sizeof local;
    socklen_t peerLen = sizeof peer;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type,
                   &typeLen) == 0 &&
        type == SOCK_STREAM &&
        getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local),
                    &localLen) == 0 &&
        PortOf(local) == port &&
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer),
                    &peerLen) == 0) {
      ::shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
  }
  closedir(dir);
}

}  // namespace

HttpsTestServer::~HttpsTestServer() {
  m_server->stop();
  ShutdownAccepted(m_port);
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void HttpsTestServer::Start() {
  if (!m_server->is_valid()) {
    throw std::runtime_error("test server: invalid certificate or key");
  }
  auto serve = [this](const httplib::Request& req, httplib::Response& res) {
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(RecordedRequest{req.method, req.path, req.body,
                                           req.headers, req.remote_port});
      m_remotePorts.insert(req.remote_port);
      handler = m_handler;
    }
    if (handler) {
      handler(req, res);
    } else {
      res.set_content("ok", "text/plain");
    }
  };
  m_server->Get(".*", serve);
  m_server->Post(".*", serve);
  m_server->Put(".*", serve);
  m_server->Delete(".*", serve);
  // Without it every request on a kept-alive connection waits for a delayed
  // ACK.
  m_server->set_tcp_nodelay(true);
  m_port = m_server->bind_to_any_port("127.0.0.1");
  if (m_port <= 0) {
    throw std::runtime_error("test server: cannot bind");
  }
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  for (int i = 0; i < 500 && !m_server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void HttpsTestServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = std::move(handler);
}

std::string HttpsTestServer::Url(const std::string& path) const {
  return std::string(m_tls ? "https" : "http") +
         "://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string HttpsTestServer::LocalhostUrl(const std::string& path) const {
  return std::string(m_tls ? "https" : "http") +
         "://localhost:" + std::to_string(m_port) + path;
}

std::vector<RecordedRequest> HttpsTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t HttpsTestServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_remotePorts.size();
}

}  // namespace tqtest
