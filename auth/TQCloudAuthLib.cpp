#include "auth/TQCloudAuthLib.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ProviderState.h"
#include "auth/internal/RequestFailure.h"
#include "auth/internal/TQCloudAuthLibAccess.h"
#include "internal/base/Decimal.h"
#include "internal/text/Redact.h"
#include "platform/AppMessages.h"
#include "platform/SecureMemory.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/ConfigFile.h"
#include "platform/internal/PgStore.h"
#include "platform/internal/ProxySettings.h"
#include "platform/internal/StoreSettings.h"
#include "platform/internal/StoredRow.h"
#include "platform/internal/TQLibCurlAccess.h"
#include "platform/internal/TqHome.h"
#include "util/Base64Codec.h"
#include "util/UrlCodec.h"

TQCloudAuthLib::~TQCloudAuthLib() = default;

void TQCloudAuthLib::setUseDBProxySettingsFlag(bool useDBProxySettings_) {
  useDBProxySettings = useDBProxySettings_;
}

CKoError TQCloudAuthLib::TQCloudAuthLibInit(const TQCloudAuth::BaseArgs& args) {
  if (initialized) {
    return CKoError::Success();
  }
  params.reset(new (std::nothrow) TQCloudAuth::BaseParams());
  if (!params) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
  }
  CKoError st = params->initializeParams(args);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  initialized = true;
  return CKoError::Success();
}

CKoError TQCloudAuthLib::initCurlObject() {
  return TQCloudAuthLibAccess::InitCurl(*this, LoadConfig());
}

CKoError TQCloudAuthLibAccess::InitCurl(TQCloudAuthLib& lib,
                                        const ConfigSnapshot& config) {
  std::unique_ptr<TQLibCurl>& curl = lib.curl;
  curl.reset(new (std::nothrow) TQLibCurl());
  if (!curl) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
  }
  // Timeouts, CA bundle, proxy and trace come from the configuration: a
  // file that cannot be read whole fails here, naming the file and the
  // line (a proxy left out of a half-read file would send the request
  // direct).
  if (config.status.IsError()) {
    CKoError st = config.status.Copy();
    return st.Push(TQ_LOC);
  }
  if (!TQLibCurlAccess::Init(*curl, config, "application/json", true, true,
                             nullptr)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInternal,
                                   "Failed to Initialize Curl Library.");
  }

  ProxySettings proxy;
  if (lib.useDBProxySettings) {
    DecideProxy(*config.ini, proxy);
  }
  if (proxy.on) {
    if (!curl->TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_PROXYTYPE,
                                                     CURLPROXY_HTTP)) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kConfigInvalid,
                                     "Failed to set HTTP proxy.");
    }
    if (!curl->TQLibCurlSetAdditionalOptionsStringValue(
            CURLOPT_PROXY, proxy.site + ":" + proxy.port)) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kConfigInvalid,
                                     "Failed to set HTTP proxy name and port.");
    }
    if (proxy.authenticate) {
      std::string userPassword = proxy.user + ":" + proxy.password;
      StringWipeGuard wipe(userPassword);
      if (!curl->TQLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXYUSERPWD,
                                                          userPassword)) {
        return FXErrorUtil::ErrorWin32(
            TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kConfigInvalid,
            "Failed to set HTTP proxy user and password.");
      }
    }
  }

  std::string trace;
  int64_t traceOn = 0;
  curl->toggleTrace(
      config.ini->Get("EventManager", "bEnableCurlTrace", trace) &&
      ParseDecimal(trace, 0, INT64_MAX, traceOn) &&
      (traceOn & 0xFFFFFFFF) != 0);
  return CKoError::Success();
}

CKoError TQCloudAuthLib::setProxyServer(const std::string& proxy) {
  if (!initialized) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_HANDLE,
                                   TqFailureReason::kInvalidArgument,
                                   "Curl Library is not initialized.");
  }
  std::lock_guard<std::mutex> lock(m_transportMutex);
  if (curl &&
      !curl->TQLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXY, proxy)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "Failed to set HTTP proxy name and port.");
  }
  return CKoError::Success();
}

CKoError TQCloudAuthLib::setHttpHeaders(
    const std::vector<std::string>& headers) {
  std::lock_guard<std::mutex> lock(m_transportMutex);
  CKoError st = setHttpHeadersLocked(headers);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

CKoError TQCloudAuthLib::setHttpHeadersLocked(
    const std::vector<std::string>& headers) {
  if (!curl) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "Curl lib is not initialized");
  }
  curl->TQLibCurlFreeHttpHeaderList();
  for (const std::string& header : headers) {
    if (!curl->TQLibCurlAppendHeader(HTTP_HDR_REQUEST, header.c_str())) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kInvalidArgument,
                                     "Failed to add header");
    }
  }
  return CKoError::Success();
}

CKoError TQCloudAuthLib::sendHttpRequest(
    HTTP_REQ_TYPE type, const std::string& url,
    const std::vector<std::string>& headers, const std::string& body,
    std::string& response) {
  std::lock_guard<std::mutex> lock(m_transportMutex);
  if (!curl) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "Curl lib is not initialized");
  }
  CKoError st = setHttpHeadersLocked(headers);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  const bool sent = curl->TQLibCurlSendHttpReq(type, url.c_str(), body.data(),
                                               body.size(), false, nullptr);
  unsigned long length = 0;
  const char* text = curl->GetHttpResponse(length, false);

  if (!sent) {
    SendFailure failure;
    failure.code = curl->GetHttpErrorCode();
    failure.text = text != nullptr ? text : "";
    failure.reason = curl->GetFailureReason();
    failure.retryAfterSeconds =
        std::max<int64_t>(curl->GetRetryAfterSeconds(), 0);
    return RequestFailed(TQ_LOC, event, url, body, failure, {});
  }
  if (length == 0 || text == nullptr) {
    return ResponseEmpty(TQ_LOC, event, url, body);
  }
  response = text;
  return CKoError::Success();
}

