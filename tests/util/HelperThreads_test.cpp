// The exported helpers called from many threads at once: codecs, string
// helpers, time parsers and digests keep no shared mutable state, so every
// thread must get exactly the answers one thread gets alone. Run under
// ThreadSanitizer by scripts/test (label "threads").
#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "digest/Sha1.h"
#include "digest/Sha256.h"
#include "platform/TqcConvert.h"
#include "util/Base64Codec.h"
#include "util/StringUtils.h"
#include "util/TimeParsing.h"
#include "util/UrlCodec.h"

namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 200;

std::string Hex(const unsigned char* p, size_t n) {
  return HexEncode(p, static_cast<int>(n));
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Everything a helper computes from one input, as one text.
std::string Fingerprint(int seed) {
  std::string bytes;
  for (int i = 0; i < 300 + seed % 50; ++i) {
    bytes += static_cast<char>((seed * 131 + i * 7) & 0xFF);
  }
  const int n = static_cast<int>(bytes.size());
  std::ostringstream out;

  // Codecs.
  out << urlEncode(bytes) << '|' << urlDecode(urlEncode(bytes)).size() << '|'
      << urlEncodeUseSafeChar(bytes, "-_.!") << '|';
  {
    std::vector<char> storage;
    out << UrlEncode(bytes.c_str(), storage) << '|';
  }
  std::vector<char> encoded((bytes.size() + 2) / 3 * 4 + 1);
  const int written = base64Encode(Bytes(bytes), n, encoded.data());
  const std::string b64 = Base64Encode(Bytes(bytes), n);
  out << std::string(encoded.data(), static_cast<size_t>(written)) << '|' << b64
      << '|' << Base64URLEncode(Bytes(bytes), n) << '|'
      << (Base64Decode(Bytes(b64), static_cast<int>(b64.size())) == bytes)
      << '|' << Base64ToHex(b64) << '|' << HexEncode(Bytes(bytes), n) << '|';
  std::string strict;
  out << base64Decode(b64, strict) << (strict == bytes) << '|';
  const std::string hex = HexEncode(Bytes(bytes), n);
  out << Tqc::hex2bin(hex.c_str()).getSize() << '|';
  out << TQCloudAuthLib::base64urlencode(Bytes(bytes), n, false) << '|'
      << TQCloudAuthLib::base64decode(b64).getSize() << '|';

  // String helpers.
  const std::string text = "  Key-" + std::to_string(seed) + " , B ; c  ";
  out << To_Lower(text) << '|' << TrimStringSpaces(text) << '|'
      << To_String(seed) << To_String(-seed * 1000003LL)
      << To_String(1.5 * seed) << '|'
      << StringToLongLong(std::to_string(seed * 7919)) << '|';
  for (const std::string& piece : SplitString(text, ',')) {
    out << '[' << piece << ']';
  }
  std::string first, second;
  out << SplitString(text, ";", first, second, true) << first << '/' << second
      << '|' << AddConnector("a", std::to_string(seed), "/") << '|'
      << GetXMLElement("<r><v>" + std::to_string(seed) + "</v></r>", "v")
      << '|';

  // Time parsers and conversions.
  const std::string iso = "20" + std::to_string(10 + seed % 20) + "-0" +
                          std::to_string(1 + seed % 9) + "-1" +
                          std::to_string(seed % 10) + "T10:20:30+02:00";
  const std::string rfc =
      "Sun, 0" + std::to_string(1 + seed % 9) + " Nov 1994 08:49:37 -0500";
  out << parseIso8601Time(iso.c_str()) << '|' << parseRfc822Time(rfc.c_str())
      << '|' << parseUnsignedInt("  1700000000123", true) << '|'
      << GetTimeValue(-seed) << '|';
  const unsigned long long instant = 1700000000ULL + seed * 86400ULL;
  tm utc{};
  tm local{};
  out << (TQRF_gmtime(&instant, &utc) != nullptr) << utc.tm_yday << utc.tm_hour
      << '|' << (TQRF_localtime(&instant, &local) != nullptr) << local.tm_yday
      << '|';

  // Digests: one-shot, in pieces, and keyed.
  unsigned char digest[32];
  sha256_get(digest, Bytes(bytes), n);
  out << Hex(digest, 32) << '|';
  sha256 ctx;
  sha256_initialize(&ctx);
  sha256_update(&ctx, Bytes(bytes), 100);
  sha256_finalize(&ctx, Bytes(bytes) + 100, static_cast<unsigned>(n - 100));
  out << Hex(ctx.hash, 32) << '|';
  HMAC_SHA256(digest, Bytes(text), static_cast<int>(text.size()), Bytes(bytes),
              n);
  out << Hex(digest, 32) << '|';
  _hmac_sha256 hmac;
  hmac_sha256_initialize(&hmac, Bytes(text), static_cast<int>(text.size()));
  hmac_sha256_update(&hmac, Bytes(bytes), 64);
  hmac_sha256_finalize(&hmac, Bytes(bytes) + 64, n - 64);
  out << Hex(hmac.digest, 32) << '|';
  unsigned char sha1[20];
  HMAC_SHA1(sha1, Bytes(text), static_cast<int>(text.size()), Bytes(bytes), n);
  out << Hex(sha1, 20);
  return out.str();
}

TEST(HelperThreads, EveryThreadGetsTheAnswersOfOne) {
  constexpr int kInputs = 16;
  std::vector<std::string> expected;
  for (int seed = 0; seed < kInputs; ++seed) {
    expected.push_back(Fingerprint(seed));
  }
  // Inputs differ in what they exercise (one-digit fields, signs, lengths).
  EXPECT_NE(expected[0], expected[1]);

  std::mutex mutex;
  std::condition_variable cv;
  int waiting = kThreads;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (--waiting == 0) {
          cv.notify_all();
        }
        cv.wait(lock, [&] { return waiting == 0; });
      }
      for (int i = 0; i < kIterations; ++i) {
        const int seed = (t * 7 + i) % kInputs;
        mismatches[t] += Fingerprint(seed) != expected[seed];
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  }
}

}  // namespace
