#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tqtest {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
  int remotePort = 0;
};

using Handler =
    std::function<void(const httplib::Request&, httplib::Response&)>;

// A real HTTP(S) server on 127.0.0.1 and a free port, serving every path and
// method with the handler (default: 200 "ok"), recording each request and
// the connections it came on.
class HttpsTestServer {
 public:
  // TLS with the given certificate chain and key.
  HttpsTestServer(const std::string& certFile, const std::string& keyFile);
  // Plain HTTP.
  HttpsTestServer();
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  void SetHandler(Handler handler);
  int port() const { return m_port; }
  // "https://127.0.0.1:<port><path>" (http for a plain server).
  std::string Url(const std::string& path = "/") const;
  // The same with "localhost" as host.
  std::string LocalhostUrl(const std::string& path = "/") const;

  std::vector<RecordedRequest> Requests() const;
  // Distinct client connections seen (by the client's source port).
  size_t ConnectionCount() const;

 private:
  void Start();

  bool m_tls;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  mutable std::mutex m_mutex;
  Handler m_handler;
  std::vector<RecordedRequest> m_requests;
  std::set<int> m_remotePorts;
};

}  // namespace tqtest