namespace {

// The stored text may carry a certificate with its key: a failure shows
// only its beginning.
constexpr size_t kShownCredentialInfoChars = 64;

std::string ShownCredentialInfo(const std::string& text) {
  if (text.size() <= kShownCredentialInfoChars) {
    return text;
  }
  return text.substr(0, kShownCredentialInfoChars) + "...(" +
         std::to_string(text.size()) + " bytes)";
}

}  // namespace

CKoError TQCloudAuthLib::getTQCloudAuthLibInstance(int assocId, int entity,
                                                   bool useDBProxySettings,
                                                   TQCloudAuthLib*& lib) {
  // The configuration is read once, here: it chooses the store, and the
  // provider's Init takes it over.
  const ConfigSnapshot config = LoadConfig();
  StoredCredential stored;
  {
    const StoreSettings stores = ReadStoreSettings(config);
    CKoError why = stores.urlProblem;
    if (!why.IsError()) {
      const std::shared_ptr<PgDatabase> database =
          stores.databaseUrl.empty() ? nullptr
                                     : PgDatabase::Of(stores.databaseUrl);
      why = FindStoredRow(database, assocId, entity, stored);
    }
    if (TqHome::IsMissing(why) ||
        why.GetReason() == TqFailureReason::kNotStored) {
      return FXErrorUtil::ErrorWin32(
          TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kNotStored,
          "Failed to get credential info from Hubmaster");
    }
    if (why.IsError()) {
      // The store's own words name it and its problem; its reason (a store
      // refused by the home's checks, or one that cannot be read) is kept.
      return FXErrorUtil::ErrorWin32(
          TQ_LOC, TQ_ERROR_GENERAL, why.GetReason(),
          "Failed to get credential info from Hubmaster: %s",
          why.GetMessage().c_str());
    }
  }
  const int credentialType = stored.credentialType;
  const std::string& password = stored.password;
  const std::string& additionalInfo = stored.additionalInfo;
  TQCloudAuth::AzureArgs args;
  if (!AzureCredentialRecord::FromAdditionalInfo(additionalInfo,
                                                 args.credentialInfo)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kCredentialInvalid,
                                   "Failed to unserialize credential info [%s]",
                                   ShownCredentialInfo(additionalInfo).c_str());
  }
  if (credentialType != AzureCredentialRecord::kCredentialType) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kCredentialInvalid,
        "CloudAuthLib for credential type [%d] not implemented",
        credentialType);
  }
  auto* azure = new (std::nothrow) TQCloudAuthAzureLib();
  lib = azure;
  if (azure == nullptr) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
  }
  args.password = password;
  // The provider notices when this stored credential is rotated.
  AzureProviderAccess::RememberStored(*azure, assocId, entity, additionalInfo,
                                      config);
  azure->setUseDBProxySettingsFlag(useDBProxySettings);
  CKoError st = azure->Init(args);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

std::string TQCloudAuthLib::UrlEncode(const std::string& value) {
  std::vector<char> storage;
  // Wipes the encoded value before the vector frees it; declared after it,
  // so it runs first, and after the result has been copied out.
  struct WipeOnExit {
    std::vector<char>& v;
    ~WipeOnExit() { SecureWipe(v.data(), v.size()); }
  } wipe{storage};
  return std::string(::UrlEncode(value.c_str(), storage));
}

std::string TQCloudAuthLib::base64encode(const unsigned char* data,
                                         int length) {
  if (data == nullptr || length <= 0) {
    return std::string();
  }
  // The encoded length plus a terminator, in size_t: (length + 2) would
  // overflow an int near INT_MAX. Wiped: it may encode a signature.
  std::vector<char, ZeroingAllocator<char>> buffer(
      (static_cast<size_t>(length) + 2) / 3 * 4 + 1);
  const int written = base64Encode(data, length, buffer.data());
  return std::string(buffer.data(), static_cast<size_t>(written));
}

TqcBucket TQCloudAuthLib::base64decode(const std::string& text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    return TqcBucket();
  }
  // The decoded bytes may be key material: wiped when the buffer goes,
  // whichever way this returns.
  std::vector<char, ZeroingAllocator<char>> buffer(text.size() + 1);
  const int count =
      base64Decode(reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<int>(text.size()), buffer.data());
  return TqcBucket(buffer.data(), count);
}

std::string TQCloudAuthLib::base64urlencode(const unsigned char* data,
                                            int length, bool inputIsBase64) {
  std::string text;
  if (!inputIsBase64) {
    text = base64encode(data, length);
  } else if (data != nullptr && length > 0) {
    text.assign(reinterpret_cast<const char*>(data),
                static_cast<size_t>(length));
  }
  const size_t fill = text.find('=');
  if (fill != std::string::npos) {
    text.erase(fill);
  }
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

TqcBucket TQCloudAuthLib::base64urldecode(const std::string& text) {
  std::string copy = text;
  std::replace(copy.begin(), copy.end(), '-', '+');
  std::replace(copy.begin(), copy.end(), '_', '/');
  switch (copy.size() % 4) {
    case 2:
      copy += "==";
      break;
    case 3:
      copy += "=";
      break;
    default:
      break;
  }
  return base64decode(copy);
}
