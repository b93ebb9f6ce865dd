#include "tools/idp/IdpServer.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <utility>

#include "internal/crypto/OpenSslHandles.h"
#include "tools/idp/AadError.h"
#include "tools/idp/AppRegistry.h"
#include "tools/idp/Discovery.h"
#include "tools/idp/FaultRequest.h"
#include "tools/idp/FormFields.h"
#include "tools/idp/HttpServer.h"
#include "tools/idp/IdpText.h"
#include "tools/idp/Jwt.h"
#include "tools/idp/TokenRequest.h"
#include "tools/pki/Pki.h"

namespace tqidp {
namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

constexpr size_t kMaxBody = 1 << 20;
constexpr size_t kMaxRecords = 4096;
constexpr size_t kMaxRecordedBytes = 64 << 20;
constexpr char kJsonUtf8[] = "application/json; charset=utf-8";

// The tenant of "/{tenant}/oauth2/v2.0/token"; false for any other path.
bool TokenPathTenant(const std::string& path, std::string& outTenant) {
  constexpr std::string_view kTail = "/oauth2/v2.0/token";
  if (path.size() <= kTail.size() + 1 || path[0] != '/' ||
      path.compare(path.size() - kTail.size(), kTail.size(), kTail) != 0) {
    return false;
  }
  outTenant = path.substr(1, path.size() - kTail.size() - 1);
  return outTenant.find('/') == std::string::npos;
}

bool IsLoopback(const std::string& addr) {
  return addr == "127.0.0.1" || addr == "::1" || addr == "::ffff:127.0.0.1";
}

void NoStore(HttpResponse& res) {
  res.headers.emplace_back("Cache-Control", "no-store, no-cache");
  res.headers.emplace_back("Pragma", "no-cache");
}

size_t RecordedBytes(const IdpRequest& r) {
  size_t n = r.method.size() + r.path.size() + r.body.size();
  for (const auto& h : r.headers) {
    n += h.first.size() + h.second.size();
  }
  return n;
}

void Wipe(IdpRequest& r) { OPENSSL_cleanse(r.body.data(), r.body.size()); }

}  // namespace

struct IdpServer::Impl {
  explicit Impl(IdpOptions opts)
      : options(std::move(opts)), expiresIn(options.expiresIn) {}
  ~Impl() {
    for (IdpRequest& r : records) {
      Wipe(r);
    }
  }

  // The key that signs issued tokens: made when serving starts, so that a
  // server that never serves costs no RSA key generation.
  void MakeSigningKey();

  std::string Scheme() const { return options.tls ? "https" : "http"; }

  std::string DisplayHost() const {
    const std::string& h = options.host;
    if (h.empty() || h == "0.0.0.0") {
      return "127.0.0.1";
    }
    if (h == "::") {
      return "[::1]";
    }
    return h.find(':') != std::string::npos ? "[" + h + "]" : h;
  }

  // The port as HttpServer bound it before its threads started: a handler
  // may run before Start returns.
  int Port() const { return http != nullptr ? http->port() : 0; }

  std::string LoginEndpoint() const {
    return Scheme() + "://" + DisplayHost() + ":" + std::to_string(Port()) +
           "/";
  }

  // This endpoint's URL as the client addressed it.
  std::string BaseFor(const HttpRequest& req) const {
    return BaseUrl(Scheme(), req.Header("Host"), LoginEndpoint());
  }

  void Log(const std::string& line) const {
    if (options.log) {
      options.log(line);
    }
  }

  void Record(const HttpRequest& req);
  bool Delay(int ms);
  std::set<std::string> Audiences(const HttpRequest& req,
                                  const std::string& tenant) const;
  void IssueToken(const TokenGrant& grant, const std::string& tenant,
                  const std::string& base, HttpResponse& res);
  void Handle(const HttpRequest& req, HttpResponse& res);
  void HandleToken(const HttpRequest& req, const std::string& tenant,
                   HttpResponse& res);
  void HandleFault(const HttpRequest& req, HttpResponse& res);
  void HandleStats(const HttpRequest& req, HttpResponse& res);
  void HandleDiscovery(const HttpRequest& req, DiscoveryKind kind,
                       const std::string& tenant, HttpResponse& res);
  void HandleOther(const HttpRequest& req, HttpResponse& res);

  IdpOptions options;
  PkeyPtr signingKey;
  std::string signingKeyPem;
  std::string keyId;
  AppRegistry apps;
  std::unique_ptr<HttpServer> http;
  bool started = false;

