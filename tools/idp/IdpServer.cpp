#include "tools/idp/IdpServer.h"

#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "internal/Handles.h"
#include "tools/idp/Jwt.h"
#include "tools/pki/Pki.h"

namespace tqidp {
namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

constexpr char kTokenPath[] = R"(/([^/]+)/oauth2/v2\.0/token)";
constexpr char kAssertionType[] =
    "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
constexpr char kCertDocs[] =
    " Review the documentation at "
    "https://learn.microsoft.com/entra/identity-platform/"
    "certificate-credentials .";
constexpr size_t kMaxBody = 1 << 20;
constexpr size_t kKeepAliveMaxCount = 100000;
constexpr time_t kKeepAliveTimeoutSeconds = 120;
// Each idle keep-alive connection holds a worker until it closes.
constexpr size_t kWorkerThreads = 32;

// The application credentials of one certificate.
struct CertCredential {
  X509Ptr cert;
  PkeyPtr key;       // its public key
  std::string sha1;  // thumbprints of the DER form, raw bytes
  std::string sha256;
  time_t notBefore = 0;
  time_t notAfter = 0;
};
using CertList = std::vector<std::shared_ptr<const CertCredential>>;

struct AppRecord {
  std::vector<std::string> secrets;
  CertList certs;

  ~AppRecord() {
    for (std::string& s : secrets) {
      OPENSSL_cleanse(s.data(), s.size());
    }
  }
};

// An Azure AD error reply before its trace ids and time are added.
struct AadError {
  int status = 400;
  std::string error;
  long code = 0;
  std::string text;
};

AadError Err(int status, const char* error, long code, std::string text) {
  return AadError{status, error, code, std::move(text)};
}

AadError MissingParameter(const char* name) {
  return Err(400, "invalid_request", 900144,
             std::string("The request body must contain the following "
                         "parameter: '") +
                 name + "'.");
}

// Codes the table of known errors does not give are this emulator's own
// choice: 90023 for a body it cannot read as a form.
AadError BadRequest(const std::string& text) {
  return Err(400, "invalid_request", 90023, "Invalid request. " + text);
}

AadError Malformed() {
  return Err(400, "invalid_request", 50027,
             "JWT token is invalid or malformed.");
}

// Form fields of a token request; the values (secret, assertion) are wiped
// when the request is done.
struct FormFields {
  std::vector<std::pair<std::string, std::string>> items;

  ~FormFields() {
    for (auto& item : items) {
      OPENSSL_cleanse(item.second.data(), item.second.size());
    }
  }
  const std::string* Find(std::string_view name) const {
    for (const auto& item : items) {
      if (item.first == name) {
        return &item.second;
      }
    }
    return nullptr;
  }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// application/x-www-form-urlencoded: "+" is a space, "%XY" a byte; a "%"
// without two hex digits makes the body unreadable.
bool DecodeFormComponent(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) {
        return false;
      }
      const int hi = HexValue(in[i + 1]);
      const int lo = HexValue(in[i + 2]);
      if (hi < 0 || lo < 0) {
        return false;
      }
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

bool ParseForm(std::string_view body, FormFields& out) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string_view::npos) {
      end = body.size();
    }
    const std::string_view part = body.substr(start, end - start);
    if (!part.empty()) {
      const size_t eq = part.find('=');
      std::pair<std::string, std::string> item;
      if (!DecodeFormComponent(part.substr(0, eq), item.first) ||
          !DecodeFormComponent(eq == std::string_view::npos
                                   ? std::string_view()
                                   : part.substr(eq + 1),
                               item.second)) {
        OPENSSL_cleanse(item.second.data(), item.second.size());
        return false;
      }
      out.items.push_back(std::move(item));
    }
    start = end + 1;
  }
  return true;
}

bool IsFormContentType(const std::string& value) {
  const std::string_view type =
      std::string_view(value).substr(0, value.find(';'));
  constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  if (type.size() < kForm.size()) {
    return false;
  }
  for (size_t i = 0; i < kForm.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(type[i])) != kForm[i]) {
      return false;
    }
  }
  for (size_t i = kForm.size(); i < type.size(); ++i) {
    if (type[i] != ' ' && type[i] != '\t') {
      return false;
    }
  }
  return true;
}

enum class TimeFormat {
  kStamp,    // "2024-01-31 12:00:00Z", Azure AD's error time stamp
  kIso,      // "2024-01-31T12:00:00.0000000Z"
  kKeyDate,  // "01/31/2024 12:00:00", as key credentials are shown
};

