#include "internal/net/RetryAfter.h"

#include <algorithm>
#include <string>

#include "internal/base/Decimal.h"
#include "util/TimeParsing.h"

int64_t RetryAfterSeconds(std::string_view value, int64_t now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' ||
                            value.back() == '\r' || value.back() == '\n')) {
    value.remove_suffix(1);
  }
  if (value.empty()) {
    return -1;
  }
  int64_t seconds = 0;
  if (value.front() >= '0' && value.front() <= '9') {
    // A number too large for 64 bits is still a long wait.
    if (value.find_first_not_of("0123456789") != std::string_view::npos) {
      return -1;
    }
    if (!ParseDecimal(value, 0, INT64_MAX, seconds)) {
      seconds = kMaxRetryAfterSeconds;
    }
    return std::min(seconds, kMaxRetryAfterSeconds);
  }
  // An HTTP-date names its day and "GMT"; the parser reads dates without
  // either too, which no server sends here.
  if (value.find(',') == std::string_view::npos || value.size() > 64) {
    return -1;
  }
  const long when = parseRfc822Time(std::string(value).c_str());
  if (when <= 0) {
    return -1;
  }
  return std::clamp<int64_t>(static_cast<int64_t>(when) - now, 0,
                             kMaxRetryAfterSeconds);
}
