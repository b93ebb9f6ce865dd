#include "platform/TQLibCurl.h"

#include <fcntl.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "internal/base/Decimal.h"
#include "internal/base/StringFormat.h"
#include "internal/crypto/RsaSigner.h"
#include "internal/net/CaStore.h"
#include "internal/net/CurlHandles.h"
#include "internal/net/CurlMemory.h"
#include "internal/net/CurlPool.h"
#include "internal/net/HttpFailureReason.h"
#include "internal/net/RetryAfter.h"
#include "internal/text/IniFile.h"
#include "internal/text/Redact.h"
#include "platform/SecureMemory.h"
#include "platform/internal/ConfigFile.h"
#include "platform/internal/TQLibCurlAccess.h"
#include "platform/internal/TqHome.h"

namespace {

constexpr long kDefaultConnectTimeoutSeconds = 10;
constexpr long kDefaultTimeoutSeconds = 30;
// A longer wait than this is a misconfiguration, not a slow endpoint.
constexpr long kMaxTimeoutSeconds = 3600;
constexpr long kMaxRedirects = 5;

// The shared CA store reaches connections through CURLOPT_SSL_CTX_FUNCTION,
// which only the OpenSSL backend offers.
bool OpenSslBackend() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return info != nullptr && info->ssl_version != nullptr &&
         std::strncmp(info->ssl_version, "OpenSSL/", 8) == 0;
}

// [Http] <name>: a whole number of seconds from 1 to kMaxTimeoutSeconds, or
// the default when absent. False, with the default in outSeconds and the
// text found in outText, for anything else (0, negative, absurd, not a
// number): no request may wait unbounded.
bool ReadTimeout(const IniFile& config, const char* name, long fallback,
                 long& outSeconds, std::string& outText) {
  outSeconds = fallback;
  if (!config.Get("Http", name, outText)) {
    return true;
  }
  int64_t value = 0;
  if (!ParseDecimal(outText, 1, kMaxTimeoutSeconds, value)) {
    return false;
  }
  outSeconds = static_cast<long>(value);
  return true;
}

// What one transfer writes while it runs; each request has its own.
struct Transfer {
  TQHttpResult* result;
  const TQLibCurl* client;
  bool overflow = false;
  std::string retryAfter;  // of the last response's header block
};

size_t StoreBody(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  std::string& body = t->result->body;
  const size_t bytes = size * count;
  if (body.size() + bytes > TQLibCurl::kMaxResponseBytes) {
    t->overflow = true;
    return 0;  // makes libcurl fail the transfer with CURLE_WRITE_ERROR
  }
  if (body.capacity() < body.size() + bytes) {
    // Grow by hand so that the old buffer, which may hold part of a token,
    // is wiped before it is freed.
    std::string bigger;
    bigger.reserve(std::max(body.size() + bytes, body.capacity() * 2));
    bigger = body;
    WipeString(body);
    body.swap(bigger);
  }
  body.append(data, bytes);
  // libcurl is done with what it handed over: its buffer, which it keeps
  // with the pooled handle, keeps no token.
  SecureWipe(data, bytes);
  return bytes;
}

// Keeps the Retry-After of the last header block (a proxy's CONNECT reply
// and redirects come before the final one).
size_t StoreHeader(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  if (line.rfind("HTTP/", 0) == 0) {
    t->retryAfter.clear();
  } else if (line.size() > 12 &&
             strncasecmp(line.data(), "Retry-After:", 12) == 0) {
    t->retryAfter.assign(line.substr(12, 128));
  }
  return bytes;
}

int Trace(CURL* /*handle*/, curl_infotype type, char* data, size_t size,
          void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  EvEvent& log = TQLibCurlAccess::Log(*t->client);
  if (!log.IsLogged(EvDebug::kDefaultThreshold)) {
    return 0;
  }
  const char* prefix = nullptr;
  switch (type) {
    case CURLINFO_TEXT:
      prefix = "* ";
      break;
    case CURLINFO_HEADER_IN:
      prefix = "< ";
      break;
    case CURLINFO_HEADER_OUT:
      prefix = "> ";
      break;
    default:
      return 0;  // bodies and raw TLS records are never traced
  }
  // Outgoing headers may carry credentials: the copies are wiped.
  std::string block(data, size);
  StringWipeGuard wipeBlock(block);
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    if (end == std::string::npos) {
      end = block.size();
    }
    std::string line = block.substr(start, end - start);
    StringWipeGuard wipeLine(line);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty()) {
      // At the default threshold: the trace switch alone turns it on.
      log.DebugLvl("TQLibCurl", EvDebug::kDefaultThreshold, "%s%s", prefix,
                   QuoteText(RedactHeaderLine(line)).c_str());
    }
    start = end + 1;
  }
  return 0;
}

