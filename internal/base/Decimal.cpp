#include "internal/base/Decimal.h"

namespace {

constexpr size_t kMaxDigits = 19;  // 9,223,372,036,854,775,807 has 19

}  // namespace

bool ParseDecimal(std::string_view text, int64_t min, int64_t max,
                  int64_t& outValue) noexcept {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > kMaxDigits) {
    return false;
  }
  // Accumulated as a magnitude: -9223372036854775808 has no positive twin.
  uint64_t magnitude = 0;  // [0, 10^19)
  for (const char c : text) {
    if (c < '0' || c > '9') {  // not isdigit(): locale-dependent
      return false;
    }
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  }
  constexpr uint64_t kMaxMagnitude = uint64_t{1} << 63;  // of INT64_MIN
  if (magnitude > (negative ? kMaxMagnitude : kMaxMagnitude - 1)) {
    return false;
  }
  const int64_t value = negative ? static_cast<int64_t>(0 - magnitude)
                                 : static_cast<int64_t>(magnitude);
  if (value < min || value > max) {
    return false;
  }
  outValue = value;
  return true;
}
