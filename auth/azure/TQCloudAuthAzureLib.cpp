#include "auth/azure/TQCloudAuthAzureLib.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>
#include <vector>

#include "internal/cache/TokenCache.h"
#include "internal/text/Redact.h"
#include "platform/CKoString.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/TqJson.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/TqHome.h"

namespace {

// The longest lifetime believed: the endpoint's tokens live 60 to 90
// minutes, 28 hours at most; a larger expires_in is taken as two days.
constexpr int64_t kMaxLifetimeSeconds = 2 * 24 * 3600;
// A token living at least this long is refreshed early at half its life
// when the reply names no refresh_in.
constexpr int64_t kHalfLifeRefreshSeconds = 2 * 3600;
constexpr int64_t kAssertionLifetimeSeconds = 3600;
constexpr size_t kPasswordBufferSize = TQPassword::kMaxSecretSize + 1;
constexpr unsigned int kSignatureBufferSize = 4096;
constexpr char kAssertionType[] =
    "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

// A number of seconds in a reply: an integer, or a text of decimal digits.
// False for anything else (a fraction, a boolean, null, an object ...).
bool ReadSeconds(const TqJsonValue& value, int64_t& outSeconds) {
  try {
    if (value.type() == TqJsonValue::int_type) {
      outSeconds = value.get_int64();
      return true;
    }
    if (value.type() == TqJsonValue::str_type) {
      const std::string text = value.get_str();
      if (text.empty() || text.size() > 18 ||
          text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
      }
      outSeconds = std::atol(text.c_str());
      return true;
    }
  } catch (const std::exception&) {
    // an integer beyond 64 bits: as unusable as any other type
  }
  return false;
}

}  // namespace

TQCloudAuthAzureLib::~TQCloudAuthAzureLib() = default;

int64_t TQCloudAuthAzureLib::WallClock() {
  return static_cast<int64_t>(std::time(nullptr));
}

CKoError TQCloudAuthAzureLib::Init(const TQCloudAuth::AzureArgs& args) {
  if (initialized) {
    return CKoError::Success();
  }
  const TQCloudAuth::BaseArgs baseArgs = args;
  CKoError st = TQCloudAuthLibInit(baseArgs);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  initialized = false;
  azureParams.reset(new (std::nothrow) TQCloudAuth::AzureParams());
  if (!azureParams) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
  }
  st = azureParams->initializeParams(args);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  st = initCurlObject();
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  initialized = true;
  return CKoError::Success();
}

bool TQCloudAuthAzureLib::buildClientAssertion(const std::string& tokenUrl,
                                               const std::string& password,
                                               int64_t now,
                                               CKoString& outPart) {
  const std::string thumbprint = azureParams->getCertificateThumbprint();
  const std::string x5t =
      base64urlencode(reinterpret_cast<const unsigned char*>(thumbprint.data()),
                      static_cast<int>(thumbprint.size()), true);
  const CKoString header =
      CKoString::Format(R"({"alg":"RS256","typ":"JWT","x5t":"{1}"})", x5t);
  const std::string applicationId = azureParams->getApplicationId();
  const CKoString payload = CKoString::Format(
      R"({"aud":"{1}", "sub":"{2}", "iss":"{3}", "exp":{4}, "nbf":{5}})",
      tokenUrl, applicationId, applicationId,
      static_cast<long>(now + kAssertionLifetimeSeconds),
      static_cast<long>(now));
  const std::string encodedHeader =
      base64urlencode(reinterpret_cast<const unsigned char*>(header.c_str()),
                      static_cast<int>(header.Length()), false);
  const std::string encodedPayload =
      base64urlencode(reinterpret_cast<const unsigned char*>(payload.c_str()),
                      static_cast<int>(payload.Length()), false);
  const std::string signingInput = encodedHeader + "." + encodedPayload;

  unsigned char signature[kSignatureBufferSize];
  unsigned int length = kSignatureBufferSize;
  if (!curl ||
      !curl->SignSHA256withRSA(azureParams->getCertificateFile(), signingInput,
                               password, signature, length)) {
    return false;
  }
  // With the signature the assertion is a credential in its own right.
  std::string encodedSignature =
      base64urlencode(signature, static_cast<int>(length), false);
  StringWipeGuard wipeSignature(encodedSignature);
  SecureWipe(signature, sizeof signature);
  outPart = CKoString::Format(
      "client_assertion={1}.{2}.{3}&client_assertion_type={4}", encodedHeader,
      encodedPayload, encodedSignature, UrlEncode(kAssertionType));
  return true;
}

CKoError TQCloudAuthAzureLib::getAuthToken(
    const TQCloudAuth::GetAuthTokenArgs* args,
    TQCloudAuth::GetAuthTokenRet* ret) {
  if (!initialized) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   "TQCloudAuthLib is not initialized");
  }
  if (args == nullptr || !args->azureArgs || ret == nullptr || !azureParams ||
      !params) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   "Invalid Arguments");
  }
  const std::string& scope = args->azureArgs->scope;
  CKoError st = azureParams->tokenCache().Get(
      scope, clock,
      [this, &scope](TQCloudAuth::FetchedToken& out) {
        return requestToken(scope, out);
      },
      *ret);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

