#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/CKoError.h"
#include "platform/EvEvent.h"

// The one way a request that failed is logged and reported, for
// TQCloudAuthLib::sendHttpRequest and the providers' own requests alike.
// Tests: tests/auth/TQCloudAuthLibTransport_test.cpp

// SendFailure: what is known of a request that failed.
struct SendFailure {
  long code = 0;     // the HTTP status, or libcurl's code without a reply
  std::string text;  // the reply, or libcurl's words
  TqFailureReason reason = TqFailureReason::kInternal;
  int64_t retryAfterSeconds = 0;  // for kThrottled
  uint32_t serviceCode = 0;       // the endpoint's own code (AADSTS)
};

// RequestFailed: logs "Error: Request [<url>] [<body>] failed with ErrorCode
// [<code>] Message [<text>]" (function "sendHttpRequest", level 3) and
// returns 774 "Request failed with ErrorCode [<code>] Message [<text>]"
// with the failure's reason and details. The body's secret values are
// masked (RedactFormBody); the text goes through QuoteReply (token values
// masked, cut to a few KiB) with every one of secrets masked as well
// (MaskSecrets): an endpoint may echo what it was sent.
CKoError RequestFailed(const FXCodeLocation& loc, EvDebug& log,
                       const std::string& url, const std::string& body,
                       const SendFailure& failure,
                       const std::vector<std::string>& secrets);

// ResponseEmpty: logs "Error: Empty response received for request [<url>]
// [<body>]" and returns 774 "Empty response received for request"
// (kBadReply).
CKoError ResponseEmpty(const FXCodeLocation& loc, EvDebug& log,
                       const std::string& url, const std::string& body);

// MaskSecrets: text with every occurrence of each of secrets replaced by
// "***", as sent and in the forms an endpoint may write it back in:
// URL-encoded (as the body sends it, and with every reserved byte encoded,
// in upper- or lower-case hex) and JSON-escaped. Secrets shorter than
// kShortestMaskedSecret are left (RedactSecret).
std::string MaskSecrets(std::string text,
                        const std::vector<std::string>& secrets);