  mutable std::mutex mutex;
  std::condition_variable stopCv;
  bool stopping = false;
  std::optional<IdpFault> fault;
  long expiresIn;
  std::deque<IdpRequest> records;
  size_t recordedBytes = 0;
  size_t requestCount = 0;
  size_t connectionCount = 0;
  std::map<std::string, size_t> grantsByCredential;
};

void IdpServer::Impl::MakeSigningKey() {
  PkeyPtr key = tqpki::GenerateRsaKey(2048);
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) {
    throw std::runtime_error("cannot write the token signing key");
  }
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  const int derLen = i2d_PUBKEY(key.get(), nullptr);
  std::string der(static_cast<size_t>(std::max(derLen, 0)), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (derLen <= 0 || i2d_PUBKEY(key.get(), &out) != derLen) {
    throw std::runtime_error("cannot encode the token signing key");
  }
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(der.data()), der.size(), md);
  signingKeyPem.assign(data, static_cast<size_t>(len));
  keyId =
      Base64UrlEncode(std::string_view(reinterpret_cast<const char*>(md), 20));
  signingKey = std::move(key);
}

void IdpServer::Impl::Record(const HttpRequest& req) {
  IdpRequest r;
  r.method = req.method;
  r.path = req.path;
  r.remotePort = req.remotePort;
  if (options.recordContent) {
    r.body = req.body;
    r.headers.insert(req.headers.begin(), req.headers.end());
  }
  const size_t bytes = RecordedBytes(r);
  std::lock_guard<std::mutex> lock(mutex);
  ++requestCount;
  if (!*req.connectionMark) {
    *req.connectionMark = true;
    ++connectionCount;
  }
  records.push_back(std::move(r));
  recordedBytes += bytes;
  while (records.size() > kMaxRecords || recordedBytes > kMaxRecordedBytes) {
    recordedBytes -= RecordedBytes(records.front());
    Wipe(records.front());
    records.pop_front();
  }
}

// Waits up to ms; false when the server is stopping.
bool IdpServer::Impl::Delay(int ms) {
  std::unique_lock<std::mutex> lock(mutex);
  return !stopCv.wait_for(lock, std::chrono::milliseconds(ms),
                          [this] { return stopping; });
}

// The token URL as the client addressed it (host name or address), as this
// server names itself, or the older issuer-style audience.
std::set<std::string> IdpServer::Impl::Audiences(
    const HttpRequest& req, const std::string& tenant) const {
  const std::string path = "/" + tenant + "/oauth2/v2.0/token";
  std::set<std::string> audiences = {
      LoginEndpoint() + tenant + "/oauth2/v2.0/token",
      "https://login.microsoftonline.com/" + tenant + "/v2.0"};
  if (const std::string* host = req.Header("Host")) {
    audiences.insert(Scheme() + "://" + *host + path);
  }
  return audiences;
}

void IdpServer::Impl::IssueToken(const TokenGrant& grant,
                                 const std::string& tenant,
                                 const std::string& base, HttpResponse& res) {
  long lifetime = 0;
  std::optional<std::string> rawExpiresIn;
  {
    std::lock_guard<std::mutex> lock(mutex);
    lifetime = expiresIn;
    if (fault) {
      rawExpiresIn = fault->expiresInJson;
    }
  }
  const long long now = static_cast<long long>(std::time(nullptr));
  ordered_json header;
  header["typ"] = "JWT";
  header["alg"] = "RS256";
  header["kid"] = keyId;
  ordered_json claims;
  claims["aud"] = grant.resource;
  claims["iss"] = base + tenant + "/v2.0";
  claims["iat"] = now;
  claims["nbf"] = now;
  claims["exp"] = now + lifetime;
  claims["appid"] = grant.clientId;
  claims["sub"] = grant.clientId;
  claims["tid"] = tenant;
  // Unique per token, so that two tokens issued in one second differ.
  claims["uti"] = Base64UrlEncode(RandomBytes(16));
  claims["ver"] = "2.0";
  const std::string token =
      MakeJwt(signingKey.get(), DumpJson(header), DumpJson(claims));
  if (token.empty()) {
    throw std::runtime_error("cannot sign the access token");
  }
  const std::string n = std::to_string(lifetime);
  std::string body = "{\"token_type\":\"Bearer\",";
  if (!rawExpiresIn) {
    body += "\"expires_in\":" + n + ",";
  } else if (!rawExpiresIn->empty()) {
    body += "\"expires_in\":" + *rawExpiresIn + ",";
  }
  body += "\"ext_expires_in\":" + n +
          ",\"access_token\":" + DumpJson(ordered_json(token)) + "}";
  res.status = 200;
  NoStore(res);
  res.contentType = kJsonUtf8;
  res.body = std::move(body);
}

