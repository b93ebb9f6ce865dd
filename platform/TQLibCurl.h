#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/EvEvent.h"
#include "platform/TQExport.h"
#include "platform/auto_handle.h"

class RsaSigner;

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
// environment variables, NO_PROXY included, are not consulted. A response
// body is kept up to kMaxResponseBytes. One request at a time per client;
// separate clients may be used on separate threads at once.
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

  // The timeouts in force, in seconds (after TQLibCurlInit).
  long ConnectTimeoutSeconds() const noexcept { return m_connectTimeout; }
  long TimeoutSeconds() const noexcept { return m_timeout; }

  // The number of TCP connections this client's requests opened so far.
  long GetConnectionCount() const noexcept { return m_connections; }

  // SignSHA256withRSA: RSASSA-PKCS1-v1_5 with SHA-256 (RS256) over data with
  // the RSA private key in certificateFile: PEM holding certificate and key
  // (the key plain, or encrypted with password as PKCS#8 or traditional
  // PEM) or PKCS#12 DER protected by password (empty: none). The key is
  // parsed once and kept in the client until the file changes or another
  // file or password is given. True with the signature bytes in signature
  // and their count in length. False, with signature and length untouched,
  // for a missing or unreadable file, a wrong password, a file without a
  // private key, a key that is not RSA, or a signature longer than length.
  // Neither password nor key material is logged or kept in text form.
  // Tests: tests/internal/RsaSigner_test.cpp
  bool SignSHA256withRSA(const std::string& certificateFile,
                         const std::string& data, const std::string& password,
                         unsigned char* signature, unsigned int& length);

 private:
  static size_t StoreBody(char* data, size_t size, size_t count, void* self);
  static int Trace(CURL* handle, curl_infotype type, char* data, size_t size,
                   void* self);
  void ResetResult();
  bool Fail(CURLcode code, const std::string& text);
  EvEvent& Log();

  bool m_ready = false;
  std::string m_initError;  // why TQLibCurlInit failed, for the sends
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
  bool m_overflow = false;
  std::string m_response;
  std::string m_errorText;
  long m_httpStatus = 0;
  CURLcode m_curlCode = CURLE_OK;
  long m_connections = 0;
  char m_errorBuffer[CURL_ERROR_SIZE] = {};
  std::unique_ptr<EvEvent> m_event;  // Log()
  std::unique_ptr<RsaSigner> m_signer;
};