CKoError TQCloudAuthAzureLib::requestToken(const std::string& scope,
                                           TQCloudAuth::FetchedToken& out) {
  // One request of this provider at a time: the client and its signing key
  // serve one caller at once. Cached tokens are served meanwhile.
  std::lock_guard<std::mutex> lock(m_requestMutex);
  TQCloudAuth::AzureParams& p = *azureParams;
  const CKoString url = CKoString::Format(
      "{1}{2}/oauth2/v2.0/token", p.getLoginEndpoint(), p.getTenantId());
  // The client id is encoded like every other value: it cannot add a field.
  CKoString body = CKoString::Format(
      "client_id={1}&scope={2}&grant_type=client_credentials&",
      UrlEncode(p.getApplicationId()), UrlEncode(scope));

  {
    // The decrypted secret lives only here and in wiped copies.
    SecretBuffer<kPasswordBufferSize> buffer;
    unsigned long length = kPasswordBufferSize - 1;
    const std::string stored = params->getPassword();
    if (!stored.empty()) {
      TQPassword passwordService;
      if (!passwordService.decrypt(stored.c_str(), buffer.data(), &length)) {
        // A home or key file that the checks refuse is named, with its fix.
        const TqHome home;
        CKoError refused =
            home.CheckFile(home.KeyFile(), TqHome::FileKind::kSecret);
        if (refused.IsError() && !TqHome::IsMissing(refused)) {
          return refused.Push(TQ_LOC);
        }
        return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                       "Failed to decrypt password");
      }
    }
    std::string secret = buffer.c_str();
    StringWipeGuard wipeSecret(secret);
    using AzureCredentialRecord::AuthType;
    const auto authType = static_cast<AuthType>(p.getAuthType());
    if (authType == AuthType::kClientSecret) {
      std::string encoded = UrlEncode(secret);
      StringWipeGuard wipeEncoded(encoded);
      body += CKoString::Format("client_secret={1}", encoded);
    } else if (authType == AuthType::kCertificate) {
      // Another credential of the same certificate name may have staged its
      // own certificate there since: never sign with its key.
      CKoError staged = p.stageCertificate();
      if (staged.IsError()) {
        return staged.Push(TQ_LOC);
      }
      CKoString part;
      if (!buildClientAssertion(url.c_str(), secret, clock(), part)) {
        return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                       "Failed to sign jwt assertion");
      }
      body += part;
    } else {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     "Unknown authorization type [%d]",
                                     static_cast<int>(authType));
    }
  }

  const std::vector<std::string> headers = {
      CKoString::Format("Content-Type: {1}",
                        "application/x-www-form-urlencoded")
          .c_str()};
  std::string bodyText(body.c_str(), body.Length());
  StringWipeGuard wipeBody(bodyText);
  std::string response;
  StringWipeGuard wipeResponse(response);
  CKoError st =
      sendHttpRequest(HTTP_REQ_POST, url.c_str(), headers, bodyText, response);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }

  TqJsonMap members;
  bool parsed = false;
  try {
    parsed = TqJson::Unserialize(response, members);
  } catch (...) {
    parsed = false;
  }
  if (!parsed) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   "Failed to unserialize auth response [%s]",
                                   QuoteReply(response).c_str());
  }
  std::string token = TqJson::GetStringValue(members, "access_token");
  StringWipeGuard wipeToken(token);
  const std::string error = TqJson::GetStringValue(members, "error");
  if (!error.empty()) {
    // The endpoint's words are shown, a few KiB of them, but not a token it
    // put among them.
    const std::string description =
        TqJson::GetStringValue(members, "error_description");
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, "Auth request failed with error [%s] [%s]",
        QuoteText(RedactValue(error, token), error.size()).c_str(),
        QuoteText(RedactValue(description, token), description.size()).c_str());
  }

  // Everything is checked before anything is kept: a reply without a token
  // or with an unusable lifetime (not a whole number, or negative: a token
  // already expired) must not replace a good cached token.
  TqJsonValue expiresValue;
  const bool hasExpiresIn =
      TqJson::FindValue(members, "expires_in", expiresValue);
  int64_t expiresIn = 0;
  if (token.empty() ||
      (hasExpiresIn &&
       (!ReadSeconds(expiresValue, expiresIn) || expiresIn < 0))) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   "Failed to unserialize auth response [%s]",
                                   QuoteReply(response).c_str());
  }

  const int64_t now = clock();
  out.token.accessToken = token;
  out.token.tokenType = TqJson::GetStringValue(members, "token_type");
  out.hasExpiry = hasExpiresIn;
  if (hasExpiresIn) {
    const int64_t lifetime = std::min(expiresIn, kMaxLifetimeSeconds);
    out.token.expireTime = now + lifetime;
    TqJsonValue refreshValue;
    int64_t refreshIn = 0;
    if (TqJson::FindValue(members, "refresh_in", refreshValue) &&
        ReadSeconds(refreshValue, refreshIn) && refreshIn > 0 &&
        refreshIn < lifetime) {
      out.token.refreshTime = now + refreshIn;
    } else if (lifetime >= kHalfLifeRefreshSeconds) {
      out.token.refreshTime = now + lifetime / 2;
    }
  }
  return CKoError::Success();
}
