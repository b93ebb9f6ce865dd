#include "auth/azure/internal/TokenReply.h"

#include <exception>

#include "internal/base/Decimal.h"
#include "internal/text/SecureJson.h"
#include "platform/SecureMemory.h"

namespace {

// Arrays and objects nest at most this deep in a reply we read.
constexpr unsigned int kMaxDepth = 64;
// AADSTS50196: the same request repeated too often (a client loop).
constexpr uint32_t kLoopDetected = 50196;

const SecureJson* Member(const SecureJson& reply, const char* name) {
  const auto it = reply.find(name);
  return it != reply.end() ? &*it : nullptr;
}

// The member's text; "" when it is absent or not a text.
std::string Text(const SecureJson& reply, const char* name) {
  const SecureJson* value = Member(reply, name);
  if (value == nullptr || !value->is_string()) {
    return std::string();
  }
  const auto& text = value->get_ref<const SecureJsonString&>();
  return std::string(text.data(), text.size());
}

// A number of seconds in a reply: an integer, or a text of decimal digits.
// False for anything else (a fraction, a boolean, null, an object, a sign,
// an integer beyond 64 bits).
bool ReadSeconds(const SecureJson& value, int64_t& outSeconds) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) {
      return false;
    }
    outSeconds = static_cast<int64_t>(u);
    return true;
  }
  if (value.is_number_integer()) {
    outSeconds = value.get<int64_t>();
    return true;
  }
  if (value.is_string()) {
    const auto& text = value.get_ref<const SecureJsonString&>();
    return !text.empty() && text[0] >= '0' && text[0] <= '9' &&
           ParseDecimal(std::string_view(text.data(), text.size()), 0,
                        INT64_MAX, outSeconds);
  }
  return false;
}

uint32_t FirstErrorCode(const SecureJson& reply, const std::string& text) {
  const SecureJson* codes = Member(reply, "error_codes");
  if (codes != nullptr && codes->is_array() && !codes->empty()) {
    const SecureJson& first = codes->front();
    int64_t code = 0;
    if ((first.is_number_integer() || first.is_number_unsigned()) &&
        ReadSeconds(first, code) && code > 0 && code <= UINT32_MAX) {
      return static_cast<uint32_t>(code);
    }
  }
  static constexpr char kPrefix[] = "AADSTS";
  if (text.rfind(kPrefix, 0) != 0) {
    return 0;
  }
  const size_t begin = sizeof kPrefix - 1;
  size_t end = begin;
  while (end < text.size() && end - begin < 9 && text[end] >= '0' &&
         text[end] <= '9') {
    ++end;
  }
  int64_t code = 0;
  return end > begin && ParseDecimal(text.substr(begin, end - begin), 1,
                                     UINT32_MAX, code)
             ? static_cast<uint32_t>(code)
             : 0;
}

bool Parse(const std::string& reply, SecureJson& out) {
  return ParseJsonBounded(reply.data(), reply.size(), kMaxDepth, out) &&
         out.is_object();
}

bool ReadError(const SecureJson& reply, AadError& out) {
  const std::string error = Text(reply, "error");
  if (error.empty()) {
    return false;
  }
  out.error = error;
  out.description = Text(reply, "error_description");
  WipeString(out.token);
  out.token = Text(reply, "access_token");
  out.code = FirstErrorCode(reply, out.description);
  if (error == "invalid_client" || error == "unauthorized_client") {
    out.reason = TqFailureReason::kCredentialRejected;
  } else if (out.code == kLoopDetected) {
    out.reason = TqFailureReason::kThrottled;
  } else if (error == "server_error" || error == "temporarily_unavailable") {
    out.reason = TqFailureReason::kServerError;
  } else {
    out.reason = TqFailureReason::kInvalidRequest;
  }
  return true;
}

}  // namespace

bool ReadAadError(const std::string& reply, AadError& out) {
  SecureJson parsed;
  return Parse(reply, parsed) && ReadError(parsed, out);
}

AadError::~AadError() { WipeString(token); }

TokenFields::~TokenFields() { WipeString(accessToken); }

ReplyKind ReadTokenReply(const std::string& reply, TokenFields& out,
                         AadError& outError) {
  SecureJson parsed;
  if (!Parse(reply, parsed)) {
    return ReplyKind::kUnusable;
  }
  if (ReadError(parsed, outError)) {
    return ReplyKind::kError;
  }
  out.accessToken = Text(parsed, "access_token");
  if (out.accessToken.empty()) {
    return ReplyKind::kUnusable;
  }
  out.tokenType = Text(parsed, "token_type");
  const SecureJson* expiresIn = Member(parsed, "expires_in");
  out.hasExpiresIn = expiresIn != nullptr;
  if (out.hasExpiresIn &&
      (!ReadSeconds(*expiresIn, out.expiresIn) || out.expiresIn < 0)) {
    return ReplyKind::kUnusable;  // not a lifetime, or a token expired
  }
  const SecureJson* refreshIn = Member(parsed, "refresh_in");
  out.hasRefreshIn = refreshIn != nullptr &&
                     ReadSeconds(*refreshIn, out.refreshIn) &&
                     out.refreshIn > 0;
  return ReplyKind::kToken;
}