std::string FormatUtc(double seconds, TimeFormat format) {
  // Clamped to years 1970..9999 so that any NumericDate can be shown.
  const double clamped = std::fmin(std::fmax(seconds, 0.0), 253402300799.0);
  const time_t t = static_cast<time_t>(clamped);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[64];
  switch (format) {
    case TimeFormat::kStamp:
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &tm);
      break;
    case TimeFormat::kIso:
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.0000000Z", &tm);
      break;
    case TimeFormat::kKeyDate:
      std::strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &tm);
      break;
  }
  return text;
}

std::string HexUpper(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char b : bytes) {
    out += kDigits[(static_cast<unsigned char>(b) >> 4) & 15];
    out += kDigits[static_cast<unsigned char>(b) & 15];
  }
  return out;
}

std::string RandomBytes(size_t n) {
  std::string bytes(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                 static_cast<int>(n)) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return bytes;
}

// A random (version 4) UUID, as Azure AD's trace and correlation ids.
std::string NewUuid() {
  std::string b = RandomBytes(16);
  b[6] = static_cast<char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3f) | 0x80);
  std::string hex = HexUpper(b);
  for (char& c : hex) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) +
         "-" + hex.substr(16, 4) + "-" + hex.substr(20);
}

bool IsUuid(const std::string& text) {
  if (text.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : HexValue(text[i]) < 0) {
      return false;
    }
  }
  return true;
}

// For log lines: client-chosen text with control bytes shown as "?".
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) {
    out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  }
  return out;
}

std::string DumpJson(const ordered_json& j) {
  // Replace, not throw, on text that is not UTF-8: parts of it come from
  // the request.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

time_t AsnTimeToEpoch(const ASN1_TIME* t) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(t, &tm) != 1) {
    return 0;
  }
  return timegm(&tm);
}

std::string Digest(X509* cert, const EVP_MD* md) {
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, md, buf, &len) != 1) {
    throw std::runtime_error("X509_digest failed");
  }
  return std::string(reinterpret_cast<char*>(buf), len);
}

// Every certificate of a PEM text; other PEM blocks (a key) are skipped.
bool ReadCertificates(const std::string& pem, CertList& out) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio == nullptr) {
    return false;
  }
  for (;;) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (cert == nullptr) {
      break;
    }
    auto cred = std::make_shared<CertCredential>();
    cred->key.reset(X509_get_pubkey(cert.get()));
    if (cred->key == nullptr) {
      return false;
    }
    cred->sha1 = Digest(cert.get(), EVP_sha1());
    cred->sha256 = Digest(cert.get(), EVP_sha256());
    cred->notBefore = AsnTimeToEpoch(X509_get0_notBefore(cert.get()));
    cred->notAfter = AsnTimeToEpoch(X509_get0_notAfter(cert.get()));
    cred->cert = std::move(cert);
    out.push_back(std::move(cred));
  }
  ERR_clear_error();  // the end of the PEM text is reported as an error
  return !out.empty();
}

// A "x5t" or "x5t#S256" value: Base64URL, tolerated with "=" padding.
bool DecodeThumbprint(std::string value, std::string& out) {
  for (int i = 0; i < 2 && !value.empty() && value.back() == '='; ++i) {
    value.pop_back();
  }
  return Base64UrlDecode(value, out);
}

bool ReadNumericDate(const json& claims, const char* name, double& out) {
  const auto it = claims.find(name);
  if (it == claims.end() || !it->is_number()) {
    return false;
  }
  out = it->get<double>();
  return std::isfinite(out);
}

std::string ClaimText(const json& claims, const char* name) {
  const auto it = claims.find(name);
  return it != claims.end() && it->is_string() ? it->get<std::string>()
                                               : std::string();
}

int PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  }
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return -1;
}

// Shuts down the accepted TCP connections of the server on localPort (all,
// or only the one from remotePort). cpp-httplib owns those sockets and shows
// none of them, so they are found among the process's descriptors by their
// addresses; shutdown(), unlike close(), leaves the descriptor to its owner.
void ShutdownConnections(int localPort, int remotePort) {
  DirPtr dir(opendir("/proc/self/fd"));
  if (dir == nullptr) {
    return;
  }
  const int self = dirfd(dir.get());
  while (const dirent* entry = readdir(dir.get())) {
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
                   &typeLen) != 0 ||
        type != SOCK_STREAM ||
        getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local),
                    &localLen) != 0 ||
        PortOf(local) != localPort ||
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer),
                    &peerLen) != 0) {
      continue;
    }
    if (remotePort == 0 || PortOf(peer) == remotePort) {
      ::shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
  }
}

