// The Azure provider's token request: the credential it uses (a rotated one
// noticed), the endpoint's waits honoured, the body with the secret or the
// signed assertion, the reply read.

#include <algorithm>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ClientAssertion.h"
#include "auth/azure/internal/ProviderState.h"
#include "auth/azure/internal/TokenReply.h"
#include "auth/internal/RequestFailure.h"
#include "internal/cache/ThrottleGate.h"
#include "internal/crypto/CertificateFile.h"
#include "internal/text/Redact.h"
#include "platform/CKoString.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/StoredRow.h"

using TQCloudAuth::AzureProviderState;
using TQCloudAuth::CredentialSnapshot;
using TQCloudAuth::FetchedToken;

namespace {

// The longest lifetime believed: the endpoint's tokens live 60 to 90
// minutes, 28 hours at most; a larger expires_in is taken as two days.
constexpr int64_t kMaxLifetimeSeconds = 2 * 24 * 3600;
// A token living at least this long is refreshed early at half its life
// when the reply names no refresh_in.
constexpr int64_t kHalfLifeRefreshSeconds = 2 * 3600;
// Early refreshes are spread over this share of their point either way,
// so that processes started together do not refresh together.
constexpr int64_t kJitterPercent = 10;
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

// seconds moved by up to kJitterPercent either way, at random.
int64_t Jittered(int64_t seconds) {
  const int64_t spread = seconds * kJitterPercent / 100;
  if (spread <= 0) {
    return seconds;
  }
  uint64_t random = 0;
  thread_local uint64_t state = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_nsec) ^
           (reinterpret_cast<uintptr_t>(&ts) << 16) ^ 0x9E3779B97F4A7C15ull;
  }();
  // xorshift64*: spreading, not secrecy.
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  random = state * 0x2545F4914F6CDD1Dull;
  return seconds - spread +
         static_cast<int64_t>(random % static_cast<uint64_t>(2 * spread + 1));
}

std::string ThrottleKeyOf(const TQCloudAuth::AzureParams& p) {
  return ThrottleGate::Key(p.getLoginEndpoint(), p.getTenantId(),
                           p.getApplicationId());
}

}  // namespace

CKoError AzureProviderAccess::FetchToken(TQCloudAuthAzureLib& lib,
                                         const std::string& scope,
                                         FetchedToken& out,
                                         SharedTokens::Source& source) {
  AzureProviderState& state = *lib.m_state;
  source = SharedTokens::Source::kAlone;
  if (state.sharingProblem.IsError()) {
    return CKoError(state.sharingProblem).Push(TQ_LOC);
  }
  if (state.shared == nullptr) {
    return RequestToken(lib, scope, out);
  }
  // Named by the credential in use now: a rotated one may be another
  // application's.
  std::shared_ptr<CredentialSnapshot> snapshot;
  CKoError st = Current(lib, snapshot);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  TQCloudAuth::CachedToken held;
  const int64_t have =
      state.cache->Find(scope, held) ? held.expireTime : int64_t{0};
  return state.shared->Fetch(
      ThrottleKeyOf(*snapshot->params), scope, have,
      static_cast<int64_t>(lib.curl->TimeoutSeconds()) * 1000, lib.clock(),
      [&lib, &snapshot, &scope](FetchedToken& fetched) {
        return RequestFrom(lib, snapshot, scope, fetched);
      },
      out, source);
}

CKoError AzureProviderAccess::Current(
    TQCloudAuthAzureLib& lib, std::shared_ptr<CredentialSnapshot>& out) {
  AzureProviderState& state = *lib.m_state;
  {
    std::lock_guard<std::mutex> lock(state.credentialMutex);
    out = state.credential;
  }
  if (!state.stored || !state.storeKnown) {
    return CKoError::Success();
  }
  // A cheap look in the store the provider was made from: it gives the row
  // it holds without a query while its file has not changed.
  StoredCredential row;
  if (FindStoredRow(state.storeDatabase, state.assocId, state.entity, row)
          .IsError()) {
    // The store cannot tell now (or the credential went): the provider goes
    // on with what it has, as it would without a store.
    return CKoError::Success();
  }
  const std::string& password = row.password;
  const std::string& info = row.additionalInfo;
  if (password == out->storedPassword && info == out->rowInfo) {
    return CKoError::Success();
  }
  TQCloudAuth::AzureArgs args;
  if (!AzureCredentialRecord::FromAdditionalInfo(info, args.credentialInfo)) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kCredentialInvalid,
        "Failed to unserialize credential info of the credential stored "
        "again");
  }
  args.password = password;
  auto next = std::make_shared<CredentialSnapshot>();
  next->owned = std::make_unique<TQCloudAuth::AzureParams>();
  // The new certificate is staged now, over the old one of its name.
  CKoError st = next->owned->initializeParams(args);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  next->params = next->owned.get();
  next->storedPassword = password;
  next->rowInfo = info;
  std::lock_guard<std::mutex> lock(state.credentialMutex);
  // Of two threads that both noticed, the first one's stays.
  if (state.credential->storedPassword != password ||
      state.credential->rowInfo != info) {
    state.credential = std::move(next);
  }
  out = state.credential;
  return CKoError::Success();
}

