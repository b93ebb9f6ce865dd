// Tqc::hex2bin: throws exactly for what is not an even run of hex digits,
// otherwise gives the bytes a reference reads; and round-trips the fuzz
// bytes through lower- and upper-case hex.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/TqcConvert.h"

namespace {

bool Reference(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) {
    return false;
  }
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = tqfuzz::ReferenceHexDigit(hex[i]);
    const int lo = tqfuzz::ReferenceHexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

bool Decode(const std::string& hex, std::string& out) {
  std::vector<char> exact(hex.begin(), hex.end());
  exact.push_back('\0');
  try {
    const TqcBucket b = Tqc::hex2bin(exact.data());
    FUZZ_CHECK((b.getSize() == 0) == (b.getData() == nullptr), "empty bucket");
    out.assign(reinterpret_cast<const char*>(b.getData()),
               static_cast<size_t>(b.getSize()));
    return true;
  } catch (const TqException&) {
    return false;
  }
}

std::string ToHex(const std::string& bytes, const char* digits) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  std::string got;
  std::string want;
  const bool ok = Decode(text, got);
  FUZZ_CHECK(ok == Reference(text, want), std::string("hex2bin ") +
                                              (ok ? "accepts" : "refuses") +
                                              " \"" + text + "\"");
  FUZZ_CHECK(!ok || got == want, "hex2bin bytes for \"" + text + "\"");

  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const char* digits : {"0123456789abcdef", "0123456789ABCDEF"}) {
    std::string back;
    FUZZ_CHECK(Decode(ToHex(bytes, digits), back) && back == bytes,
               "round trip of " + tqfuzz::Hex(bytes));
  }
  return 0;
}
