#include "platform/TQLibCurl.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "internal/base/StringFormat.h"
#include "internal/crypto/RsaSigner.h"
#include "internal/net/CaStore.h"
#include "internal/net/CurlHandles.h"
#include "internal/net/CurlPool.h"
#include "internal/text/Redact.h"
#include "platform/SecureMemory.h"
#include "platform/TQPlatformInfo.h"
#include "platform/internal/TqHome.h"

namespace {

constexpr long kDefaultConnectTimeoutSeconds = 10;
constexpr long kDefaultTimeoutSeconds = 30;
// A longer wait than this is a misconfiguration, not a slow endpoint.
constexpr long kMaxTimeoutSeconds = 3600;
constexpr long kMaxRedirects = 5;

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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
bool ReadTimeout(TQPlatformInfo& info, const char* name, long fallback,
                 long& outSeconds, std::string& outText) {
  outSeconds = fallback;
  if (!info.getString("Http", name, outText)) {
    return true;
  }
  const bool digits =
      !outText.empty() && outText.size() <= 18 &&
      outText.find_first_not_of("0123456789") == std::string::npos;
  const long long value = digits ? std::stoll(outText) : -1;
  if (value < 1 || value > kMaxTimeoutSeconds) {
    return false;
  }
  outSeconds = static_cast<long>(value);
  return true;
}

}  // namespace

TQLibCurl::TQLibCurl() { GlobalInitOnce(); }

TQLibCurl::~TQLibCurl() {
  // The last reply may hold an access token.
  WipeString(m_response);
  WipeString(m_proxyUserPassword);
}

bool TQLibCurl::TQLibCurlInit(const char* acceptType, bool keepAlive,
                              bool failOnHttpError,
                              TQLibCurlWriteCallback writeCallback) {
  m_ready = false;
  if (!OpenSslBackend()) {
    return false;
  }
  TQPlatformInfo info;
  const CKoError config = info.Check();
  if (config.IsError()) {
    // Reported by every send: settings half read are no settings.
    m_initError = config.GetMessage();
    return false;
  }
  m_initError.clear();
  const struct {
    const char* name;
    long fallback;
    long& seconds;
  } timeouts[] = {
      {"ConnectTimeoutSeconds", kDefaultConnectTimeoutSeconds,
       m_connectTimeout},
      {"TimeoutSeconds", kDefaultTimeoutSeconds, m_timeout},
  };
  for (const auto& t : timeouts) {
    std::string text;
    if (!ReadTimeout(info, t.name, t.fallback, t.seconds, text)) {
      Log().DebugLvl("TQLibCurlInit", EvDebug::kWarning,
                     "Warning: [Http] %s [%s] is not a number of seconds "
                     "from 1 to %ld; using %ld",
                     t.name, text.substr(0, 32).c_str(), kMaxTimeoutSeconds,
                     t.fallback);
    }
  }
  m_caFile.clear();
  info.getString("Http", "CAFile", m_caFile);
  m_keepAlive = keepAlive;
  m_writeCallback = writeCallback;
  m_failOnHttpError = failOnHttpError;
  m_proxy.clear();
  m_proxyType = CURLPROXY_HTTP;
  WipeString(m_proxyUserPassword);
  m_acceptHeader = acceptType != nullptr && acceptType[0] != '\0'
                       ? std::string("Accept: ") + acceptType
                       : std::string();
  m_ready = true;
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
  if (header == nullptr) {
    return false;
  }
  curl_slist* list = curl_slist_append(m_headers.get(), header);
  if (list == nullptr) {
    return false;
  }
  m_headers.release();
  m_headers.reset(list);
  return true;
}

void TQLibCurl::ResetResult() {
  WipeString(m_response);
  m_errorText.clear();
  m_errorBuffer[0] = '\0';
  m_httpStatus = 0;
  m_curlCode = CURLE_OK;
  m_overflow = false;
}

EvEvent& TQLibCurl::Log() {
  // Made on first use: constructing it reads the configuration file.
  if (!m_event) {
    m_event = std::make_unique<EvEvent>();
  }
  return *m_event;
}

bool TQLibCurl::Fail(CURLcode code, const std::string& text) {
  m_curlCode = code;
  m_errorText = text;
  WipeString(m_response);
  return false;
}

