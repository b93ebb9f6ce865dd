// parseUnsignedInt against a naive digit loop, and against strtoull where
// no digit is lost to the modulo.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/TimeParsing.h"

namespace {

uint64_t Naive(const char* p, bool keepTenDigits) {
  while (*p == ' ' || *p == '\t') {
    ++p;
  }
  uint64_t value = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (keepTenDigits && digits > 12) {
    for (int i = 10; i < digits; ++i) {
      value /= 10;
    }
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  std::vector<char> text(
      data, data + strnlen(reinterpret_cast<const char*>(data), size));
  text.push_back('\0');
  for (const bool keep : {false, true}) {
    const uint64_t got = parseUnsignedInt(text.data(), keep);
    FUZZ_CHECK(got == Naive(text.data(), keep),
               "parseUnsignedInt(\"" + std::string(text.data()) +
                   "\") differs from the naive loop");
  }
  // Up to 19 digits fit: strtoull agrees (it also takes signs and other
  // white space, so only texts that start with a digit after the blanks).
  const char* p = text.data() + std::strspn(text.data(), " \t");
  const size_t digits = std::strspn(p, "0123456789");
  if (digits >= 1 && digits <= 19) {
    errno = 0;
    const unsigned long long want = std::strtoull(p, nullptr, 10);
    FUZZ_CHECK(errno == 0 && parseUnsignedInt(text.data(), false) == want,
               "parseUnsignedInt differs from strtoull for \"" +
                   std::string(text.data()) + "\"");
    uint64_t cut = want;
    for (size_t i = 10; digits > 12 && i < digits; ++i) {
      cut /= 10;
    }
    FUZZ_CHECK(
        parseUnsignedInt(text.data(), true) == cut,
        "keepTenDigits differs for \"" + std::string(text.data()) + "\"");
  }
  return 0;
}
