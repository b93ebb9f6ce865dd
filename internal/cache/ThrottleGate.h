#pragma once

#include <cstdint>
#include <string>

// ThrottleGate: the credentials the token endpoint asked to wait for (429,
// or 503 with Retry-After), process-wide: while a credential's wait lasts
// no request is sent for it, whichever provider asks. A credential is named
// by its login endpoint, tenant and client id (Key). Times are milliseconds
// since the epoch. A forked child starts with no waits of its own (the
// parent's lock may be held there), as a new process would.
// Tests: tests/auth/azure/Throttling_test.cpp
namespace ThrottleGate {

// When the endpoint gives no Retry-After with a 429: a short wait.
inline constexpr int64_t kDefaultWaitSeconds = 5;

std::string Key(const std::string& loginEndpoint, const std::string& tenant,
                const std::string& clientId);

// RemainingMs: how long key must still wait at nowMs; 0 when it need not.
int64_t RemainingMs(const std::string& key, int64_t nowMs);

// Hold: key waits until untilMs (a later wait already held is kept).
void Hold(const std::string& key, int64_t untilMs);

// NowMs: the wall clock in milliseconds since the epoch.
int64_t NowMs() noexcept;

}  // namespace ThrottleGate
