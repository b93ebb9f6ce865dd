#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "platform/TQExport.h"
#include "platform/TqFailureReason.h"
#include "platform/auto_handle.h"

class RsaSigner;
class TQLibCurlAccess;

// Request methods of the HTTP client.
enum _http_req_type_ {
  HTTP_REQ_GET = 0,
  HTTP_REQ_POST = 1,  // with a body
  HTTP_REQ_PUT = 2,   // with a body
  HTTP_REQ_DELETE = 3,
};
typedef enum _http_req_type_ HTTP_REQ_TYPE;

// Kinds of header lines; every line the library appends is a request header.
enum _http_hdr_type_ {
  HTTP_HDR_REQUEST = 0,
};

// A libcurl write callback; the userdata it receives is the client.
typedef size_t (*TQLibCurlWriteCallback)(char* data, size_t size, size_t count,
                                         void* userdata);

// TQHttpResult: the outcome of one TQLibCurl::Exchange. The body may hold a
// token: wiped when the result goes.
// Tests: tests/platform/TQLibCurl_test.cpp
struct TQ_EXPORT TQHttpResult {
  TQHttpResult() = default;
  ~TQHttpResult();
  TQHttpResult(const TQHttpResult&) = delete;
  TQHttpResult& operator=(const TQHttpResult&) = delete;

  // A response arrived and, when the client fails on HTTP errors, its
  // status is below 400.
  bool ok = false;
  // The response's status; 0 when none arrived.
  long httpStatus = 0;
  // libcurl's code (CURLcode) for a transfer that failed; 0 when a response
  // arrived.
  long curlCode = 0;
  // The response body, whatever its status, up to kMaxResponseBytes.
  std::string body;
  // For a failed transfer, libcurl's words (or the client's: a CA bundle
  // that cannot be used, a configuration that could not be read).
  std::string errorText;
  // Why it failed (platform/TqFailureReason.h); kNone when ok. Set from
  // libcurl's code, the status and the proxy's answer: 429, and 503 with
  // Retry-After, are kThrottled; other 5xx kServerError; 407 and a proxy
  // that cannot be reached or refuses the tunnel kProxyFailed; other 4xx
  // kInvalidRequest (the caller may know better from the body).
  TqFailureReason reason = TqFailureReason::kNone;
  // The response's Retry-After (whole seconds, or an HTTP-date taken from
  // now), at most 3600; -1 when there is none or it cannot be read.
  int64_t retryAfterSeconds = -1;
  // TCP connections the request opened (0 on a kept-alive connection).
  long newConnections = 0;
};

// TQLibCurl: the HTTP(S) client. It holds its settings; each request runs on
// an easy handle of the process-wide pool (internal/net/CurlPool.h), so the
// requests of every client with the same CA bundle and proxy, one after
// another, share one kept-alive connection, and a new connection resumes a
// TLS session. TLS 1.2 or later, peer and host verification always on. The
// trusted CAs are exactly those of [Http] CAFile of tqcloudauth.ini, or of
// the system bundle when it is unset (no CA folder); a bundle is parsed once
// per version of the file and shared by every connection. Timeouts are
// [Http] ConnectTimeoutSeconds (10) and TimeoutSeconds (30); a value that is
// not a number from 1 to 3600 is replaced by the default with a warning in
// the log. Proxies come only from options set on the client: proxy
// environment variables, NO_PROXY included, are not consulted; a plain
// http:// URL is never sent through the proxy, which would read it in clear. A
// response body is kept up to kMaxResponseBytes. One TQLibCurlSendHttpReq at a
// time per client; Exchange and the signing calls may run on any number of
// threads at once, while nothing changes the client's settings.
// Tests: tests/platform/TQLibCurl_test.cpp
class TQ_EXPORT TQLibCurl {
 public:
  static constexpr size_t kMaxResponseBytes = 1024 * 1024;

  TQLibCurl();
  ~TQLibCurl();
  TQLibCurl(const TQLibCurl&) = delete;
  TQLibCurl& operator=(const TQLibCurl&) = delete;

  // TQLibCurlInit: (re)configures the client from the configuration and
  // these arguments; options set before are dropped. acceptType becomes the
  // Accept header (null: libcurl's default). keepAlive: reuse connections
  // (false: a new connection per request). failOnHttpError: an HTTP status
  // of 400 or more makes the send fail. writeCallback: null keeps each
  // response body in the client for GetHttpResponse; otherwise the body
  // goes to the callback only. False when libcurl's TLS backend cannot take
  // the shared CA store (it is not OpenSSL), and when tqcloudauth.ini cannot
  // be read whole (TQPlatformInfo::Check; each send then fails with its
  // message).
  bool TQLibCurlInit(const char* acceptType, bool keepAlive,
                     bool failOnHttpError,
                     TQLibCurlWriteCallback writeCallback);

