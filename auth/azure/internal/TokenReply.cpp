#include "auth/azure/internal/TokenReply.h"

#include <exception>

#include "internal/base/Decimal.h"
#include "platform/SecureMemory.h"
#include "platform/TqJson.h"

namespace {

// A number of seconds in a reply: an integer, or a text of decimal digits.
// False for anything else (a fraction, a boolean, null, an object, a sign).
bool ReadSeconds(const TqJsonValue& value, int64_t& outSeconds) {
  try {
    if (value.type() == TqJsonValue::int_type) {
      outSeconds = value.get_int64();
      return true;
    }
    if (value.type() == TqJsonValue::str_type) {
      const std::string text = value.get_str();
      return !text.empty() && text[0] >= '0' && text[0] <= '9' &&
             ParseDecimal(text, 0, INT64_MAX, outSeconds);
    }
  } catch (const std::exception&) {
    // an integer beyond 64 bits: as unusable as any other type
  }
  return false;
}

bool Parse(const std::string& reply, TqJsonMap& members) {
  try {
    return TqJson::Unserialize(reply, members);
  } catch (...) {
    return false;
  }
}

uint32_t FirstErrorCode(const TqJsonMap& members, const std::string& text) {
  TqJsonValue codes;
  try {
    if (TqJson::FindValue(members, "error_codes", codes) &&
        codes.type() == TqJsonValue::array_type) {
      const std::vector<TqJsonValue> list = codes.get_array();
      if (!list.empty() && list[0].type() == TqJsonValue::int_type) {
        const long long code = list[0].get_int64();
        if (code > 0 && code <= UINT32_MAX) {
          return static_cast<uint32_t>(code);
        }
      }
    }
  } catch (const std::exception&) {
    // not a number that fits: look at the text
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

// AADSTS50196: the same request repeated too often (a client loop).
constexpr uint32_t kLoopDetected = 50196;

}  // namespace

bool ReadAadError(const std::string& reply, AadError& out) {
  TqJsonMap members;
  if (!Parse(reply, members)) {
    return false;
  }
  const std::string error = TqJson::GetStringValue(members, "error");
  if (error.empty()) {
    return false;
  }
  out.error = error;
  out.description = TqJson::GetStringValue(members, "error_description");
  WipeString(out.token);
  out.token = TqJson::GetStringValue(members, "access_token");
  out.code = FirstErrorCode(members, out.description);
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

AadError::~AadError() { WipeString(token); }

TokenFields::~TokenFields() { WipeString(accessToken); }

bool ReadTokenReply(const std::string& reply, TokenFields& out) {
  TqJsonMap members;
  if (!Parse(reply, members) ||
      !TqJson::GetStringValue(members, "error").empty()) {
    return false;
  }
  out.accessToken = TqJson::GetStringValue(members, "access_token");
  if (out.accessToken.empty()) {
    return false;
  }
  out.tokenType = TqJson::GetStringValue(members, "token_type");
  TqJsonValue value;
  out.hasExpiresIn = TqJson::FindValue(members, "expires_in", value);
  if (out.hasExpiresIn &&
      (!ReadSeconds(value, out.expiresIn) || out.expiresIn < 0)) {
    return false;  // not a lifetime, or a token already expired
  }
  TqJsonValue refresh;
  out.hasRefreshIn = TqJson::FindValue(members, "refresh_in", refresh) &&
                     ReadSeconds(refresh, out.refreshIn) && out.refreshIn > 0;
  return true;
}