bool IsLoopback(const std::string& addr) {
  return addr == "127.0.0.1" || addr == "::1" || addr == "::ffff:127.0.0.1";
}

void NoStore(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store, no-cache");
  res.set_header("Pragma", "no-cache");
}

}  // namespace

struct IdpServer::Impl {
  explicit Impl(IdpOptions opts)
      : options(std::move(opts)), expiresIn(options.expiresIn) {}

  // The key that signs issued tokens: made when serving starts, so that a
  // server that never serves costs no RSA key generation.
  void MakeSigningKey() {
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
    keyId = Base64UrlEncode(
        std::string_view(reinterpret_cast<const char*>(md), 20));
    signingKey = std::move(key);
  }

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

  std::string LoginEndpoint() const {
    return Scheme() + "://" + DisplayHost() + ":" + std::to_string(boundPort) +
           "/";
  }

  void Record(const httplib::Request& req) {
    IdpRequest r;
    r.method = req.method;
    r.path = req.path;
    r.body = req.body;
    r.headers.insert(req.headers.begin(), req.headers.end());
    r.remotePort = req.remote_port;
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(std::move(r));
    remotePorts.insert(req.remote_port);
  }

  void Log(const std::string& line) const {
    if (options.log) {
      options.log(line);
    }
  }

  void ReplyError(const httplib::Request& req, httplib::Response& res,
                  const AadError& e) const {
    // Azure AD takes the client's request id as the correlation id.
    std::string correlationId = req.get_header_value("client-request-id");
    if (!IsUuid(correlationId)) {
      correlationId = NewUuid();
    }
    const std::string timestamp =
        FormatUtc(static_cast<double>(std::time(nullptr)), TimeFormat::kStamp);
    const std::string traceId = NewUuid();
    const std::string code = std::to_string(e.code);
    ordered_json body;
    body["error"] = e.error;
    body["error_description"] =
        "AADSTS" + code + ": " + e.text + "\r\nTrace ID: " + traceId +
        "\r\nCorrelation ID: " + correlationId + "\r\nTimestamp: " + timestamp;
    body["error_codes"] = ordered_json::array({e.code});
    body["timestamp"] = timestamp;
    body["trace_id"] = traceId;
    body["correlation_id"] = correlationId;
    body["error_uri"] = LoginEndpoint() + "error?code=" + code;
    res.status = e.status;
    NoStore(res);
    res.set_content(DumpJson(body), "application/json; charset=utf-8");
  }

  // Waits up to ms; false when the server is stopping.
  bool Delay(int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopCv.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return stopping; });
  }

  void DropConnection(const httplib::Request& req, httplib::Response& res) {
    ShutdownConnections(boundPort, req.remote_port);
    // cpp-httplib still writes this into the dead socket, which fails.
    res.status = 500;
    res.set_header("Connection", "close");
  }

  bool CheckAssertion(const httplib::Request& req, const std::string& tenant,
                      const std::string& clientId, const CertList& certs,
                      const FormFields& form, AadError& err) const;
  bool Authorize(const httplib::Request& req, const std::string& tenant,
                 const FormFields& form, std::string& resource,
                 AadError& err) const;
  void IssueToken(const std::string& tenant, const std::string& clientId,
                  const std::string& resource, httplib::Response& res);
  void HandleToken(const httplib::Request& req, httplib::Response& res);
  void HandleFault(const httplib::Request& req, httplib::Response& res);
  void HandleStats(const httplib::Request& req, httplib::Response& res);
  void HandleOther(const httplib::Request& req, httplib::Response& res);
  void Route();

  IdpOptions options;
  PkeyPtr signingKey;
  std::string signingKeyPem;
  std::string keyId;

  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> listenEnded{false};
  int boundPort = 0;
  bool started = false;

  mutable std::mutex mutex;
  std::condition_variable stopCv;
  bool stopping = false;
  std::map<std::string, std::map<std::string, AppRecord>> tenants;
  std::optional<IdpFault> fault;
  long expiresIn;
  std::vector<IdpRequest> requests;
  std::set<int> remotePorts;
};

