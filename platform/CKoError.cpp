#include "platform/CKoError.h"

#include <cstdarg>
#include <cstdio>

#include "internal/base/StringFormat.h"

struct FXErrorPrivate {
  uint32_t win32Code = 0;
  std::string message;
  std::vector<FXCodeLocation> locations;
  TqFailureReason reason = TqFailureReason::kInternal;
  int64_t retryAfterSeconds = 0;
  uint32_t serviceCode = 0;
};

namespace {

constexpr uint32_t kHresultWin32 = 0x80070000u;

}  // namespace

uint32_t CKoError::GetWin32Code() const noexcept {
  return m_details ? m_details->win32Code : 0;
}

std::string CKoError::GetMessage() const {
  return m_details ? m_details->message : std::string();
}

TqFailureReason CKoError::GetReason() const noexcept {
  if (!IsError()) {
    return TqFailureReason::kNone;
  }
  return m_details ? m_details->reason : TqFailureReason::kInternal;
}

int64_t CKoError::GetRetryAfterSeconds() const noexcept {
  return IsError() && m_details ? m_details->retryAfterSeconds : 0;
}

uint32_t CKoError::GetServiceCode() const noexcept {
  return IsError() && m_details ? m_details->serviceCode : 0;
}

CKoError& CKoError::SetReason(TqFailureReason reason) noexcept {
  if (IsError() && m_details) {
    m_details->reason = reason;
  }
  return *this;
}

CKoError& CKoError::SetRetryAfterSeconds(int64_t seconds) noexcept {
  if (IsError() && m_details) {
    m_details->retryAfterSeconds = seconds;
  }
  return *this;
}

CKoError& CKoError::SetServiceCode(uint32_t code) noexcept {
  if (IsError() && m_details) {
    m_details->serviceCode = code;
  }
  return *this;
}

CKoError CKoError::Copy() const {
  CKoError copy;
  copy.m_code = m_code;
  if (m_details) {
    copy.m_details = std::make_shared<FXErrorPrivate>(*m_details);
  }
  return copy;
}

std::vector<FXCodeLocation> CKoError::GetLocations() const {
  return m_details ? m_details->locations : std::vector<FXCodeLocation>();
}

CKoError& CKoError::Push(const FXCodeLocation& loc) {
  if (!m_details) {
    m_details = std::make_shared<FXErrorPrivate>();
  }
  m_details->locations.push_back(loc);
  return *this;
}

std::string CKoError::ToString() const {
  if (!IsError()) {
    return "Success";
  }
  std::string out = m_details && !m_details->message.empty()
                        ? m_details->message
                        : std::string("(no message)");
  out += StringPrintf(" (error %u, code 0x%08X, reason %s)", GetWin32Code(),
                      static_cast<uint32_t>(m_code),
                      TqFailureReasonName(GetReason()));
  if (m_details) {
    for (const FXCodeLocation& loc : m_details->locations) {
      out += StringPrintf("\n  at %s:%d in %s", loc.file ? loc.file : "?",
                          static_cast<int>(loc.line),
                          loc.function ? loc.function : "?");
    }
  }
  return out;
}

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, unsigned int code) {
  CKoError st;
  st.m_code = static_cast<int32_t>(kHresultWin32 | (code & 0xFFFFu));
  st.m_details = std::make_shared<FXErrorPrivate>();
  st.m_details->win32Code = code;
  st.m_details->locations.push_back(loc);
  return st;
}

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, unsigned int code,
                                 const char* format, ...) {
  CKoError st = ErrorWin32(loc, code);
  va_list ap;
  va_start(ap, format);
  st.m_details->message = StringPrintfV(format, ap);
  va_end(ap);
  return st;
}

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, unsigned int code,
                                 TqFailureReason reason, const char* format,
                                 ...) {
  CKoError st = ErrorWin32(loc, code);
  st.m_details->reason = reason;
  va_list ap;
  va_start(ap, format);
  st.m_details->message = StringPrintfV(format, ap);
  va_end(ap);
  return st;
}

const char* TqFailureReasonName(TqFailureReason reason) noexcept {
  switch (reason) {
    case TqFailureReason::kNone:
      return "none";
    case TqFailureReason::kNotStored:
      return "not_stored";
    case TqFailureReason::kStoreFailed:
      return "store_failed";
    case TqFailureReason::kHomeRefused:
      return "home_refused";
    case TqFailureReason::kConfigInvalid:
      return "config_invalid";
    case TqFailureReason::kConnectFailed:
      return "connect_failed";
    case TqFailureReason::kTlsFailed:
      return "tls_failed";
    case TqFailureReason::kProxyFailed:
      return "proxy_failed";
    case TqFailureReason::kTimedOut:
      return "timed_out";
    case TqFailureReason::kThrottled:
      return "throttled";
    case TqFailureReason::kServerError:
      return "server_error";
    case TqFailureReason::kCredentialRejected:
      return "credential_rejected";
    case TqFailureReason::kInvalidRequest:
      return "invalid_request";
    case TqFailureReason::kBadReply:
      return "bad_reply";
    case TqFailureReason::kCredentialInvalid:
      return "credential_invalid";
    case TqFailureReason::kInvalidArgument:
      return "invalid_argument";
    case TqFailureReason::kInternal:
      return "internal";
  }
  return "unknown";
}

bool TqFailureReasonIsTransient(TqFailureReason reason) noexcept {
  switch (reason) {
    case TqFailureReason::kThrottled:
    case TqFailureReason::kTimedOut:
    case TqFailureReason::kConnectFailed:
    case TqFailureReason::kServerError:
      return true;
    default:
      return false;
  }
}
