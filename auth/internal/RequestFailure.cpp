#include "auth/internal/RequestFailure.h"

#include "internal/text/Redact.h"
#include "platform/SecureMemory.h"
#include "util/UrlCodec.h"

namespace {

// How a JSON text writes value: an endpoint that echoes a secret in a JSON
// reply escapes its quotes, backslashes and slashes.
std::string JsonEscaped(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '"' || c == '\\' || c == '/') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

// Every byte but RFC 3986's unreserved ones as %XX, in the case given: the
// way a server may write back what it decoded.
std::string PercentEncoded(const std::string& value, bool upper) {
  const char* const hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
        (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' ||
        b == '~') {
      out += c;
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string MaskSecrets(std::string text,
                        const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    std::string forms[] = {secret, urlEncode(secret),
                           PercentEncoded(secret, true),
                           PercentEncoded(secret, false), JsonEscaped(secret)};
    for (std::string& form : forms) {
      std::string masked = RedactSecret(text, form);
      WipeString(text);
      text.swap(masked);
      WipeString(form);
    }
  }
  return text;
}

CKoError RequestFailed(const FXCodeLocation& loc, EvDebug& log,
                       const std::string& url, const std::string& body,
                       const SendFailure& failure,
                       const std::vector<std::string>& secrets) {
  // The body carries the client secret or the signed assertion: only the
  // harmless form fields are written. A failed reply may still carry a
  // token (a gateway's 5xx around one) or echo the secret: masked too, and
  // the text is cut to a few KiB.
  std::string masked = MaskSecrets(failure.text, secrets);
  const std::string message = QuoteReply(masked);
  WipeString(masked);
  log.DebugLvl("sendHttpRequest", EvDebug::kFailure,
               "Error: Request [%s] [%s] failed with ErrorCode [%ld] "
               "Message [%s]",
               url.c_str(), RedactFormBody(body).c_str(), failure.code,
               message.c_str());
  CKoError st = FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, failure.reason,
      "Request failed with ErrorCode [%ld] Message [%s]", failure.code,
      message.c_str());
  return st.SetRetryAfterSeconds(failure.retryAfterSeconds)
      .SetServiceCode(failure.serviceCode);
}

CKoError ResponseEmpty(const FXCodeLocation& loc, EvDebug& log,
                       const std::string& url, const std::string& body) {
  log.DebugLvl("sendHttpRequest", EvDebug::kFailure,
               "Error: Empty response received for request [%s] [%s]",
               url.c_str(), RedactFormBody(body).c_str());
  return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL,
                                 TqFailureReason::kBadReply,
                                 "Empty response received for request");
}
