#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "auth/TQCloudAuthArgs.h"
#include "platform/CKoError.h"
#include "platform/EvEvent.h"
#include "platform/TQExport.h"
#include "platform/TQLibCurl.h"
#include "platform/TqcBucket.h"

class TQCloudAuthLibAccess;

// TQCloudAuthLib: the library object every token provider derives from. It
// holds the provider-independent parameters and the HTTP client, and sends
// the provider's requests. The transport functions (setProxyServer,
// setHttpHeaders, sendHttpRequest) may be called from any thread: they take
// the object's transport lock, one request at a time. Initialisation
// (TQCloudAuthLibInit, initCurlObject) runs before the object is shared.
// Tests: tests/auth/TQCloudAuthLib_test.cpp
class TQ_EXPORT TQCloudAuthLib {
 public:
  TQCloudAuthLib() = default;
  // Providers are deleted through this class.
  virtual ~TQCloudAuthLib();
  TQCloudAuthLib(const TQCloudAuthLib&) = delete;
  TQCloudAuthLib& operator=(const TQCloudAuthLib&) = delete;

  // getTQCloudAuthLibInstance: a ready provider for the stored credential
  // (assocId, entity). lib is written only when a provider is created: it
  // then belongs to the caller, also when its Init failed (the status says
  // so). Failures: 774 "Failed to get credential info from Hubmaster",
  // "Failed to unserialize credential info [...]" (at most the first 64
  // characters of the stored text), "CloudAuthLib for credential type [n]
  // not implemented"; 14 when the provider cannot be created (lib null);
  // Init's status with this location pushed.
  // Tests: tests/auth/TQCloudAuthLibFactory_test.cpp
  static CKoError getTQCloudAuthLibInstance(int assocId, int entity,
                                            bool useDBProxySettings,
                                            TQCloudAuthLib*& lib);

  // getAuthToken: a token for args->azureArgs->scope into *ret.
  virtual CKoError getAuthToken(const TQCloudAuth::GetAuthTokenArgs* args,
                                TQCloudAuth::GetAuthTokenRet* ret) = 0;

  // Whether the next initCurlObject reads the proxy from the configuration.
  void setUseDBProxySettingsFlag(bool useDBProxySettings);

  // TQCloudAuthLibInit: keeps the base arguments and marks the object
  // initialised. A second call is a successful no-op that keeps the first
  // arguments. Fails with 14 when the parameter record cannot be created.
  CKoError TQCloudAuthLibInit(const TQCloudAuth::BaseArgs& args);

  // initCurlObject: creates the HTTP client (replacing any earlier one) and
  // configures it: the proxy from [GlobalParam] when the proxy flag is set,
  // and the trace from [EventManager] bEnableCurlTrace. Fails with 14 when
  // the client cannot be created, 774 when it cannot be set up, and with
  // the configuration's failure (TQPlatformInfo::Check) when tqcloudauth.ini
  // cannot be read whole: never a request on settings half read.
  CKoError initCurlObject();

  // setProxyServer: sets the client's proxy ("host:port"). 6 before
  // initialisation; succeeds without effect when there is no client yet.
  CKoError setProxyServer(const std::string& proxy);

  // setHttpHeaders: replaces the client's header lines by headers. 774 with
  // no client, or when a line cannot be added (the lines before it stay).
  CKoError setHttpHeaders(const std::vector<std::string>& headers);

  // sendHttpRequest: installs headers, sends one request and, on success,
  // stores the response body (up to its first NUL) in response. A failed
  // send and an empty response are logged (secret form values masked) and
  // reported with 774, a failed send with the reply text, token values
  // masked and cut to a few KiB (QuoteReply); response is untouched on
  // every failure.
  CKoError sendHttpRequest(HTTP_REQ_TYPE type, const std::string& url,
                           const std::vector<std::string>& headers,
                           const std::string& body, std::string& response);

  // Encoders for building requests. None reports an error or throws on bad
  // input; only std::bad_alloc escapes. Decoders are the lenient Base64
  // decoder of util/Base64Codec.h: characters outside the standard alphabet
  // ("=", white space, "-", "_") are skipped, groups form across them, and a
  // dangling single character is dropped.
  // Tests: tests/auth/TQCloudAuthLibEncoders_test.cpp

  // UrlEncode: the value, up to its first NUL, percent-encoded by the base
  // library's UrlEncode (util/UrlCodec.h: letters, digits and "-_.~/" kept,
  // "%XX" upper-case otherwise). The working storage is wiped, as the value
  // may be a client secret.
  std::string UrlEncode(const std::string& value);

  // base64encode: standard Base64 of length bytes, "=" filled; "" for a
  // length of 0 or below or null data.
  static std::string base64encode(const unsigned char* data, int length);

  // base64decode: the bytes of the text, decoded leniently; an empty bucket
  // when nothing decodes (also for a text longer than INT_MAX characters).
  static TqcBucket base64decode(const std::string& text);

  // base64urlencode: unpadded Base64URL. With inputIsBase64 false, of the
  // bytes (0xFB 0xFF -> "-_8"); with true, the bytes are taken as standard
  // Base64 text and only converted: cut at the first "=" wherever it
  // stands, "+" -> "-", "/" -> "_" ("ab+c/d==" -> "ab-c_d", "ab=cd" ->
  // "ab"). "" for a length of 0 or below or null data.
  static std::string base64urlencode(const unsigned char* data, int length,
                                     bool inputIsBase64);

  // base64urldecode: "-" -> "+", "_" -> "/", "=" filled up when the length
  // is 2 or 3 modulo 4, then base64decode: "-_8" -> 0xFB 0xFF.
  static TqcBucket base64urldecode(const std::string& text);

 protected:
  bool initialized = false;
  EvEvent event;
  std::unique_ptr<TQLibCurl> curl;
  std::unique_ptr<TQCloudAuth::BaseParams> params;
  bool useDBProxySettings = false;

 private:
  friend class TQCloudAuthLibAccess;
  CKoError setHttpHeadersLocked(const std::vector<std::string>& headers);

  std::mutex m_transportMutex;
};
