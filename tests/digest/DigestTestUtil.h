#pragma once

// Shared by the digest tests: the vector-file reader, message splitting, an
// OpenSSL oracle and a fixture that runs a test once per compression back
// end.

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "digest/internal/ShaCompress.h"

namespace digest_test {

using Bytes = std::vector<unsigned char>;

// One record of a vector file: "Name = value" lines up to a blank line.
// Values are hex ("0b0b"), a quoted ASCII string ("\"Jefe\"") or, for
// Repeat, a decimal count. Every attribute must be read by the test.
class VectorRecord {
 public:
  std::string where;  // "file:line  # comment" for failure messages

  bool Has(const std::string& name) const;
  // Marks the attribute used; a missing or malformed one fails the test and
  // yields empty bytes / fallback.
  Bytes GetBytes(const std::string& name);
  long GetCount(const std::string& name, long fallback);

  // Input repeated Repeat times (1 when absent).
  Bytes Message();

  std::vector<std::string> Unused() const;
  void Set(const std::string& name, const std::string& value);

 private:
  std::map<std::string, std::string> m_attrs;
  std::set<std::string> m_used;
};

// Runs fn on every record of tests/vectors/<file>; fails on a file that
// cannot be read or parsed, on an empty file, and on attributes fn left
// unread.
void ForEachVector(const std::string& file,
                   const std::function<void(VectorRecord&)>& fn);

// Piece sizes in [0, maxPiece] (zero-length updates included) summing to
// total.
std::vector<size_t> RandomPieces(size_t total, size_t maxPiece,
                                 std::mt19937& rng);

Bytes RandomBytes(size_t n, std::mt19937& rng);

// OpenSSL's answers, to check ours against.
Bytes OpenSslDigest(const char* name, const Bytes& msg);
Bytes OpenSslHmac(const char* name, const Bytes& key, const Bytes& msg);

std::string Hex(const unsigned char* p, size_t n);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

// Expects got (fullSize bytes) to begin with expected; an expected value
// shorter than the digest is a truncated MAC.
void ExpectDigest(const Bytes& expected, const unsigned char* got,
                  size_t fullSize, const std::string& how);

// Runs each test once with the portable back end forced and once with the
// SHA extensions (skipped on a CPU without them), then restores automatic
// choice.
class OnEachBackend : public ::testing::TestWithParam<tqdigest::ShaBackend> {
 protected:
  void SetUp() override;
  void TearDown() override;
};

std::string BackendName(
    const ::testing::TestParamInfo<tqdigest::ShaBackend>& info);

}  // namespace digest_test

#define TQ_INSTANTIATE_ON_EACH_BACKEND(Suite)                                 \
  INSTANTIATE_TEST_SUITE_P(Backends, Suite,                                   \
                           ::testing::Values(tqdigest::ShaBackend::kPortable, \
                                             tqdigest::ShaBackend::kShaNi),   \
                           digest_test::BackendName)

namespace tqdigest {
// Readable back-end names in gtest's parameter messages.
inline void PrintTo(ShaBackend b, std::ostream* os) {
  *os << (b == ShaBackend::kShaNi ? "SHA-NI" : "portable");
}
}  // namespace tqdigest