CKoError AzureProviderAccess::Sha256Thumbprint(CredentialSnapshot& snapshot,
                                               const std::string& password,
                                               std::string& outThumbprint) {
  std::lock_guard<std::mutex> lock(snapshot.thumbprintMutex);
  if (snapshot.sha256Thumbprint.empty()) {
    const std::string& bytes = snapshot.params->stagedCertificate;
    const CertificateFile parsed =
        CertificateFile::Parse(bytes.data(), bytes.size(), password);
    snapshot.sha256Thumbprint =
        Thumbprint(parsed.certificate.get(), EVP_sha256());
    if (snapshot.sha256Thumbprint.empty()) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kCredentialInvalid,
                                     "Failed to sign jwt assertion");
    }
  }
  outThumbprint = snapshot.sha256Thumbprint;
  return CKoError::Success();
}

CKoError AzureProviderAccess::RequestToken(TQCloudAuthAzureLib& lib,
                                           const std::string& scope,
                                           FetchedToken& out) {
  std::shared_ptr<CredentialSnapshot> snapshot;
  CKoError st = Current(lib, snapshot);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return RequestFrom(lib, snapshot, scope, out);
}

CKoError AzureProviderAccess::RequestFrom(
    TQCloudAuthAzureLib& lib,
    const std::shared_ptr<CredentialSnapshot>& snapshot,
    const std::string& scope, FetchedToken& out) {
  CKoError st = RequestWith(lib, *snapshot, scope, out);
  if (st.GetReason() != TqFailureReason::kCredentialRejected ||
      !lib.m_state->stored) {
    return st;
  }
  // Refused: the credential may have been rotated since it was read. Read
  // again once, and when it changed, try once with the new one.
  std::shared_ptr<CredentialSnapshot> again;
  if (Current(lib, again).IsError() || again == snapshot) {
    return st;
  }
  return RequestWith(lib, *again, scope, out);
}

CKoError AzureProviderAccess::RequestWith(TQCloudAuthAzureLib& lib,
                                          CredentialSnapshot& snapshot,
                                          const std::string& scope,
                                          FetchedToken& out) {
  // No lock of the provider's is held: requests for different scopes run at
  // once, each on a pooled connection of its own.
  const TQCloudAuth::AzureParams& p = *snapshot.params;
  AzureProviderState& state = *lib.m_state;

  // The endpoint asked this credential to wait: nothing is sent until then,
  // whichever provider asks.
  const std::string throttleKey = ThrottleKeyOf(p);
  const int64_t waitMs =
      ThrottleGate::RemainingMs(throttleKey, ThrottleGate::NowMs());
  if (waitMs > 0) {
    ++state.throttledCalls;
    const int64_t seconds = (waitMs + 999) / 1000;
    CKoError throttled = FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kThrottled,
        "Token requests for client [%s] of tenant [%s] are throttled by the "
        "login endpoint: no request is sent for %lld more seconds",
        p.getApplicationId().c_str(), p.getTenantId().c_str(),
        static_cast<long long>(seconds));
    return throttled.SetRetryAfterSeconds(seconds);
  }

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
  if (!snapshot.storedPassword.empty()) {
    CKoError st = TQPassword().Decrypt(snapshot.storedPassword.c_str(),
                                       buffer.data(), &length);
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
    CKoError staged = snapshot.params->stageCertificate();
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
      CKoError st = Sha256Thumbprint(snapshot, secret, in.thumbprint);
      if (st.IsError()) {
        return st.Push(TQ_LOC);
      }
    } else {
      in.thumbprint = p.getCertificateThumbprint();
    }
    CKoString part;
    const bool signedPart = BuildAssertionPart(
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
    if (!signedPart) {
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
  ++state.requests;
  const bool sent =
      lib.curl->Exchange(HTTP_REQ_POST, url.c_str(), headers, bodyText, result);
  // The endpoint's own wait, told by 429 (or 503 with Retry-After), holds
  // for every provider of the credential in this process.
  if (result.reason == TqFailureReason::kThrottled) {
    const int64_t seconds = result.retryAfterSeconds >= 0
                                ? result.retryAfterSeconds
                                : ThrottleGate::kDefaultWaitSeconds;
    result.retryAfterSeconds = seconds;
    ThrottleGate::Hold(throttleKey, ThrottleGate::NowMs() + seconds * 1000);
  }
  if (!sent) {
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
      out.token.refreshTime = now + Jittered(fields.refreshIn);
    } else if (lifetime >= kHalfLifeRefreshSeconds) {
      out.token.refreshTime = now + Jittered(lifetime / 2);
    }
  }
  return CKoError::Success();
}
