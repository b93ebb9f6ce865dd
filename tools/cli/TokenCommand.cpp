// token: an access token with a stored credential.

#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"
#include "internal/text/Redact.h"
#include "platform/SecureMemory.h"
#include "tools/cli/CliCommand.h"
#include "tools/cli/CliText.h"
#include "tools/cli/Doctor.h"

namespace tqcli {
namespace {

const char* CauseText(TQCloudAuth::AzureRequestCause cause) {
  switch (cause) {
    case TQCloudAuth::AzureRequestCause::kNoneCached:
      return "none cached";
    case TQCloudAuth::AzureRequestCause::kExpiring:
      return "the cached one expiring";
    case TQCloudAuth::AzureRequestCause::kEarlyRefresh:
      return "early refresh";
    case TQCloudAuth::AzureRequestCause::kNone:
      break;
  }
  return "none";
}

// With --verbose, where the token came from, on standard error.
void ReportSource(const Console& console, const TQCloudAuthLib& lib,
                  bool failed) {
  const auto* azure = dynamic_cast<const TQCloudAuthAzureLib*>(&lib);
  if (azure == nullptr) {
    return;
  }
  const TQCloudAuth::AzureCounters c = azure->getCounters();
  if (c.lastCallFromCache) {
    console.err << "tqcloudauth: token from the cache\n";
  } else if (c.lastCallFromShared) {
    console.err << "tqcloudauth: token from the shared store (another "
                   "process asked the endpoint)\n";
  } else if (c.throttledCalls > 0 && c.requests == 0) {
    console.err << "tqcloudauth: no request sent: throttled\n";
  } else if (c.lastRequestCause != TQCloudAuth::AzureRequestCause::kNone) {
    console.err << "tqcloudauth: " << (failed ? "no token" : "token")
                << " from the endpoint (" << CauseText(c.lastRequestCause)
                << "), the request took " << (c.lastRequestMicros + 500) / 1000
                << " ms\n";
  }
}

}  // namespace

int GetToken(const Console& console, const CredentialTarget& target,
             const TokenOptions& options) {
  if (options.scope.empty() || !IsPrintable(options.scope)) {
    return console.Fail({kExitUsage,
                         "--scope must be non-empty printable UTF-8 text of "
                         "at most 8192 bytes"});
  }
  // With --verbose the whole location chain, else the message alone. A
  // failure a later try may mend exits EX_TEMPFAIL, so that a script knows
  // to try again.
  auto report = [&](const CKoError& failure) {
    const int status = TqFailureReasonIsTransient(failure.GetReason())
                           ? kExitTemporary
                           : kExitFailed;
    console.Fail(
        {status, console.verbose ? failure.ToString() : failure.GetMessage()});
    PrintHint(console, failure, target, options.useProxySettings);
    return status;
  };
  TQCloudAuthLib* raw = nullptr;
  const CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(
      target.assocId, target.entity, options.useProxySettings, raw);
  std::unique_ptr<TQCloudAuthLib> lib(raw);
  if (st.IsError()) {
    return report(st);
  }
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = options.scope;
  TQCloudAuth::GetAuthTokenRet ret;
  StringWipeGuard wipeToken(ret.accessToken);
  const CKoError tokenStatus = lib->getAuthToken(&args, &ret);
  if (console.verbose) {
    ReportSource(console, *lib, tokenStatus.IsError());
  }
  if (tokenStatus.IsError()) {
    return report(tokenStatus);
  }
  if (options.raw) {
    // No real token holds a control character: one that does is not
    // written to the terminal as it is.
    if (HasControlCharacters(ret.accessToken)) {
      return console.Fail(
          {kExitFailed,
           "the access token holds control characters or bytes that "
           "are not UTF-8: not printed with --raw"});
    }
    console.out << ret.accessToken << "\n";
  } else {
    nlohmann::ordered_json reply;
    reply["access_token"] = ret.accessToken;
    reply["token_type"] = ret.tokenType;
    reply["expires_on"] = ret.expireTime;
    // ASCII only: every control character (and all else beyond ASCII) is
    // escaped, and a byte that is not UTF-8 becomes U+FFFD.
    std::string text =
        reply.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    StringWipeGuard wipeText(text);
    console.out << text << "\n";
  }
  return kExitOk;
}

}  // namespace tqcli
