#include "tools/idp/AadError.h"

#include <ctime>
#include <utility>

#include "tools/idp/IdpText.h"

namespace tqidp {

AadError MakeAadError(int status, const char* error, long code,
                      std::string text) {
  return AadError{status, error, code, std::move(text)};
}

AadError MissingParameter(const char* name) {
  return MakeAadError(400, "invalid_request", 900144,
                      std::string("The request body must contain the "
                                  "following parameter: '") +
                          name + "'.");
}

AadError BadRequest(const std::string& text) {
  return MakeAadError(400, "invalid_request", 90023,
                      "Invalid request. " + text);
}

AadError MalformedJwt() {
  return MakeAadError(400, "invalid_request", 50027,
                      "JWT token is invalid or malformed.");
}

std::string AadErrorBody(const AadError& e, const std::string& clientRequestId,
                         const std::string& loginEndpoint) {
  const std::string correlationId =
      IsUuid(clientRequestId) ? clientRequestId : NewUuid();
  const std::string timestamp =
      FormatUtc(static_cast<double>(std::time(nullptr)), TimeFormat::kStamp);
  const std::string traceId = NewUuid();
  const std::string code = std::to_string(e.code);
  nlohmann::ordered_json body;
  body["error"] = e.error;
  body["error_description"] =
      "AADSTS" + code + ": " + e.text + "\r\nTrace ID: " + traceId +
      "\r\nCorrelation ID: " + correlationId + "\r\nTimestamp: " + timestamp;
  body["error_codes"] = nlohmann::ordered_json::array({e.code});
  body["timestamp"] = timestamp;
  body["trace_id"] = traceId;
  body["correlation_id"] = correlationId;
  body["error_uri"] = loginEndpoint + "error?code=" + code;
  return DumpJson(body);
}

}  // namespace tqidp
