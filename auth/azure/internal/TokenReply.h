#pragma once

#include <cstdint>
#include <string>

#include "platform/TqFailureReason.h"

// How the provider reads the token endpoint's replies: the one place that
// knows their members.
// Tests: tests/auth/FailureReasons_test.cpp,
// tests/auth/azure/TokenFaults_test.cpp

// AadError: an error reply's members. Texts are the endpoint's words: show
// them only through QuoteText, with any secret masked.
struct AadError {
  std::string error;        // "invalid_client"
  std::string description;  // "AADSTS7000215: Invalid client secret ..."
  // The AADSTS number: the first of "error_codes", else the digits after
  // "AADSTS" at the start of the description; 0 when neither is there.
  uint32_t code = 0;
  // What kind of failure it is: kCredentialRejected for invalid_client and
  // unauthorized_client; kThrottled for a throttling error ("AADSTS50196",
  // "temporarily_unavailable" with 429); kServerError for server_error and
  // temporarily_unavailable; kInvalidRequest for any other.
  TqFailureReason reason = TqFailureReason::kInvalidRequest;
  // An "access_token" the reply carries beside its error, to be masked
  // wherever the reply's words are shown.
  std::string token;

  AadError() = default;
  AadError(const AadError&) = delete;
  AadError& operator=(const AadError&) = delete;
  ~AadError();
};

// ReadAadError: true with the members in out when reply is a JSON object
// whose "error" is a text that is not empty.
bool ReadAadError(const std::string& reply, AadError& out);

// TokenFields: a successful reply's members the cache keeps. The token is
// a secret: wiped when the record goes.
struct TokenFields {
  std::string accessToken;
  std::string tokenType;
  bool hasExpiresIn = false;
  int64_t expiresIn = 0;  // seconds, not negative
  bool hasRefreshIn = false;
  int64_t refreshIn = 0;  // seconds, above 0

  TokenFields() = default;
  TokenFields(const TokenFields&) = delete;
  TokenFields& operator=(const TokenFields&) = delete;
  ~TokenFields();
};

// What a reply of status 200 is.
enum class ReplyKind {
  kToken,     // a token, in outFields
  kError,     // an error (a non-empty "error" text), in outError
  kUnusable,  // neither: not JSON, no token, an unusable lifetime
};

// ReadTokenReply: the reply, parsed once. A token is a JSON object with a
// non-empty "access_token" text, no "error", and an "expires_in" (when
// present) that is a whole number of seconds, not negative: an integer or a
// text of digits. "refresh_in" counts only when it is such a number above 0.
// The records may be partly filled for another kind: their destructors wipe
// them.
ReplyKind ReadTokenReply(const std::string& reply, TokenFields& outFields,
                         AadError& outError);
