#include "platform/TQLibCurl.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal/Handles.h"
#include "internal/Redact.h"
#include "internal/RsaSigner.h"
#include "internal/StringFormat.h"
#include "platform/SecureMemory.h"
#include "platform/TQPlatformInfo.h"

namespace {

constexpr long kDefaultConnectTimeoutSeconds = 10;
constexpr long kDefaultTimeoutSeconds = 30;
constexpr long kMaxRedirects = 5;

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Options through which a caller could switch TLS verification off.
bool WeakensTls(CURLoption option, long value) {
  switch (option) {
    case CURLOPT_SSL_VERIFYPEER:
    case CURLOPT_PROXY_SSL_VERIFYPEER:
      return value != 1;
    case CURLOPT_SSL_VERIFYHOST:
    case CURLOPT_PROXY_SSL_VERIFYHOST:
      return value != 2;
    case CURLOPT_SSL_VERIFYSTATUS:
      return false;
    default:
      return false;
  }
}

bool IsLongOption(CURLoption option) {
  return option > 0 && option < CURLOPTTYPE_OBJECTPOINT;
}

bool IsTextOption(CURLoption option) {
  return option >= CURLOPTTYPE_STRINGPOINT &&
         option < CURLOPTTYPE_FUNCTIONPOINT;
}

}  // namespace

TQLibCurl::TQLibCurl() { GlobalInitOnce(); }

TQLibCurl::~TQLibCurl() {
  // The last reply may hold an access token.
  WipeString(m_response);
}

bool TQLibCurl::TQLibCurlInit(const char* acceptType, bool keepAlive,
                              bool failOnHttpError,
                              TQLibCurlWriteCallback writeCallback) {
  CurlPtr curl(curl_easy_init());
  if (!curl) {
    return false;
  }
  TQPlatformInfo info;
  unsigned long connectTimeout = kDefaultConnectTimeoutSeconds;
  unsigned long timeout = kDefaultTimeoutSeconds;
  info.getNumber("Http", "ConnectTimeoutSeconds", &connectTimeout);
  info.getNumber("Http", "TimeoutSeconds", &timeout);
  std::string caFile;
  info.getString("Http", "CAFile", caFile);

  CURL* h = curl.get();
  bool ok = true;
  auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
  set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, m_errorBuffer));
  set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(h, CURLOPT_SSLVERSION,
                       static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
  if (!caFile.empty()) {
    set(curl_easy_setopt(h, CURLOPT_CAINFO, caFile.c_str()));
  }
  // An empty proxy text makes libcurl ignore http_proxy and friends: the
  // proxy is the product's configuration, not the process environment.
  set(curl_easy_setopt(h, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT,
                       static_cast<long>(connectTimeout)));
  set(curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout)));
  set(curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, keepAlive ? 1L : 0L));
  set(curl_easy_setopt(h, CURLOPT_FORBID_REUSE, keepAlive ? 0L : 1L));
  set(curl_easy_setopt(h, CURLOPT_USERAGENT, "tqcloudauth/1.0"));
  if (writeCallback != nullptr) {
    set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeCallback));
  } else {
    set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TQLibCurl::StoreBody));
  }
  set(curl_easy_setopt(h, CURLOPT_WRITEDATA, this));
  set(curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &TQLibCurl::Trace));
  set(curl_easy_setopt(h, CURLOPT_DEBUGDATA, this));
  if (!ok) {
    return false;
  }
  m_curl = std::move(curl);
  m_storeBody = writeCallback == nullptr;
  m_failOnHttpError = failOnHttpError;
  m_acceptHeader = acceptType != nullptr && acceptType[0] != '\0'
                       ? std::string("Accept: ") + acceptType
                       : std::string();
  toggleTrace(m_trace);
  return true;
}

bool TQLibCurl::TQLibCurlSetAdditionalOptionsIntValue(CURLoption option,
                                                      const int& value) {
  if (!m_curl || !IsLongOption(option) || WeakensTls(option, value)) {
    return false;
  }
  return curl_easy_setopt(m_curl.get(), option, static_cast<long>(value)) ==
         CURLE_OK;
}

bool TQLibCurl::TQLibCurlSetAdditionalOptionsStringValue(
    CURLoption option, const std::string& value) {
  if (!m_curl || !IsTextOption(option)) {
    return false;
  }
  return curl_easy_setopt(m_curl.get(), option, value.c_str()) == CURLE_OK;
}

void TQLibCurl::toggleTrace(bool on) {
  m_trace = on;
  if (m_curl) {
    curl_easy_setopt(m_curl.get(), CURLOPT_VERBOSE, on ? 1L : 0L);
  }
}

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

bool TQLibCurl::TQLibCurlSendHttpReq(HTTP_REQ_TYPE type, const char* url,
                                     const void* data, unsigned long length,
                                     bool followRedirects,
                                     const char* customMethod) {
  ResetResult();
  if (!m_curl || url == nullptr) {
    m_curlCode = CURLE_FAILED_INIT;
    m_errorText = "HTTP client is not initialised";
    return false;
  }
  CURL* h = m_curl.get();

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
    m_curlCode = CURLE_OUT_OF_MEMORY;
    m_errorText = curl_easy_strerror(m_curlCode);
    return false;
  }

  static const char kEmpty[] = "";
  const char* body = data != nullptr ? static_cast<const char*>(data) : kEmpty;
  const curl_off_t bodyLength =
      data != nullptr ? static_cast<curl_off_t>(length) : 0;
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
  switch (type) {
    case HTTP_REQ_POST:
    case HTTP_REQ_PUT:
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, bodyLength);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
      if (type == HTTP_REQ_PUT) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PUT");
      }
      break;
    case HTTP_REQ_DELETE:
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
      break;
    case HTTP_REQ_GET:
    default:
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      break;
  }
  if (customMethod != nullptr) {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, customMethod);
  }
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");

  const CURLcode rc = curl_easy_perform(h);

  // The header list and body pointer die with this call.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
  long newConnections = 0;
  if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &newConnections) ==
      CURLE_OK) {
    m_connections += newConnections;
  }

  if (rc != CURLE_OK) {
    m_curlCode = rc;
    if (m_overflow) {
      m_errorText =
          StringPrintf("Response larger than %zu bytes", kMaxResponseBytes);
    } else if (m_errorBuffer[0] != '\0') {
      m_errorText = m_errorBuffer;
    } else {
      m_errorText = curl_easy_strerror(rc);
    }
    WipeString(m_response);
    return false;
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
  if (!client->m_event.IsLogged(3)) {
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
      client->m_event.DebugLvl("TQLibCurl", 3, "%s%s", prefix,
                               RedactHeaderLine(line).c_str());
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
    m_signer = std::make_unique<RsaSigner>();
  }
  return m_signer->Sign(certificateFile, data, password, signature, length);
}