void Failed(TQHttpResult& result, long code, TqFailureReason reason,
            const std::string& text) {
  result.ok = false;
  result.curlCode = code;
  result.reason = reason;
  result.errorText = text;
  WipeString(result.body);
}

bool AppendLine(SlistPtr& lines, const char* line) {
  curl_slist* next = curl_slist_append(lines.get(), line);
  if (next == nullptr) {
    return false;
  }
  lines.release();
  lines.reset(next);
  return true;
}

}  // namespace

TQHttpResult::~TQHttpResult() { WipeString(body); }

// The way the library's own code reaches a client's private parts.
bool TQLibCurlAccess::Init(TQLibCurl& client, const ConfigSnapshot& config,
                           const char* acceptType, bool keepAlive,
                           bool failOnHttpError,
                           TQLibCurlWriteCallback writeCallback) {
  if (config.status.IsError()) {
    client.m_ready = false;
    client.m_initError = config.status.GetMessage();
    client.m_initReason = config.status.GetReason();
    return false;
  }
  return Configure(client, *config.ini, acceptType, keepAlive, failOnHttpError,
                   writeCallback);
}

EvEvent& TQLibCurlAccess::Log(const TQLibCurl& client) { return client.Log(); }

TQLibCurl::TQLibCurl()
    : m_last(std::make_unique<TQHttpResult>()),
      // A staged certificate is opened through the home's checks, like every
      // file there; other files without blocking.
      m_signer(std::make_unique<RsaSigner>([](const std::string& file,
                                              auto_handle& out) {
        const TqHome home;
        if (!home.Contains(file)) {
          int fd = -1;
          do {
            fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
          } while (fd < 0 && errno == EINTR);
          out.reset(fd);
          return out.valid();
        }
        return !home.OpenFile(file, TqHome::FileKind::kSecret, O_RDONLY, 0, out)
                    .IsError();
      })) {
  InitCurlOnce();
}

TQLibCurl::~TQLibCurl() { WipeString(m_proxyUserPassword); }

bool TQLibCurl::TQLibCurlInit(const char* acceptType, bool keepAlive,
                              bool failOnHttpError,
                              TQLibCurlWriteCallback writeCallback) {
  return TQLibCurlAccess::Init(*this, LoadConfig(), acceptType, keepAlive,
                               failOnHttpError, writeCallback);
}

bool TQLibCurlAccess::Configure(TQLibCurl& c, const IniFile& config,
                                const char* acceptType, bool keepAlive,
                                bool failOnHttpError,
                                TQLibCurlWriteCallback writeCallback) {
  c.m_ready = false;
  if (!OpenSslBackend()) {
    return false;
  }
  c.m_initError.clear();
  c.m_initReason = TqFailureReason::kNone;
  const struct {
    const char* name;
    long fallback;
    long& seconds;
  } timeouts[] = {
      {"ConnectTimeoutSeconds", kDefaultConnectTimeoutSeconds,
       c.m_connectTimeout},
      {"TimeoutSeconds", kDefaultTimeoutSeconds, c.m_timeout},
  };
  for (const auto& t : timeouts) {
    std::string text;
    if (!ReadTimeout(config, t.name, t.fallback, t.seconds, text)) {
      c.Log().DebugLvl("TQLibCurlInit", EvDebug::kWarning,
                       "Warning: [Http] %s [%s] is not a number of seconds "
                       "from 1 to %ld; using %ld",
                       t.name, text.substr(0, 32).c_str(), kMaxTimeoutSeconds,
                       t.fallback);
    }
  }
  c.m_caFile.clear();
  config.Get("Http", "CAFile", c.m_caFile);
  c.m_keepAlive = keepAlive;
  c.m_writeCallback = writeCallback;
  c.m_failOnHttpError = failOnHttpError;
  c.m_proxy.clear();
  c.m_proxyType = CURLPROXY_HTTP;
  WipeString(c.m_proxyUserPassword);
  c.m_acceptHeader = acceptType != nullptr && acceptType[0] != '\0'
                         ? std::string("Accept: ") + acceptType
                         : std::string();
  c.m_ready = true;
  return true;
}

bool TQLibCurl::TQLibCurlSetAdditionalOptionsIntValue(CURLoption option,
                                                      const int& value) {
  if (!m_ready || option != CURLOPT_PROXYTYPE || value != CURLPROXY_HTTP) {
    return false;
  }
  m_proxyType = value;
  return true;
}

bool TQLibCurl::TQLibCurlSetAdditionalOptionsStringValue(
    CURLoption option, const std::string& value) {
  if (!m_ready || value.find('\0') != std::string::npos) {
    return false;
  }
  switch (option) {
    case CURLOPT_PROXY:
      m_proxy = value;
      return true;
    case CURLOPT_PROXYUSERPWD:
      WipeString(m_proxyUserPassword);
      m_proxyUserPassword = value;
      return true;
    default:
      return false;
  }
}