void IdpServer::Impl::Handle(const HttpRequest& req, HttpResponse& res) {
  std::string tenant;
  if (options.control && req.path == "/_idp/stats" && req.method == "GET") {
    HandleStats(req, res);
  } else if (options.control && req.path == "/_idp/fault" &&
             req.method == "POST") {
    HandleFault(req, res);
  } else if (req.method == "POST" && TokenPathTenant(req.path, tenant)) {
    HandleToken(req, tenant, res);
  } else if (const DiscoveryKind kind = DiscoveryPath(req.path, tenant);
             kind != DiscoveryKind::kNone &&
             (req.method == "GET" || req.method == "HEAD")) {
    HandleDiscovery(req, kind, tenant, res);
  } else {
    HandleOther(req, res);
  }
}

void IdpServer::Impl::HandleToken(const HttpRequest& req,
                                  const std::string& tenant,
                                  HttpResponse& res) {
  Record(req);
  std::optional<IdpFault> current;
  {
    std::lock_guard<std::mutex> lock(mutex);
    current = fault;
  }
  std::string line = req.method + " " + Printable(req.path);
  if (current && current->delayMs > 0 && !Delay(current->delayMs)) {
    res.drop = true;
    return;
  }
  if (current && current->closeConnection) {
    res.drop = true;
    Log(line + " -> connection dropped (fault)");
    return;
  }
  if (current && current->status != 0) {
    res.status = current->status;
    res.headers.assign(current->headers.begin(), current->headers.end());
    res.contentType = current->contentType;
    res.body = current->body;
    Log(line + " -> " + std::to_string(res.status) + " (fault)");
    return;
  }

  FormFields form;
  TokenGrant grant;
  AadError err;
  bool ok = false;
  const std::string* type = req.Header("Content-Type");
  if (type != nullptr && IsFormContentType(*type) &&
      !ParseForm(req.body, form)) {
    err = BadRequest(
        "The request body is not valid application/x-www-form-urlencoded "
        "text.");
  } else {
    // A body of another type has no parameters Azure AD would read.
    ok = CheckTokenRequest(tenant, form, apps, Audiences(req, tenant),
                           std::time(nullptr), options.clockSkewSeconds, grant,
                           err);
  }
  if (const std::string* clientId = form.Find("client_id")) {
    line += " client_id=" + Printable(*clientId);
  }
  if (ok) {
    IssueToken(grant, tenant, BaseFor(req), res);
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++grantsByCredential[grant.credential];
    }
    Log(line + " -> 200 (" + grant.credential + ")");
    return;
  }
  const std::string* requestId = req.Header("client-request-id");
  res.status = err.status;
  NoStore(res);
  res.contentType = kJsonUtf8;
  res.body = AadErrorBody(err, requestId != nullptr ? *requestId : "",
                          LoginEndpoint());
  Log(line + " -> " + std::to_string(err.status) + " " + err.error + " AADSTS" +
      std::to_string(err.code));
}

void IdpServer::Impl::HandleStats(const HttpRequest& req, HttpResponse& res) {
  if (!IsLoopback(req.remoteAddr)) {
    res.status = 403;
    return;
  }
  ordered_json body;
  {
    std::lock_guard<std::mutex> lock(mutex);
    body["connections"] = connectionCount;
    body["requests"] = requestCount;
    body["grants"] = grantsByCredential;
  }
  res.contentType = "application/json";
  res.body = DumpJson(body);
}

void IdpServer::Impl::HandleFault(const HttpRequest& req, HttpResponse& res) {
  if (!IsLoopback(req.remoteAddr)) {
    res.status = 403;
    return;
  }
  res.contentType = "application/json";
  std::optional<IdpFault> parsed;
  std::string why;
  if (!ParseFaultRequest(req.body, parsed, why)) {
    res.status = 400;
    res.body = DumpJson(ordered_json{{"error", why}});
    return;
  }
  const bool cleared = !parsed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    fault = std::move(parsed);
  }
  res.body = cleared ? "{\"fault\":\"cleared\"}" : "{\"fault\":\"set\"}";
}