bool IdpServer::Impl::CheckAssertion(const httplib::Request& req,
                                     const std::string& tenant,
                                     const std::string& clientId,
                                     const CertList& certs,
                                     const FormFields& form,
                                     AadError& err) const {
  const std::string* type = form.Find("client_assertion_type");
  if (type == nullptr) {
    err = MissingParameter("client_assertion_type");
    return false;
  }
  if (*type != kAssertionType) {
    err =
        Err(400, "invalid_request", 90011, "Unexpected client assertion type.");
    return false;
  }
  Jws jws;
  if (!ParseJws(*form.Find("client_assertion"), jws)) {
    err = Malformed();
    return false;
  }
  const json header = json::parse(jws.header, nullptr, false);
  const json claims = json::parse(jws.payload, nullptr, false);
  if (header.is_discarded() || !header.is_object() || claims.is_discarded() ||
      !claims.is_object()) {
    err = Malformed();
    return false;
  }
  const auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string()) {
    err = Malformed();
    return false;
  }
  JwsAlg jwsAlg = JwsAlg::kRs256;
  if (*alg == "PS256") {
    jwsAlg = JwsAlg::kPs256;
  } else if (*alg != "RS256") {
    err = Err(401, "invalid_client", 5002738,
              "Invalid JWT token. '" + alg->get<std::string>() +
                  "' is not a supported signature algorithm. Supported "
                  "signing algorithms are: 'RS256, PS256'");
    return false;
  }

  // "x5t#S256" (SHA-256) wins over "x5t" (SHA-1) when both are sent.
  const auto s256 = header.find("x5t#S256");
  const auto s1 = header.find("x5t");
  const bool useS256 = s256 != header.end();
  const auto thumbIt = useS256 ? s256 : s1;
  if (thumbIt == header.end()) {
    err = Err(401, "invalid_client", 5002723,
              "Invalid JWT token. No certificate thumbprint specified in "
              "token header.");
    return false;
  }
  const std::string thumbText =
      thumbIt->is_string() ? thumbIt->get<std::string>() : thumbIt->dump();
  std::string thumb;
  const bool decoded =
      thumbIt->is_string() && DecodeThumbprint(thumbText, thumb);
  const std::string shown = decoded ? HexUpper(thumb) : Printable(thumbText);
  const CertCredential* cred = nullptr;
  if (decoded) {
    for (const auto& c : certs) {
      if ((useS256 ? c->sha256 : c->sha1) == thumb) {
        cred = c.get();
        break;
      }
    }
  }
  auto invalidSignature = [&](const std::string& reason) {
    std::string text =
        "Client assertion contains an invalid signature. [Reason - " + reason +
        ", Thumbprint of key used by client: '" + shown + "'";
    if (cred != nullptr) {
      text +=
          ", Found key 'Start=" +
          FormatUtc(static_cast<double>(cred->notBefore),
                    TimeFormat::kKeyDate) +
          ", End=" +
          FormatUtc(static_cast<double>(cred->notAfter), TimeFormat::kKeyDate) +
          "'";
    } else {
      text +=
          ", Please visit the Azure Portal, Graph Explorer or directly "
          "use MS Graph to see configured keys for app Id '" +
          clientId + "'.";
    }
    text += std::string(kCertDocs) + "]";
    return Err(401, "invalid_client", 700027, text);
  };
  if (cred == nullptr) {
    err = invalidSignature("The key was not found.");
    return false;
  }
  const time_t now = std::time(nullptr);
  if (now < cred->notBefore || now > cred->notAfter) {
    err = invalidSignature("The key used is expired.");
    return false;
  }
  if (!VerifyJws(cred->key.get(), jwsAlg, jws.signingInput, jws.signature)) {
    err = invalidSignature(
        "The provided signature value did not match the expected signature "
        "value.");
    return false;
  }

  double exp = 0;
  double nbf = 0;
  const bool hasNbf = claims.contains("nbf");
  if (!ReadNumericDate(claims, "exp", exp) ||
      (hasNbf && !ReadNumericDate(claims, "nbf", nbf))) {
    err = Malformed();
    return false;
  }
  const double skew = static_cast<double>(options.clockSkewSeconds);
  const double current = static_cast<double>(now);
  if (current > exp + skew || (hasNbf && nbf > current + skew)) {
    const TimeFormat format = TimeFormat::kIso;
    err = Err(401, "invalid_client", 700024,
              "Client assertion is not within its valid time range. Current "
              "time: " +
                  FormatUtc(current, format) + ", assertion valid from " +
                  (hasNbf ? FormatUtc(nbf, format) : std::string("(none)")) +
                  ", expiry time of assertion " + FormatUtc(exp, format) + "." +
                  kCertDocs);
    return false;
  }

  // The token URL as the client addressed it (host name or address), as
  // this server names itself, or the older issuer-style audience.
  const std::string path = "/" + tenant + "/oauth2/v2.0/token";
  std::set<std::string> audiences = {
      LoginEndpoint() + tenant + "/oauth2/v2.0/token",
      "https://login.microsoftonline.com/" + tenant + "/v2.0"};
  if (req.has_header("Host")) {
    audiences.insert(Scheme() + "://" + req.get_header_value("Host") + path);
  }
  bool audOk = false;
  const auto aud = claims.find("aud");
  if (aud != claims.end() && aud->is_string()) {
    audOk = audiences.count(aud->get<std::string>()) != 0;
  } else if (aud != claims.end() && aud->is_array()) {
    for (const auto& a : *aud) {
      audOk = audOk || (a.is_string() && audiences.count(a.get<std::string>()));
    }
  }
  if (!audOk) {
    err = Err(401, "invalid_client", 700023,
              std::string("Client assertion audience claim does not match "
                          "Realm issuer.") +
                  kCertDocs);
    return false;
  }
  const std::string iss = ClaimText(claims, "iss");
  if (iss != clientId) {
    err = Err(401, "invalid_client", 700021,
              std::string("Client assertion application identifier doesn't "
                          "match 'client_id' parameter.") +
                  kCertDocs);
    return false;
  }
  if (ClaimText(claims, "sub") != iss) {
    err = Err(401, "invalid_client", 50048,
              std::string("Subject mismatches Issuer claim in the client "
                          "assertion.") +
                  kCertDocs);
    return false;
  }
  return true;
}

