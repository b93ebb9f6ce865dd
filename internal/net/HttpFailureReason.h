#pragma once

#include <curl/curl.h>

#include <cstdint>

#include "platform/TqFailureReason.h"

// Why an HTTP request failed, from what libcurl and the reply say: the one
// place that maps them to reasons.
// Tests: tests/platform/TQLibCurl_test.cpp, tests/auth/FailureReasons_test.cpp

// TransferReason: for a transfer libcurl failed with code. viaProxy: it
// went through a proxy, so a refused connection is the proxy's;
// connectStatus: the proxy's reply to CONNECT (CURLINFO_HTTP_CONNECTCODE),
// 0 without one.
TqFailureReason TransferReason(CURLcode code, bool viaProxy,
                               long connectStatus) noexcept;

// StatusReason: for a reply of status 400 or more; retryAfterSeconds is its
// Retry-After (-1 without one): 429, and 503 with Retry-After, are
// throttling; 407 the proxy's; other 5xx the server's; other 4xx a refused
// request.
TqFailureReason StatusReason(long status, int64_t retryAfterSeconds) noexcept;