bool TQLibCurl::TQLibCurlSendHttpReq(HTTP_REQ_TYPE type, const char* url,
                                     const void* data, unsigned long length,
                                     bool followRedirects,
                                     const char* customMethod) {
  ResetResult();
  if (!m_ready || url == nullptr) {
    return Fail(CURLE_FAILED_INIT, m_initError.empty()
                                       ? "HTTP client is not initialised"
                                       : m_initError);
  }

  CurlConnectionSettings connection;
  const std::string& caFile =
      m_caFile.empty() ? CaStore::SystemBundle() : m_caFile;
  std::string why;
  if (!CaStore::Get(caFile, connection.ca, why)) {
    return Fail(CURLE_SSL_CACERT_BADFILE, "Cannot use the CA bundle: " + why);
  }
  connection.proxy = m_proxy;
  connection.proxyType = m_proxyType;
  connection.proxyUserPassword = m_proxyUserPassword;
  CurlLease lease;
  if (!lease.Acquire(connection)) {
    return Fail(CURLE_FAILED_INIT, "Cannot set up an HTTP connection handle");
  }
  CURL* h = lease.get();

  // The caller's lines, then ours: no "Expect: 100-continue" round trip for
  // larger bodies, and the Accept type given at initialisation.
  SlistPtr lines;
  auto append = [&lines](const char* line) {
    curl_slist* next = curl_slist_append(lines.get(), line);
    if (next == nullptr) {
      return false;
    }
    lines.release();
    lines.reset(next);
    return true;
  };
  bool ok = true;
  for (const curl_slist* l = m_headers.get(); l != nullptr && ok; l = l->next) {
    ok = append(l->data);
  }
  ok = ok && append("Expect:");
  if (!m_acceptHeader.empty()) {
    ok = ok && append(m_acceptHeader.c_str());
  }
  if (!ok) {
    return Fail(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  }

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
  opt(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, m_errorBuffer));
  if (m_writeCallback != nullptr) {
    opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, m_writeCallback));
  } else {
    opt(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TQLibCurl::StoreBody));
  }
  opt(curl_easy_setopt(h, CURLOPT_WRITEDATA, this));
  opt(curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &TQLibCurl::Trace));
  opt(curl_easy_setopt(h, CURLOPT_DEBUGDATA, this));
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
    return Fail(set, curl_easy_strerror(set));
  }

  const CURLcode rc = curl_easy_perform(h);

  long newConnections = 0;
  if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &newConnections) ==
      CURLE_OK) {
    m_connections += newConnections;
  }
  if (rc != CURLE_OK) {
    if (m_overflow) {
      return Fail(rc, StringPrintf("Response larger than %zu bytes",
                                   kMaxResponseBytes));
    }
    return Fail(rc, m_errorBuffer[0] != '\0' ? std::string(m_errorBuffer)
                                             : curl_easy_strerror(rc));
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &m_httpStatus);
  return !(m_failOnHttpError && m_httpStatus >= 400);
}

const char* TQLibCurl::GetHttpResponse(unsigned long& length,
                                       bool /*reserved*/) {
  if (m_curlCode != CURLE_OK) {
    length = m_errorText.size();
    return m_errorText.c_str();
  }
  if (m_response.empty()) {
    length = 0;
    return nullptr;
  }
  length = m_response.size();
  return m_response.c_str();
}

long TQLibCurl::GetHttpErrorCode() const noexcept {
  return m_curlCode != CURLE_OK ? static_cast<long>(m_curlCode) : m_httpStatus;
}

size_t TQLibCurl::StoreBody(char* data, size_t size, size_t count, void* self) {
  auto* client = static_cast<TQLibCurl*>(self);
  const size_t bytes = size * count;
  if (client->m_response.size() + bytes > kMaxResponseBytes) {
    client->m_overflow = true;
    return 0;  // makes libcurl fail the transfer with CURLE_WRITE_ERROR
  }
  if (client->m_response.capacity() < client->m_response.size() + bytes) {
    // Grow by hand so that the old buffer, which may hold part of a token,
    // is wiped before it is freed.
    std::string bigger;
    bigger.reserve(std::max(client->m_response.size() + bytes,
                            client->m_response.capacity() * 2));
    bigger = client->m_response;
    WipeString(client->m_response);
    client->m_response.swap(bigger);
  }
  client->m_response.append(data, bytes);
  return bytes;
}

int TQLibCurl::Trace(CURL* /*handle*/, curl_infotype type, char* data,
                     size_t size, void* self) {
  auto* client = static_cast<TQLibCurl*>(self);
  if (!client->Log().IsLogged(3)) {
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
      client->Log().DebugLvl("TQLibCurl", EvDebug::kDefaultThreshold, "%s%s",
                             prefix, QuoteText(RedactHeaderLine(line)).c_str());
    }
    start = end + 1;
  }
  return 0;
}

bool TQLibCurl::SignSHA256withRSA(const std::string& certificateFile,
                                  const std::string& data,
                                  const std::string& password,
                                  unsigned char* signature,
                                  unsigned int& length) {
  if (!m_signer) {
    // A staged certificate is opened through the home's checks, like every
    // file there; other files without blocking.
    m_signer = std::make_unique<RsaSigner>([](const std::string& file,
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
    });
  }
  return m_signer->Sign(certificateFile, data, password, signature, length);
}