bool IdpServer::Impl::Authorize(const httplib::Request& req,
                                const std::string& tenant,
                                const FormFields& form, std::string& resource,
                                AadError& err) const {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (tenants.count(tenant) == 0) {
      err = Err(400, "invalid_request", 90002,
                "Tenant '" + tenant +
                    "' not found. Check to make sure you have the correct "
                    "tenant ID and are signing into the correct cloud.");
      return false;
    }
  }
  std::set<std::string> seen;
  for (const auto& item : form.items) {
    if (!seen.insert(item.first).second) {
      err = BadRequest("The parameter '" + item.first +
                       "' appears more than once.");
      return false;
    }
  }
  const std::string* grant = form.Find("grant_type");
  if (grant == nullptr) {
    err = MissingParameter("grant_type");
    return false;
  }
  if (*grant != "client_credentials") {
    err = Err(400, "unsupported_grant_type", 70003,
              "The app requested an unsupported grant type '" + *grant + "'.");
    return false;
  }
  const std::string* clientId = form.Find("client_id");
  if (clientId == nullptr) {
    err = MissingParameter("client_id");
    return false;
  }

  const std::string* secret = form.Find("client_secret");
  const std::string* assertion = form.Find("client_assertion");
  CertList certs;
  bool secretOk = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const auto& apps = tenants.at(tenant);
    const auto app = apps.find(*clientId);
    if (app == apps.end()) {
      err = Err(400, "unauthorized_client", 700016,
                "Application with identifier '" + *clientId +
                    "' was not found in the directory '" + tenant +
                    "'. This can happen if the application has not been "
                    "installed by the administrator of the tenant or "
                    "consented to by any user in the tenant. You may have "
                    "sent your authentication request to the wrong tenant.");
      return false;
    }
    certs = app->second.certs;
    if (secret != nullptr) {
      for (const std::string& s : app->second.secrets) {
        secretOk = secretOk ||
                   (s.size() == secret->size() &&
                    CRYPTO_memcmp(s.data(), secret->data(), s.size()) == 0);
      }
    }
  }

  const std::string* scope = form.Find("scope");
  if (scope == nullptr || scope->find_first_not_of(' ') == std::string::npos) {
    err = Err(400, "invalid_request", 90014,
              "The required field 'scope' is missing from the credential. "
              "Ensure that you have all the necessary parameters for the "
              "login request.");
    return false;
  }
  std::vector<std::string> items;
  std::istringstream words(*scope);
  for (std::string w; words >> w;) {
    items.push_back(w);
  }
  constexpr std::string_view kDefault = "/.default";
  for (const std::string& item : items) {
    if (item.size() <= kDefault.size() ||
        item.compare(item.size() - kDefault.size(), kDefault.size(),
                     kDefault) != 0) {
      err = Err(400, "invalid_scope", 1002012,
                "The provided value for scope " + item +
                    " is not valid. Client credential flows must have a scope "
                    "value with /.default suffixed to the resource "
                    "identifier (application ID URI).");
      return false;
    }
  }
  if (items.size() > 1) {
    err = Err(400, "invalid_scope", 70011,
              "The provided value for the input parameter 'scope' is not "
              "valid. The scope " +
                  *scope + " is not valid.");
    return false;
  }
  resource = items[0].substr(0, items[0].size() - kDefault.size());

  if (secret != nullptr && assertion != nullptr) {
    err = BadRequest(
        "Only one of 'client_secret' and 'client_assertion' may be sent.");
    return false;
  }
  if (secret == nullptr && assertion == nullptr) {
    err = Err(401, "invalid_client", 7000218,
              "The request body must contain the following parameter: "
              "'client_assertion' or 'client_secret'.");
    return false;
  }
  if (secret != nullptr) {
    if (!secretOk) {
      err = Err(401, "invalid_client", 7000215,
                "Invalid client secret provided. Ensure the secret being sent "
                "in the request is the client secret value, not the client "
                "secret ID, for a secret added to app '" +
                    *clientId + "'.");
      return false;
    }
    return true;
  }
  return CheckAssertion(req, tenant, *clientId, certs, form, err);
}