  // Sets one of the options the library needs, an allow-list: the proxy
  // (CURLOPT_PROXY, "" for none), its credentials (CURLOPT_PROXYUSERPWD,
  // "user:password") and its type (CURLOPT_PROXYTYPE, CURLPROXY_HTTP only).
  // False before TQLibCurlInit and for any other option or value: TLS
  // version, verification, ciphers, CA, protocols and the rest stay as the
  // client sets them. The setting applies from the next request on.
  bool TQLibCurlSetAdditionalOptionsIntValue(CURLoption option,
                                             const int& value);
  bool TQLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                const std::string& value);

  // Routes libcurl's verbose output to the debug log (level 3): connection
  // and TLS events and header lines, never bodies, with Authorization,
  // Proxy-Authorization and cookie values masked.
  void toggleTrace(bool on);
  bool IsTraceOn() const noexcept { return m_trace; }

  // Discards every header line appended so far.
  void TQLibCurlFreeHttpHeaderList();
  // Appends one complete header line ("Name: value") for the next requests.
  bool TQLibCurlAppendHeader(_http_hdr_type_ type, const char* header);

  // TQLibCurlSendHttpReq: performs one request; data/length are the body of
  // a POST or PUT (not copied: they must stay valid during the call).
  // followRedirects follows up to 5 redirects to https URLs only.
  // customMethod, when not null, replaces the method name. True on success;
  // false for a transport failure (no response, TLS failure, timeout, a
  // response beyond kMaxResponseBytes) and, with failOnHttpError, for an
  // HTTP status of 400 or more.
  bool TQLibCurlSendHttpReq(HTTP_REQ_TYPE type, const char* url,
                            const void* data, unsigned long length,
                            bool followRedirects, const char* customMethod);

  // GetHttpResponse: after a transport failure, libcurl's error text;
  // otherwise the response body of the last request, NUL-terminated. Null
  // with length 0 when there is none. Valid until the next request. The
  // flag is reserved and ignored.
  const char* GetHttpResponse(unsigned long& length, bool reserved);

  // The HTTP status of the last request when a response arrived, otherwise
  // libcurl's error code (CURLcode); 0 before any request.
  long GetHttpErrorCode() const noexcept;

  // Why the last TQLibCurlSendHttpReq failed (as TQHttpResult::reason);
  // kNone when it succeeded or before any request.
  TqFailureReason GetFailureReason() const noexcept;
  // The last response's Retry-After (as TQHttpResult::retryAfterSeconds).
  int64_t GetRetryAfterSeconds() const noexcept;

  // Exchange: one request as TQLibCurlSendHttpReq would send it with this
  // client's settings, each header line of headers added, the body whole
  // (type POST or PUT), no redirect followed; its outcome goes to result
  // rather than to the client (a write callback given at initialisation is
  // not used: the body is in result). Any number of threads may exchange at
  // once on one client, each on a pooled handle of its own. True when
  // result.ok.
  bool Exchange(HTTP_REQ_TYPE type, const std::string& url,
                const std::vector<std::string>& headers,
                const std::string& body, TQHttpResult& result) const;

  // The timeouts in force, in seconds (after TQLibCurlInit).
  long ConnectTimeoutSeconds() const noexcept { return m_connectTimeout; }
  long TimeoutSeconds() const noexcept { return m_timeout; }

  // The number of TCP connections this client's requests opened so far.
  long GetConnectionCount() const noexcept { return m_connections.load(); }

  // SignSHA256withRSA: RSASSA-PKCS1-v1_5 with SHA-256 (RS256) over data with
  // the RSA private key in certificateFile: PEM holding certificate and key
  // (the key plain, or encrypted with password as PKCS#8 or traditional
  // PEM) or PKCS#12 DER protected by password (empty: none). The key is
  // parsed once and kept in the client until the file changes or another
  // file or password is given. True with the signature bytes in signature
  // and their count in length. False, with signature and length untouched,
  // for a missing or unreadable file, a wrong password, a file without a
  // private key, a key that is not RSA, or a signature longer than length.
  // Neither password nor key material is logged or kept in text form. Any
  // number of threads may sign at once.
  // Tests: tests/internal/RsaSigner_test.cpp
  bool SignSHA256withRSA(const std::string& certificateFile,
                         const std::string& data, const std::string& password,
                         unsigned char* signature, unsigned int& length);

  // SignSHA256withRSAPSS: as SignSHA256withRSA, with RSASSA-PSS (PS256:
  // SHA-256, MGF1 with SHA-256, a salt of 32 bytes) instead.
  bool SignSHA256withRSAPSS(const std::string& certificateFile,
                            const std::string& data,
                            const std::string& password,
                            unsigned char* signature, unsigned int& length);

 private:
  friend class TQLibCurlAccess;
  bool Perform(HTTP_REQ_TYPE type, const char* url, const curl_slist* headers,
               const void* data, unsigned long length, bool followRedirects,
               const char* customMethod, TQLibCurlWriteCallback writeCallback,
               void* writeData, TQHttpResult& result) const;
  EvEvent& Log() const;

  bool m_ready = false;
  std::string m_initError;  // why TQLibCurlInit failed, for the sends
  TqFailureReason m_initReason = TqFailureReason::kNone;
  // Settings; the proxy ones decide, with the CA bundle, which pooled
  // connections the requests may use.
  std::string m_caFile;  // empty: the system bundle
  long m_connectTimeout = 0;
  long m_timeout = 0;
  bool m_keepAlive = true;
  TQLibCurlWriteCallback m_writeCallback = nullptr;
  std::string m_proxy;
  long m_proxyType = CURLPROXY_HTTP;
  std::string m_proxyUserPassword;  // wiped
  // internal/net/CurlHandles.h's SlistPtr, spelled out so that this
  // installed header needs no internal one.
  std::unique_ptr<curl_slist, FnDeleter<curl_slist_free_all>> m_headers;
  std::string m_acceptHeader;
  bool m_failOnHttpError = true;
  bool m_trace = false;
  // The last TQLibCurlSendHttpReq's outcome.
  std::unique_ptr<TQHttpResult> m_last;
  mutable std::atomic<long> m_connections{0};
  mutable std::once_flag m_eventMade;
  mutable std::unique_ptr<EvEvent> m_event;  // Log()
  std::unique_ptr<RsaSigner> m_signer;
};
