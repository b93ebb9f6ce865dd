#include "internal/base/Decimal.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(ParseDecimal, WholeNumbersInRangeOnly) {
  const struct {
    const char* text;
    int64_t min, max;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", 0, 10, true, 0},
      {"10", 0, 10, true, 10},
      {"11", 0, 10, false, 0},
      {"+7", 0, 10, true, 7},
      {"-7", -10, 10, true, -7},
      {"-7", 0, 10, false, 0},
      {"007", 0, 10, true, 7},
      {"9223372036854775807", 0, INT64_MAX, true, INT64_MAX},
      {"9223372036854775808", 0, INT64_MAX, false, 0},
      {"-9223372036854775808", INT64_MIN, 0, true, INT64_MIN},
      {"-9223372036854775809", INT64_MIN, 0, false, 0},
      {"99999999999999999999", 0, INT64_MAX, false, 0},
      {"", 0, 10, false, 0},
      {"+", 0, 10, false, 0},
      {" 1", 0, 10, false, 0},
      {"1 ", 0, 10, false, 0},
      {"1.0", 0, 10, false, 0},
      {"1e3", 0, 10000, false, 0},
      {"0x10", 0, 100, false, 0},
      {"\xd9\xa3", 0, 10, false, 0},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& c : cases) {
    int64_t value = -99;
    EXPECT_EQ(ParseDecimal(c.text, c.min, c.max, value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : -99) << c.text;
  }
}

}  // namespace
