#pragma once

#include <cstdint>
#include <string_view>

// ParseDecimal: true with the value in outValue when text is a whole
// decimal number: an optional "+" or "-", then 1 to 19 digits and nothing
// else (no blanks, no fraction, no exponent), within [min, max]. False,
// outValue untouched, for anything else, an overflow of 64 bits included.
// The one reader of numbers the library takes from files and replies
// (configuration values, lifetimes, Retry-After).
// Tests: tests/internal/Decimal_test.cpp
bool ParseDecimal(std::string_view text, int64_t min, int64_t max,
                  int64_t& outValue) noexcept;
