#include "auth/azure/TQCloudAuthAzureLib.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <vector>

#include "auth/azure/internal/ClientAssertion.h"
#include "auth/azure/internal/ProviderState.h"
#include "auth/azure/internal/TokenReply.h"
#include "auth/internal/RequestFailure.h"
#include "auth/internal/TQCloudAuthLibAccess.h"
#include "internal/crypto/CertificateFile.h"
#include "internal/text/Redact.h"
#include "platform/CKoString.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/internal/ConfigFile.h"

using TQCloudAuth::AzureProviderState;
using TQCloudAuth::FetchedToken;

namespace {

// The longest lifetime believed: the endpoint's tokens live 60 to 90
// minutes, 28 hours at most; a larger expires_in is taken as two days.
constexpr int64_t kMaxLifetimeSeconds = 2 * 24 * 3600;
// A token living at least this long is refreshed early at half its life
// when the reply names no refresh_in.
constexpr int64_t kHalfLifeRefreshSeconds = 2 * 3600;
constexpr size_t kPasswordBufferSize = TQPassword::kMaxSecretSize + 1;

CKoError Unusable(const FXCodeLocation& loc, const std::string& reply,
                  const std::vector<std::string>& secrets) {
  std::string masked = MaskSecrets(reply, secrets);
  CKoError st = FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kBadReply,
      "Failed to unserialize auth response [%s]", QuoteReply(masked).c_str());
  WipeString(masked);
  return st;
}

// A text the endpoint wrote, for a message: its secret and any token masked,
// cut to a few KiB.
std::string Quoted(const std::string& text, const std::string& token,
                   const std::vector<std::string>& secrets) {
  std::string masked = MaskSecrets(RedactValue(text, token), secrets);
  std::string quoted = QuoteText(masked, text.size());
  WipeString(masked);
  return quoted;
}

}  // namespace

TQCloudAuthAzureLib::TQCloudAuthAzureLib()
    : m_state(std::make_unique<AzureProviderState>()) {}

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
  // Read once, for the transport and the assertion alike.
  const ConfigSnapshot config = LoadConfig();
  st = TQCloudAuthLibAccess::InitCurl(*this, config);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  AzureProviderState& state = *m_state;
  state.algorithm = AssertionAlgorithm::kRs256;
  state.algorithmValid =
      !config.ini->Get(kAssertionAlgorithmSection, kAssertionAlgorithmKey,
                       state.algorithmText) ||
      ParseAssertionAlgorithm(state.algorithmText, state.algorithm);
  initialized = true;
  return CKoError::Success();
}

CKoError TQCloudAuthAzureLib::getAuthToken(
    const TQCloudAuth::GetAuthTokenArgs* args,
    TQCloudAuth::GetAuthTokenRet* ret) {
  if (!initialized) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "TQCloudAuthLib is not initialized");
  }
  if (args == nullptr || !args->azureArgs || ret == nullptr || !azureParams ||
      !params) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "Invalid Arguments");
  }
  const std::string& scope = args->azureArgs->scope;
  CKoError st = m_state->cache.Get(
      scope, clock,
      [this, &scope](FetchedToken& out) {
        return AzureProviderAccess::RequestToken(*this, scope, out);
      },
      *ret);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

TQCloudAuth::TokenCache& AzureProviderAccess::Cache(TQCloudAuthAzureLib& lib) {
  return lib.m_state->cache;
}

CKoError AzureProviderAccess::Sha256Thumbprint(TQCloudAuthAzureLib& lib,
                                               const std::string& password,
                                               std::string& outThumbprint) {
  AzureProviderState& state = *lib.m_state;
  std::lock_guard<std::mutex> lock(state.thumbprintMutex);
  if (state.sha256Thumbprint.empty()) {
    const std::string& bytes = lib.azureParams->stagedCertificate;
    const CertificateFile parsed =
        CertificateFile::Parse(bytes.data(), bytes.size(), password);
    state.sha256Thumbprint = Thumbprint(parsed.certificate.get(), EVP_sha256());
    if (state.sha256Thumbprint.empty()) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kCredentialInvalid,
                                     "Failed to sign jwt assertion");
    }
  }
  outThumbprint = state.sha256Thumbprint;
  return CKoError::Success();
}