void TQLibCurl::toggleTrace(bool on) { m_trace = on; }

void TQLibCurl::TQLibCurlFreeHttpHeaderList() { m_headers.reset(); }

bool TQLibCurl::TQLibCurlAppendHeader(_http_hdr_type_ /*type*/,
                                      const char* header) {
  return header != nullptr && AppendLine(m_headers, header);
}

EvEvent& TQLibCurl::Log() const {
  // Made on first use: constructing it reads the configuration file.
  std::call_once(m_eventMade,
                 [this] { m_event = std::make_unique<EvEvent>(); });
  return *m_event;
}

bool TQLibCurl::TQLibCurlSendHttpReq(HTTP_REQ_TYPE type, const char* url,
                                     const void* data, unsigned long length,
                                     bool followRedirects,
                                     const char* customMethod) {
  auto result = std::make_unique<TQHttpResult>();
  m_last.reset();  // the last reply may hold an access token: wiped now
  const bool ok =
      Perform(type, url, m_headers.get(), data, length, followRedirects,
              customMethod, m_writeCallback, this, *result);
  m_last = std::move(result);
  return ok;
}

bool TQLibCurl::Exchange(HTTP_REQ_TYPE type, const std::string& url,
                         const std::vector<std::string>& headers,
                         const std::string& body, TQHttpResult& result) const {
  SlistPtr lines;
  for (const std::string& header : headers) {
    if (!AppendLine(lines, header.c_str())) {
      Failed(result, CURLE_OUT_OF_MEMORY, TqFailureReason::kInternal,
             curl_easy_strerror(CURLE_OUT_OF_MEMORY));
      return false;
    }
  }
  return Perform(type, url.c_str(), lines.get(), body.data(), body.size(),
                 false, nullptr, nullptr, nullptr, result);
}

