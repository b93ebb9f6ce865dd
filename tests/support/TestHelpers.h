#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace tqidp {
class IdpServer;
}

namespace tqtest {

// Whether this build runs under AddressSanitizer (the plain build runs the
// tests it cannot: a fork while other threads allocate can deadlock in its
// allocator, and its shadow memory makes a scan of the whole address space
// take hours).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

// Base64Of: bytes in standard Base64 with padding.
std::string Base64Of(const std::string& bytes);

// StartTestEndpoint: the local token endpoint, started on loopback with the
// server certificate of SharedPki(), serving tenant "tenant-1" with
// application "client-1" (client secret `secret`) and "client-2" (the
// certificate certificatePem). Null, with a test failure added, when it
// cannot start.
std::unique_ptr<tqidp::IdpServer> StartTestEndpoint(
    const std::string& secret, const std::string& certificatePem);

// Lets a number of threads start their work at the same moment.
class StartLine {
 public:
  explicit StartLine(int count) : m_waiting(count) {}
  // Blocks until count threads have arrived.
  void ArriveAndWait();

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_waiting;
};

}  // namespace tqtest
