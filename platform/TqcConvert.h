#pragma once

#include <string>

#include "platform/TQExport.h"
#include "platform/TqException.h"
#include "platform/TqcBucket.h"

namespace Tqc {

// HexDigitValue: the value of one hex digit (either case), -1 for any other
// character. Not isxdigit(): that one follows the locale.
TQ_EXPORT int HexDigitValue(char c);

// hex2bin: the bytes that hexText (two hex digits per byte, upper or lower
// case, no separators) spells, in a new bucket; "" gives an empty bucket.
// Throws TqException for a null text, an odd number of digits or any
// character that is not a hex digit (spaces and a "0x" prefix included).
// Tests: tests/platform/TqcConvert_test.cpp
TQ_EXPORT TqcBucket hex2bin(const char* hexText);

}  // namespace Tqc