void IdpServer::Impl::IssueToken(const std::string& tenant,
                                 const std::string& clientId,
                                 const std::string& resource,
                                 httplib::Response& res) {
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
  claims["aud"] = resource;
  claims["iss"] = LoginEndpoint() + tenant + "/v2.0";
  claims["iat"] = now;
  claims["nbf"] = now;
  claims["exp"] = now + lifetime;
  claims["appid"] = clientId;
  claims["sub"] = clientId;
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
  res.set_content(body, "application/json; charset=utf-8");
}

void IdpServer::Impl::HandleToken(const httplib::Request& req,
                                  httplib::Response& res) {
  Record(req);
  const std::string tenant = req.matches[1];
  std::optional<IdpFault> current;
  {
    std::lock_guard<std::mutex> lock(mutex);
    current = fault;
  }
  std::string line = req.method + " " + Printable(req.path);
  if (current && current->delayMs > 0 && !Delay(current->delayMs)) {
    DropConnection(req, res);
    return;
  }
  if (current && current->closeConnection) {
    DropConnection(req, res);
    Log(line + " -> connection dropped (fault)");
    return;
  }
  if (current && current->status != 0) {
    res.status = current->status;
    for (const auto& h : current->headers) {
      res.set_header(h.first.c_str(), h.second);
    }
    res.set_content(current->body, current->contentType.c_str());
    Log(line + " -> " + std::to_string(res.status) + " (fault)");
    return;
  }

  FormFields form;
  std::string resource;
  AadError err;
  bool ok = false;
  if (IsFormContentType(req.get_header_value("Content-Type")) &&
      !ParseForm(req.body, form)) {
    err = BadRequest(
        "The request body is not valid application/x-www-form-urlencoded "
        "text.");
  } else {
    // A body of another type has no parameters Azure AD would read.
    ok = Authorize(req, tenant, form, resource, err);
  }
  const std::string* clientId = form.Find("client_id");
  if (clientId != nullptr) {
    line += " client_id=" + Printable(*clientId);
  }
  if (ok) {
    IssueToken(tenant, *clientId, resource, res);
    Log(line + " -> 200");
  } else {
    ReplyError(req, res, err);
    Log(line + " -> " + std::to_string(err.status) + " " + err.error +
        " AADSTS" + std::to_string(err.code));
  }
}

void IdpServer::Impl::HandleStats(const httplib::Request& req,
                                  httplib::Response& res) {
  if (!IsLoopback(req.remote_addr)) {
    res.status = 403;
    return;
  }
  ordered_json body;
  {
    std::lock_guard<std::mutex> lock(mutex);
    body["connections"] = remotePorts.size();
    body["requests"] = requests.size();
  }
  res.set_content(DumpJson(body), "application/json");
}