bool TQLibCurl::Perform(HTTP_REQ_TYPE type, const char* url,
                        const curl_slist* headers, const void* data,
                        unsigned long length, bool followRedirects,
                        const char* customMethod,
                        TQLibCurlWriteCallback writeCallback, void* writeData,
                        TQHttpResult& result) const {
  result.ok = false;
  result.httpStatus = 0;
  result.retryAfterSeconds = -1;
  result.newConnections = 0;
  if (!m_ready || url == nullptr) {
    Failed(
        result, CURLE_FAILED_INIT,
        m_initReason != TqFailureReason::kNone ? m_initReason
                                               : TqFailureReason::kInternal,
        m_initError.empty() ? "HTTP client is not initialised" : m_initError);
    return false;
  }

  CurlConnectionSettings connection;
  const std::string& caFile =
      m_caFile.empty() ? CaStore::SystemBundle() : m_caFile;
  std::string why;
  if (!CaStore::Get(caFile, connection.ca, why)) {
    // A CA file of the configuration that cannot be used is the
    // configuration's fault; a system store that cannot be, TLS's.
    Failed(result, CURLE_SSL_CACERT_BADFILE,
           m_caFile.empty() ? TqFailureReason::kTlsFailed
                            : TqFailureReason::kConfigInvalid,
           "Cannot use the CA bundle: " + why);
    return false;
  }
  // Plain HTTP never goes through a proxy: the proxy would read all of it,
  // a secret included, in clear. (The library sends plain HTTP to this
  // machine only.)
  const bool plain = strncasecmp(url, "http://", 7) == 0;
  if (!plain) {
    connection.proxy = m_proxy;
    connection.proxyType = m_proxyType;
    connection.proxyUserPassword = m_proxyUserPassword;
  }
  CurlLease lease;
  if (!lease.Acquire(connection)) {
    Failed(result, CURLE_FAILED_INIT, TqFailureReason::kInternal,
           "Cannot set up an HTTP connection handle");
    return false;
  }
  CURL* h = lease.get();

  // The caller's lines, then ours: no "Expect: 100-continue" round trip for
  // larger bodies, and the Accept type given at initialisation.
  SlistPtr lines;
  bool ok = true;
  for (const curl_slist* l = headers; l != nullptr && ok; l = l->next) {
    ok = AppendLine(lines, l->data);
  }
  ok = ok && AppendLine(lines, "Expect:");
  if (!m_acceptHeader.empty()) {
    ok = ok && AppendLine(lines, m_acceptHeader.c_str());
  }
  if (!ok) {
    Failed(result, CURLE_OUT_OF_MEMORY, TqFailureReason::kInternal,
           curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    return false;
  }

  Transfer transfer{&result, this, false, std::string()};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  static const char kEmpty[] = "";
  const char* body = data != nullptr ? static_cast<const char*>(data) : kEmpty;
  const curl_off_t bodyLength =
      data != nullptr ? static_cast<curl_off_t>(length) : 0;
  CURLcode set = CURLE_OK;
  auto opt = [&set](CURLcode rc) {
    if (set == CURLE_OK) {
      set = rc;
    }
  };
  opt(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer));
  if (writeCallback != nullptr) {
    opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeCallback));
    opt(curl_easy_setopt(h, CURLOPT_WRITEDATA, writeData));
  } else {
    opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &StoreBody));
    opt(curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer));
  }
  opt(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &StoreHeader));
  opt(curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer));
  opt(curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &Trace));
  opt(curl_easy_setopt(h, CURLOPT_DEBUGDATA, &transfer));
  opt(curl_easy_setopt(h, CURLOPT_VERBOSE, m_trace ? 1L : 0L));
  opt(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, m_connectTimeout));
  opt(curl_easy_setopt(h, CURLOPT_TIMEOUT, m_timeout));
  opt(curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, m_keepAlive ? 0L : 1L));
  opt(curl_easy_setopt(h, CURLOPT_FORBID_REUSE, m_keepAlive ? 0L : 1L));
  opt(curl_easy_setopt(h, CURLOPT_URL, url));
  opt(curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get()));
  opt(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr));
  switch (type) {
    case HTTP_REQ_POST:
    case HTTP_REQ_PUT:
      opt(curl_easy_setopt(h, CURLOPT_POST, 1L));
      opt(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, bodyLength));
      opt(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body));
      if (type == HTTP_REQ_PUT) {
        opt(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PUT"));
      }
      break;
    case HTTP_REQ_DELETE:
      opt(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
      opt(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE"));
      break;
    case HTTP_REQ_GET:
    default:
      opt(curl_easy_setopt(h, CURLOPT_HTTPGET, 1L));
      break;
  }
  if (customMethod != nullptr) {
    opt(curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, customMethod));
  }
  opt(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L));
  opt(curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects));
  if (set != CURLE_OK) {
    Failed(result, set, TqFailureReason::kInternal, curl_easy_strerror(set));
    return false;
  }

  const CURLcode rc = curl_easy_perform(h);

  long newConnections = 0;
  if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &newConnections) ==
      CURLE_OK) {
    result.newConnections = newConnections;
    m_connections += newConnections;
  }
  long connectStatus = 0;
  if (curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connectStatus) !=
      CURLE_OK) {
    connectStatus = 0;
  }
  if (rc != CURLE_OK) {
    if (transfer.overflow) {
      Failed(result, rc, TqFailureReason::kBadReply,
             StringPrintf("Response larger than %zu bytes", kMaxResponseBytes));
      return false;
    }
    Failed(result, rc,
           TransferReason(rc, !connection.proxy.empty(), connectStatus),
           errorBuffer[0] != '\0' ? std::string(errorBuffer)
                                  : curl_easy_strerror(rc));
    return false;
  }
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    Failed(result, CURLE_BAD_FUNCTION_ARGUMENT, TqFailureReason::kInternal,
           "no HTTP status for the response");
    return false;
  }
  result.httpStatus = status;
  result.retryAfterSeconds =
      RetryAfterSeconds(transfer.retryAfter, std::time(nullptr));
  result.ok = !(m_failOnHttpError && status >= 400);
  if (!result.ok) {
    result.reason = StatusReason(status, result.retryAfterSeconds);
  }
  return result.ok;
}

const char* TQLibCurl::GetHttpResponse(unsigned long& length,
                                       bool /*reserved*/) {
  if (m_last->curlCode != CURLE_OK) {
    length = m_last->errorText.size();
    return m_last->errorText.c_str();
  }
  if (m_last->body.empty()) {
    length = 0;
    return nullptr;
  }
  length = m_last->body.size();
  return m_last->body.c_str();
}

long TQLibCurl::GetHttpErrorCode() const noexcept {
  return m_last->curlCode != CURLE_OK ? m_last->curlCode : m_last->httpStatus;
}

TqFailureReason TQLibCurl::GetFailureReason() const noexcept {
  return m_last->reason;
}

int64_t TQLibCurl::GetRetryAfterSeconds() const noexcept {
  return m_last->retryAfterSeconds;
}

bool TQLibCurl::SignSHA256withRSA(const std::string& certificateFile,
                                  const std::string& data,
                                  const std::string& password,
                                  unsigned char* signature,
                                  unsigned int& length) {
  return m_signer->Sign(certificateFile, data, password,
                        RsaScheme::kPkcs1Sha256, signature, length);
}

bool TQLibCurl::SignSHA256withRSAPSS(const std::string& certificateFile,
                                     const std::string& data,
                                     const std::string& password,
                                     unsigned char* signature,
                                     unsigned int& length) {
  return m_signer->Sign(certificateFile, data, password, RsaScheme::kPssSha256,
                        signature, length);
}
