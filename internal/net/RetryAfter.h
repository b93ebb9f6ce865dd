#pragma once

#include <cstdint>
#include <string_view>

// RetryAfterSeconds: the wait a Retry-After header asks for (RFC 9110
// 10.2.3): whole seconds ("120"), or an HTTP-date ("Wed, 21 Oct 2026
// 07:28:00 GMT") taken from now (seconds since the epoch); a date passed is
// 0. At most kMaxRetryAfterSeconds: a longer wait is taken as that. -1 for
// an empty or unreadable value.
// Tests: tests/platform/TQLibCurl_test.cpp
inline constexpr int64_t kMaxRetryAfterSeconds = 3600;
int64_t RetryAfterSeconds(std::string_view value, int64_t now);
