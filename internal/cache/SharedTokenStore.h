#pragma once

#include <cstdint>
#include <string>

#include "platform/CKoError.h"

// SharedTokenStore: where the processes (and hosts) that share tokens keep
// them, with the leases that let one of them ask the endpoint for a token
// while the others wait, and the waits the endpoint asked for. Entries are
// named by the caller; values are opaque (the caller encrypts them). Times
// are seconds (tokens) or milliseconds (leases, waits) since the epoch.
// Every call is bounded in time; a failure carries kStoreFailed (or the
// home's refusal) and leaves the store as it was. Thread-safe.
class SharedTokenStore {
 public:
  struct Entry {
    std::string value;
    int64_t expiresAt = 0;  // the token's expiry: gone after it
    int64_t refreshAt = 0;  // when a sharer should ask again; 0: never early
  };

  virtual ~SharedTokenStore() = default;

  // Where the store is, for messages: "<home>/tokens.db", "database h:p/db".
  virtual std::string Name() const = 0;

  // Get: key's entry in out with found true; found false when there is
  // none, or only an expired one.
  virtual CKoError Get(const std::string& key, int64_t nowSeconds, Entry& out,
                       bool& found) = 0;
  // Put: sets key's entry (a later expiry than one stored wins; an older
  // one never replaces a newer), and now and then removes expired entries
  // and leases.
  virtual CKoError Put(const std::string& key, const Entry& entry,
                       int64_t nowSeconds) = 0;

  // TryLease: acquired true when key's lease is now owner's until untilMs:
  // it had none, its holder's ran out by nowMs, or owner held it already.
  virtual CKoError TryLease(const std::string& key, const std::string& owner,
                            int64_t nowMs, int64_t untilMs, bool& acquired) = 0;
  // Release: ends owner's lease of key (another's is left alone).
  virtual CKoError Release(const std::string& key,
                           const std::string& owner) = 0;

  // WaitUntil: until when requests for key must wait (0: none).
  virtual CKoError WaitUntil(const std::string& key, int64_t& outUntilMs) = 0;
  // Hold: requests for key wait until untilMs (a later wait is kept).
  virtual CKoError Hold(const std::string& key, int64_t untilMs) = 0;
};
