#pragma once

// Azure AD's error replies as the local token endpoint sends them: status,
// "error", AADSTS code and text, then trace and correlation ids and a time
// stamp added when the reply is made.

#include <string>

namespace tqidp {

struct AadError {
  int status = 400;
  std::string error;  // "invalid_request", "invalid_client", ...
  long code = 0;      // the AADSTS number
  std::string text;
};

AadError MakeAadError(int status, const char* error, long code,
                      std::string text);
// 900144: "The request body must contain the following parameter: 'name'."
AadError MissingParameter(const char* name);
// 90023 (this endpoint's choice for a body it cannot read): "Invalid
// request. <text>".
AadError BadRequest(const std::string& text);
// 50027: a client assertion that is not a readable JWT.
AadError MalformedJwt();

// AadErrorBody: the JSON reply body of e: error, error_description
// ("AADSTS<code>: <text>\r\nTrace ID: ...\r\nCorrelation ID: ...\r\n
// Timestamp: ..."), error_codes, timestamp, trace_id, correlation_id and
// error_uri under loginEndpoint. The correlation id is clientRequestId when
// that is a UUID (as Azure AD takes the client's), else a new one.
std::string AadErrorBody(const AadError& e, const std::string& clientRequestId,
                         const std::string& loginEndpoint);

}  // namespace tqidp