void IdpServer::Impl::HandleDiscovery(const HttpRequest& req,
                                      DiscoveryKind kind,
                                      const std::string& tenant,
                                      HttpResponse& res) {
  Record(req);
  const std::string base = BaseFor(req);
  const std::string line = req.method + " " + Printable(req.path);
  AadError err;
  bool ok = true;
  if (kind == DiscoveryKind::kInstance) {
    ok = InstanceDiscovery(req.query, base, res.body, err);
  } else if (tenant != "common" && tenant != "organizations" &&
             !apps.HasTenant(tenant)) {
    ok = false;
    err = MakeAadError(400, "invalid_tenant", 90002,
                       "Tenant '" + tenant + "' not found.");
  } else if (kind == DiscoveryKind::kOpenIdConfiguration) {
    res.body = OpenIdConfiguration(base, tenant);
  } else {
    res.body = Jwks(signingKey.get(), keyId, base + tenant + "/v2.0");
  }
  res.contentType = kJsonUtf8;
  if (!ok) {
    res.status = err.status;
    res.body = AadErrorBody(err, "", base);
    Log(line + " -> " + std::to_string(err.status) + " " + err.error +
        " AADSTS" + std::to_string(err.code));
    return;
  }
  // As the platform does: metadata may be cached by clients for a day.
  res.headers.emplace_back("Cache-Control", "max-age=86400, private");
  Log(line + " -> 200");
}

void IdpServer::Impl::HandleOther(const HttpRequest& req, HttpResponse& res) {
  Record(req);
  res.status = 404;
  res.contentType = "application/json";
  res.body = DumpJson(ordered_json{
      {"error", "not_found"},
      {"error_description",
       "Served here: POST /{tenant}/oauth2/v2.0/token, GET "
       "/{tenant}/v2.0/.well-known/openid-configuration, GET "
       "/{tenant}/discovery/v2.0/keys and GET /common/discovery/instance."}});
  Log(req.method + " " + Printable(req.path) + " -> 404");
}

IdpServer::IdpServer(IdpOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

IdpServer::~IdpServer() { Stop(); }

void IdpServer::AddApplication(const IdpApplication& app) {
  m_impl->apps.Add(app);
}

void IdpServer::ReplaceApplication(const IdpApplication& app) {
  m_impl->apps.Replace(app);
}

bool IdpServer::LoadApplications(const std::string& jsonFile,
                                 std::string& error) {
  std::vector<IdpApplication> apps;
  if (!ReadApplicationsFile(jsonFile, apps, error)) {
    return false;
  }
  for (IdpApplication& app : apps) {
    AddApplication(app);
    OPENSSL_cleanse(app.clientSecret.data(), app.clientSecret.size());
  }
  return true;
}

bool IdpServer::Start(std::string& error) {
  Impl& d = *m_impl;
  if (d.started) {
    error = "the server was started before";
    return false;
  }
  try {
    d.MakeSigningKey();
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  if (d.options.tls) {
    struct stat st {};
    if (d.options.certFile.empty() || d.options.keyFile.empty()) {
      error = "TLS needs a certificate file and a key file";
      return false;
    }
    if (::stat(d.options.certFile.c_str(), &st) != 0 ||
        ::stat(d.options.keyFile.c_str(), &st) != 0) {
      error = "cannot read the TLS certificate " + d.options.certFile +
              " or key " + d.options.keyFile;
      return false;
    }
  }
  HttpServerOptions http;
  http.host = d.options.host;
  http.port = d.options.port;
  http.tls = d.options.tls;
  http.certFile = d.options.certFile;
  http.keyFile = d.options.keyFile;
  http.idleTimeoutSeconds = d.options.idleTimeoutSeconds;
  http.maxBody = kMaxBody;
  d.http = std::make_unique<HttpServer>(
      http,
      [&d](const HttpRequest& req, HttpResponse& res) { d.Handle(req, res); });
  if (!d.http->Start(error)) {
    d.http.reset();
    return false;
  }
  d.started = true;
  return true;
}

void IdpServer::Stop() {
  Impl& d = *m_impl;
  if (d.http == nullptr) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stopping = true;
  }
  d.stopCv.notify_all();
  d.http->Stop();
}

int IdpServer::port() const { return m_impl->Port(); }

std::string IdpServer::LoginEndpoint() const { return m_impl->LoginEndpoint(); }

void IdpServer::SetFault(const IdpFault& fault) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->fault = fault;
}

void IdpServer::ClearFault() {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->fault.reset();
}

void IdpServer::SetExpiresIn(long seconds) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->expiresIn = seconds;
}

size_t IdpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->connectionCount;
}

size_t IdpServer::OpenConnections() const {
  return m_impl->http != nullptr ? m_impl->http->OpenConnections() : 0;
}

size_t IdpServer::GrantCount(const std::string& credential) const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  const auto it = m_impl->grantsByCredential.find(credential);
  return it != m_impl->grantsByCredential.end() ? it->second : 0;
}

size_t IdpServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requestCount;
}

std::vector<IdpRequest> IdpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return std::vector<IdpRequest>(m_impl->records.begin(),
                                 m_impl->records.end());
}

std::string IdpServer::TokenSigningPublicKeyPem() const {
  return m_impl->signingKeyPem;
}

}  // namespace tqidp