CKoError AzureProviderAccess::RequestToken(TQCloudAuthAzureLib& lib,
                                           const std::string& scope,
                                           FetchedToken& out) {
  // No lock of the provider's is held: requests for different scopes run at
  // once, each on a pooled connection of its own.
  const TQCloudAuth::AzureParams& p = *lib.azureParams;
  AzureProviderState& state = *lib.m_state;
  const CKoString url = CKoString::Format(
      "{1}{2}/oauth2/v2.0/token", p.getLoginEndpoint(), p.getTenantId());
  // The client id is encoded like every other value: it cannot add a field.
  CKoString body = CKoString::Format(
      "client_id={1}&scope={2}&grant_type=client_credentials&",
      lib.UrlEncode(p.getApplicationId()), lib.UrlEncode(scope));

  // The decrypted secret lives only here and in wiped copies, until the
  // request's outcome is known: a reply that echoes it is masked.
  SecretBuffer<kPasswordBufferSize> buffer;
  unsigned long length = kPasswordBufferSize - 1;
  const std::string stored = lib.params->getPassword();
  if (!stored.empty()) {
    CKoError st = TQPassword().Decrypt(stored.c_str(), buffer.data(), &length);
    if (st.IsError()) {
      return st.Push(TQ_LOC);
    }
  }
  std::vector<std::string> secrets{std::string(buffer.c_str())};
  struct WipeSecrets {
    std::vector<std::string>& v;
    ~WipeSecrets() {
      for (std::string& s : v) {
        WipeString(s);
      }
    }
  } wipeSecrets{secrets};
  const std::string& secret = secrets.front();
  buffer.Wipe();

  const App::AzureAuthType authType = p.getAuthType();
  if (authType == App::AzureAuthType::kClientSecret) {
    std::string encoded = lib.UrlEncode(secret);
    StringWipeGuard wipeEncoded(encoded);
    body += CKoString::Format("client_secret={1}", encoded);
  } else if (authType == App::AzureAuthType::kCertificate) {
    if (!state.algorithmValid) {
      return FXErrorUtil::ErrorWin32(
          TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kConfigInvalid,
          "[%s] %s [%s] in tqcloudauth.ini is not %s",
          kAssertionAlgorithmSection, kAssertionAlgorithmKey,
          EscapeControls(QuoteText(state.algorithmText), LineBreaks::kEscape)
              .c_str(),
          kAssertionAlgorithmValues);
    }
    // Another credential of the same certificate name may have staged its
    // own certificate there since: never sign with its key.
    CKoError staged = lib.azureParams->stageCertificate();
    if (staged.IsError()) {
      return staged.Push(TQ_LOC);
    }
    AssertionInputs in;
    in.algorithm = state.algorithm;
    in.tokenUrl = url.c_str();
    in.applicationId = p.getApplicationId();
    in.now = lib.clock();
    const std::string file = p.getCertificateFile();
    TQLibCurl& curl = *lib.curl;
    if (in.algorithm == AssertionAlgorithm::kPs256) {
      CKoError st = Sha256Thumbprint(lib, secret, in.thumbprint);
      if (st.IsError()) {
        return st.Push(TQ_LOC);
      }
    } else {
      in.thumbprint = p.getCertificateThumbprint();
    }
    CKoString part;
    const bool signed_ = BuildAssertionPart(
        in,
        [&](const std::string& input, unsigned char* signature,
            unsigned int& size) {
          return in.algorithm == AssertionAlgorithm::kPs256
                     ? curl.SignSHA256withRSAPSS(file, input, secret, signature,
                                                 size)
                     : curl.SignSHA256withRSA(file, input, secret, signature,
                                              size);
        },
        part);
    if (!signed_) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kCredentialInvalid,
                                     "Failed to sign jwt assertion");
    }
    body += part;
  } else {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kCredentialInvalid,
        "Unknown authorization type [%d]", static_cast<int>(authType));
  }

  const std::vector<std::string> headers = {
      CKoString::Format("Content-Type: {1}",
                        "application/x-www-form-urlencoded")
          .c_str()};
  std::string bodyText(body.c_str(), body.Length());
  StringWipeGuard wipeBody(bodyText);
  TQHttpResult result;
  if (!lib.curl->Exchange(HTTP_REQ_POST, url.c_str(), headers, bodyText,
                          result)) {
    SendFailure failure;
    failure.code = result.curlCode != 0 ? result.curlCode : result.httpStatus;
    failure.text = result.curlCode != 0 ? result.errorText : result.body;
    failure.reason = result.reason;
    failure.retryAfterSeconds = std::max<int64_t>(result.retryAfterSeconds, 0);
    // The endpoint says best what went wrong: its error names the kind and
    // the AADSTS number.
    AadError error;
    if (result.curlCode == 0 && failure.reason != TqFailureReason::kThrottled &&
        ReadAadError(result.body, error)) {
      failure.reason = error.reason;
      failure.serviceCode = error.code;
    }
    CKoError st = RequestFailed(TQ_LOC, lib.event, url.c_str(), bodyText,
                                failure, secrets);
    WipeString(failure.text);
    return st;
  }
  if (result.body.empty()) {
    return ResponseEmpty(TQ_LOC, lib.event, url.c_str(), bodyText);
  }
  const std::string& response = result.body;

  AadError error;
  TokenFields fields;
  switch (ReadTokenReply(response, fields, error)) {
    case ReplyKind::kToken:
      break;
    case ReplyKind::kError: {
      // The endpoint's words are shown, a few KiB of them, but not a token
      // or the secret it put among them.
      CKoError st = FXErrorUtil::ErrorWin32(
          TQ_LOC, TQ_ERROR_GENERAL, error.reason,
          "Auth request failed with error [%s] [%s]",
          Quoted(error.error, error.token, secrets).c_str(),
          Quoted(error.description, error.token, secrets).c_str());
      return st.SetServiceCode(error.code);
    }
    case ReplyKind::kUnusable:
      // Everything is checked before anything is kept: a reply without a
      // token or with an unusable lifetime (not a whole number, or
      // negative: a token already expired) must not replace a good cached
      // token.
      return Unusable(TQ_LOC, response, secrets);
  }

  const int64_t now = lib.clock();
  out.token.accessToken = fields.accessToken;
  out.token.tokenType = fields.tokenType;
  out.hasExpiry = fields.hasExpiresIn;
  if (fields.hasExpiresIn) {
    const int64_t lifetime = std::min(fields.expiresIn, kMaxLifetimeSeconds);
    out.token.expireTime = now + lifetime;
    if (fields.hasRefreshIn && fields.refreshIn < lifetime) {
      out.token.refreshTime = now + fields.refreshIn;
    } else if (lifetime >= kHalfLifeRefreshSeconds) {
      out.token.refreshTime = now + lifetime / 2;
    }
  }
  return CKoError::Success();
}
