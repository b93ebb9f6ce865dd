#pragma once

#include "platform/TQExport.h"

// TqFailureReason: what kind of failure a failed status (CKoError) reports,
// for code that must react to it; the status's message is for people. The
// reason is set where the failure is found (the transport's result, the
// endpoint's reply, the store, the home's checks) and travels with the
// status through every copy and Push. Values are stable: they may be stored
// or sent.
// Tests: tests/platform/CKoError_test.cpp, tests/auth/FailureReasons_test.cpp
enum class TqFailureReason : int {
  kNone = 0,                 // success
  kNotStored = 1,            // no stored credential for the id asked
  kStoreFailed = 2,          // the store is unreadable, corrupt, locked or of
                             // an unknown schema version
  kHomeRefused = 3,          // the home folder or a file there is refused or
                             // cannot be used
  kConfigInvalid = 4,        // tqcloudauth.ini cannot be read or holds a value
                             // that cannot be used
  kConnectFailed = 5,        // the endpoint's name did not resolve, or no
                             // connection could be made
  kTlsFailed = 6,            // TLS: the peer did not verify, or no handshake
  kProxyFailed = 7,          // the proxy could not be reached, or refused the
                             // tunnel or its credentials
  kTimedOut = 8,             // the request took longer than allowed
  kThrottled = 9,            // the endpoint asked to wait (429, or 503 with
                             // Retry-After): see GetRetryAfterSeconds
  kServerError = 10,         // the endpoint failed (HTTP 5xx)
  kCredentialRejected = 11,  // the endpoint refused the credential
                             // (invalid_client, unauthorized_client): see
                             // GetServiceCode for its AADSTS number
  kInvalidRequest = 12,      // the endpoint refused the request (invalid
                             // scope, invalid request, another 4xx)
  kBadReply = 13,            // the reply cannot be used (not JSON, no token,
                             // no usable lifetime, too large)
  kCredentialInvalid = 14,   // the stored credential cannot be used as it
                             // is (a field refused, a secret that does not
                             // decrypt, a certificate or key that cannot
                             // sign, an unknown type)
  kInvalidArgument = 15,     // the caller's mistake: no arguments, not
                             // initialised
  kInternal = 16,            // anything else (out of memory, a library
                             // failing where it should not)
};

// TqFailureReasonName: the reason's stable name ("not_stored",
// "store_failed", "home_refused", "config_invalid", "connect_failed",
// "tls_failed", "proxy_failed", "timed_out", "throttled", "server_error",
// "credential_rejected", "invalid_request", "bad_reply",
// "credential_invalid", "invalid_argument", "internal"; "none" for kNone,
// "unknown" for a value outside the enumeration).
TQ_EXPORT const char* TqFailureReasonName(TqFailureReason reason) noexcept;

// TqFailureReasonIsTransient: whether the same call may succeed later
// without anything being changed: throttled, timed out, connection failed,
// endpoint server error.
TQ_EXPORT bool TqFailureReasonIsTransient(TqFailureReason reason) noexcept;
