#pragma once

// A local stand-in for the Azure AD v2.0 token endpoint, client-credentials
// grant only: POST /{tenant}/oauth2/v2.0/token with a client secret or an
// RS256 (or PS256) client assertion, answered with Azure AD's success and
// error shapes. It lets the library, its tests and a new user run offline,
// and it can be told to misbehave. Test: tests/tools/IdpServer_test.cpp.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tqidp {

struct IdpApplication {
  std::string tenant;
  std::string clientId;
  std::string clientSecret;    // empty: no secret registered
  std::string certificatePem;  // empty: no certificate registered (X.509
                               // PEM, no key; every certificate in it counts)
};

struct IdpOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool tls = true;
  std::string certFile, keyFile;  // server certificate chain and key for TLS
  long clockSkewSeconds = 300;
  long expiresIn = 3599;  // expires_in / ext_expires_in of issued tokens
  // GET /_idp/stats and POST /_idp/fault, answered for loopback peers only.
  bool control = false;
  // One line per request (method, path, client_id, status, AADSTS code);
  // never a secret, an assertion or a token. Called from server threads.
  std::function<void(const std::string& line)> log;
  // true: Requests() keeps each request's headers and body as received,
  // secrets and assertions included (tests compare the exact bytes). false:
  // method, path and client port only; a body, wiped afterwards, lives only
  // while its request is handled. The tqcloudauth-idp program uses false.
  bool recordContent = true;
  // A connection idle this long, kept alive or never used, is closed.
  int idleTimeoutSeconds = 120;
};

struct IdpRequest {
  std::string method, path, body;
  std::multimap<std::string, std::string> headers;
  int remotePort = 0;
};

struct IdpFault {                // applies to every token request while set
  int delayMs = 0;               // wait before answering
  bool closeConnection = false;  // drop the connection without a reply
  int status = 0;  // != 0: reply with this status, body and content type
  std::string body;
  std::string contentType = "application/json";
  std::multimap<std::string, std::string> headers;  // added to that reply
  // Raw JSON text put as expires_in on success ("3599", "\"3599\"", "1.5",
  // "null", "true", "{}"); an empty text: the member is left out.
  std::optional<std::string> expiresInJson;
};

class IdpServer {
 public:
  // IdpServer: serves nothing until Start.
  explicit IdpServer(IdpOptions options);
  ~IdpServer();  // stops
  IdpServer(const IdpServer&) = delete;
  IdpServer& operator=(const IdpServer&) = delete;

  // AddApplication: registers app; a second registration of the same tenant
  // and client id adds its secret and certificates to the first (as an
  // application may hold several credentials). Throws std::invalid_argument
  // for an empty tenant or client id, or a certificatePem holding no
  // readable certificate. May be called while serving.
  void AddApplication(const IdpApplication& app);
  // ReplaceApplication: app's credentials replace every one registered for
  // its tenant and client id (a rotated secret or certificate, the old one
  // revoked).
  void ReplaceApplication(const IdpApplication& app);

  // LoadApplications: registers every application of the JSON file
  //   {"applications":[{"tenant":"...","client_id":"...",
  //     "client_secret":"...","certificate":"cert.pem"}]}
  // (certificate paths relative to the file's folder; at least one
  // credential each). true on success; false with a message in error and
  // nothing registered for an unreadable file, bad JSON, an unknown or
  // mistyped member, or an unreadable certificate.
  bool LoadApplications(const std::string& jsonFile, std::string& error);

  // Start: makes the token signing key, binds host and port (a free port
  // when 0) and serves on its own threads. true once serving; false with a
  // message in error when the TLS files are missing or unusable, the address
  // cannot be bound, or the server was started before.
  bool Start(std::string& error);
  // Stop: stops serving, ends delayed replies and closes open connections
  // (idle keep-alive ones included); returns when every server thread has
  // ended. Harmless when not serving.
  void Stop();

  int port() const;
  // LoginEndpoint: "https://127.0.0.1:<port>/" (http for plain HTTP), the
  // host as bound ("127.0.0.1" for a wildcard address); ends with "/".
  std::string LoginEndpoint() const;

  void SetFault(const IdpFault& fault);
  void ClearFault();
  void SetExpiresIn(long seconds);

  // ConnectionCount: client connections that carried a request other than
  // a control request, since Start.
  size_t ConnectionCount() const;
  // OpenConnections: client connections open now, idle ones included.
  size_t OpenConnections() const;
  // RequestCount: requests received, control requests aside.
  size_t RequestCount() const;
  // GrantCount: tokens issued to clients that proved themselves with
  // credential: "client secret", "RS256 assertion" or "PS256 assertion".
  size_t GrantCount(const std::string& credential) const;
  // Requests: the latest requests counted, oldest first: at most 4,096, and
  // fewer when their recorded bytes pass 64 MiB (see recordContent).
  std::vector<IdpRequest> Requests() const;
  // TokenSigningPublicKeyPem: the SubjectPublicKeyInfo PEM of the key that
  // signs issued access tokens (RS256), made by Start; empty before.
  std::string TokenSigningPublicKeyPem() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tqidp
