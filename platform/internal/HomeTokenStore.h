#pragma once

#include <memory>
#include <string>

#include "internal/cache/SharedTokenStore.h"

// HomeTokenStore: the tokens shared by every process of one home, in
// <home>/tokens.db: SQLite in WAL mode (readers never wait for a writer),
// opened through the home's checks like the credential store (the user's
// own private regular files, no links), made on first use. A statement
// waits at most kBusyTimeoutMs for another process's write. The file is
// used while it is the one opened (device and inode) and passes the
// checks, which run again when a second has passed since they last did
// (they cost more than a lookup); after a failure the connection is
// dropped and the next call opens it again. One connection per process (a
// forked child opens its own). Tests: tests/platform/SharedStores_test.cpp
class HomeTokenStore : public SharedTokenStore {
 public:
  static constexpr int kBusyTimeoutMs = 1000;

  // ForHome: the process's store of the home at homePath.
  static std::shared_ptr<HomeTokenStore> ForHome(const std::string& homePath);

  explicit HomeTokenStore(std::string homePath);
  ~HomeTokenStore() override;

  std::string Name() const override;
  CKoError Get(const std::string& key, int64_t nowSeconds, Entry& out,
               bool& found) override;
  CKoError Put(const std::string& key, const Entry& entry,
               int64_t nowSeconds) override;
  CKoError TryLease(const std::string& key, const std::string& owner,
                    int64_t nowMs, int64_t untilMs, bool& acquired) override;
  CKoError Release(const std::string& key, const std::string& owner) override;
  CKoError WaitUntil(const std::string& key, int64_t& outUntilMs) override;
  CKoError Hold(const std::string& key, int64_t untilMs) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