void IdpServer::Impl::HandleFault(const httplib::Request& req,
                                  httplib::Response& res) {
  if (!IsLoopback(req.remote_addr)) {
    res.status = 403;
    return;
  }
  auto refuse = [&res](const std::string& why) {
    res.status = 400;
    res.set_content(DumpJson(ordered_json{{"error", why}}), "application/json");
  };
  const json in = json::parse(req.body, nullptr, false);
  if (in.is_discarded() || !in.is_object()) {
    refuse("the body must be a JSON object");
    return;
  }
  IdpFault f;
  for (const auto& [name, value] : in.items()) {
    if (name == "delayMs" && value.is_number_integer() && value >= 0 &&
        value <= 600000) {
      f.delayMs = value.get<int>();
    } else if (name == "closeConnection" && value.is_boolean()) {
      f.closeConnection = value.get<bool>();
    } else if (name == "status" && value.is_number_integer() &&
               (value == 0 || (value >= 100 && value <= 599))) {
      f.status = value.get<int>();
    } else if (name == "body" && value.is_string()) {
      f.body = value.get<std::string>();
    } else if (name == "contentType" && value.is_string()) {
      f.contentType = value.get<std::string>();
    } else if (name == "expiresInJson" &&
               (value.is_string() || value.is_null())) {
      if (value.is_string()) {
        f.expiresInJson = value.get<std::string>();
      }
    } else if (name == "headers" && value.is_object()) {
      for (const auto& [h, v] : value.items()) {
        if (!v.is_string()) {
          refuse("header values must be texts");
          return;
        }
        f.headers.emplace(h, v.get<std::string>());
      }
    } else {
      refuse("unknown member or bad value: '" + name + "'");
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (in.empty()) {
      fault.reset();
    } else {
      fault = std::move(f);
    }
  }
  res.set_content(
      in.empty() ? "{\"fault\":\"cleared\"}" : "{\"fault\":\"set\"}",
      "application/json");
}

void IdpServer::Impl::HandleOther(const httplib::Request& req,
                                  httplib::Response& res) {
  Record(req);
  res.status = 404;
  res.set_content(
      DumpJson(ordered_json{
          {"error", "not_found"},
          {"error_description",
           "Only POST /{tenant}/oauth2/v2.0/token is served here."}}),
      "application/json");
  Log(req.method + " " + Printable(req.path) + " -> 404");
}

void IdpServer::Impl::Route() {
  // No exception may reach cpp-httplib: it would echo the text in a header.
  auto guarded = [this](void (Impl::*handler)(const httplib::Request&,
                                              httplib::Response&)) {
    return
        [this, handler](const httplib::Request& req, httplib::Response& res) {
          try {
            (this->*handler)(req, res);
          } catch (const std::exception&) {
            res = httplib::Response();
            res.status = 500;
            res.set_content("{\"error\":\"server_error\"}", "application/json");
          }
        };
  };
  server->Post(kTokenPath, guarded(&Impl::HandleToken));
  if (options.control) {
    server->Get("/_idp/stats", guarded(&Impl::HandleStats));
    server->Post("/_idp/fault", guarded(&Impl::HandleFault));
  }
  const auto other = guarded(&Impl::HandleOther);
  server->Get(".*", other);
  server->Post(".*", other);
  server->Put(".*", other);
  server->Patch(".*", other);
  server->Delete(".*", other);
  server->Options(".*", other);
}

IdpServer::IdpServer(IdpOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

IdpServer::~IdpServer() { Stop(); }

void IdpServer::AddApplication(const IdpApplication& app) {
  if (app.tenant.empty() || app.clientId.empty()) {
    throw std::invalid_argument(
        "an application needs a tenant and a client id");
  }
  CertList certs;
  if (!app.certificatePem.empty() &&
      !ReadCertificates(app.certificatePem, certs)) {
    throw std::invalid_argument("no readable certificate for client '" +
                                app.clientId + "'");
  }
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  AppRecord& record = m_impl->tenants[app.tenant][app.clientId];
  if (!app.clientSecret.empty()) {
    record.secrets.push_back(app.clientSecret);
  }
  record.certs.insert(record.certs.end(), certs.begin(), certs.end());
}

bool IdpServer::LoadApplications(const std::string& jsonFile,
                                 std::string& error) {
  std::ifstream in(jsonFile, std::ios::binary);
  if (!in) {
    error = "cannot read " + jsonFile;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string content = text.str();
  // nlohmann's own messages quote the text near the fault, which may be a
  // secret: only say where the file is.
  const json doc = json::parse(content, nullptr, false);
  OPENSSL_cleanse(content.data(), content.size());
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("applications") ||
      !doc["applications"].is_array() || doc.size() != 1) {
    error = jsonFile +
            ": not a JSON object {\"applications\":[...]} with that member "
            "only";
    return false;
  }
  const std::filesystem::path folder =
      std::filesystem::path(jsonFile).parent_path();
  std::vector<IdpApplication> apps;
  size_t index = 0;
  for (const json& entry : doc["applications"]) {
    const std::string where =
        jsonFile + ": applications[" + std::to_string(index++) + "]";
    if (!entry.is_object()) {
      error = where + " is not an object";
      return false;
    }
    IdpApplication app;
    std::string certPath;
    for (const auto& [name, value] : entry.items()) {
      if (!value.is_string()) {
        error = where + "." + name + " is not a text";
        return false;
      }
      if (name == "tenant") {
        app.tenant = value.get<std::string>();
      } else if (name == "client_id") {
        app.clientId = value.get<std::string>();
      } else if (name == "client_secret") {
        app.clientSecret = value.get<std::string>();
      } else if (name == "certificate") {
        certPath = value.get<std::string>();
      } else {
        error = where + ": unknown member '" + name + "'";
        return false;
      }
    }
    if (app.tenant.empty() || app.clientId.empty()) {
      error = where + " needs \"tenant\" and \"client_id\"";
      return false;
    }
    if (app.clientSecret.empty() && certPath.empty()) {
      error = where + " needs \"client_secret\" or \"certificate\"";
      return false;
    }
    if (!certPath.empty()) {
      std::filesystem::path p(certPath);
      if (p.is_relative()) {
        p = folder / p;
      }
      std::ifstream certIn(p, std::ios::binary);
      std::ostringstream pem;
      pem << certIn.rdbuf();
      CertList probe;
      if (!certIn || !ReadCertificates(pem.str(), probe)) {
        error = where + ": no readable PEM certificate in " + p.string();
        return false;
      }
      app.certificatePem = pem.str();
    }
    apps.push_back(std::move(app));
  }
  for (const IdpApplication& app : apps) {
    AddApplication(app);
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
    d.server = std::make_unique<httplib::SSLServer>(d.options.certFile.c_str(),
                                                    d.options.keyFile.c_str());
  } else {
    d.server = std::make_unique<httplib::Server>();
  }
  if (!d.server->is_valid()) {
    error = "cannot use the TLS certificate " + d.options.certFile +
            " with the key " + d.options.keyFile;
    d.server.reset();
    return false;
  }
  // The client keeps its connection for many requests; tests count them.
  d.server->set_keep_alive_max_count(kKeepAliveMaxCount);
  d.server->set_keep_alive_timeout(kKeepAliveTimeoutSeconds);
  d.server->set_payload_max_length(kMaxBody);
  // cpp-httplib's default adds SO_REUSEPORT, which would let a second
  // server share a busy port instead of failing.
  d.server->set_socket_options([](int sock) {
    const int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  });
  // A reply leaves as several TLS records (headers, then body); with Nagle
  // on, the body waits for the client's delayed ACK of the headers: 40 ms
  // on every request of a kept-alive connection. Accepted sockets inherit
  // the listener's setting.
  d.server->set_tcp_nodelay(true);
  d.server->new_task_queue = [] {
    return new httplib::ThreadPool(kWorkerThreads);
  };
  d.Route();

  int port = d.options.port;
  if (port == 0) {
    port = d.server->bind_to_any_port(d.options.host);
  } else if (!d.server->bind_to_port(d.options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    error = "cannot listen on " + d.options.host + ":" +
            std::to_string(d.options.port);
    d.server.reset();
    return false;
  }
  d.boundPort = port;
  d.thread = std::thread([&d] {
    // A client that goes away makes a write raise SIGPIPE; the worker
    // threads inherit this mask and see EPIPE instead.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    d.server->listen_after_bind();
    d.listenEnded = true;
  });
  // stop() is ignored until the server runs: wait for it.
  while (!d.server->is_running() && !d.listenEnded) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  d.started = true;
  if (!d.server->is_running()) {
    d.thread.join();
    error = "the server did not start";
    return false;
  }
  return true;
}

void IdpServer::Stop() {
  Impl& d = *m_impl;
  if (!d.thread.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stopping = true;
  }
  d.stopCv.notify_all();
  d.server->stop();
  // Idle keep-alive connections would hold their threads for the whole
  // keep-alive time.
  ShutdownConnections(d.boundPort, 0);
  d.thread.join();
}

int IdpServer::port() const { return m_impl->boundPort; }

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
  return m_impl->remotePorts.size();
}

size_t IdpServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requests.size();
}

std::vector<IdpRequest> IdpServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requests;
}

std::string IdpServer::TokenSigningPublicKeyPem() const {
  return m_impl->signingKeyPem;
}

}  // namespace tqidp
