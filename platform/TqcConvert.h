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

// base64Decode: decodes standard Base64 (RFC 4648 section 4: "A"-"Z",
// "a"-"z", "0"-"9", "+", "/", "=" padding) into bytes. Line breaks, spaces
// and tabs anywhere are skipped. True with the decoded bytes in `bytes`
// (replacing its content; "" decodes to ""). False, with `bytes` untouched,
// for any other character, a "=" that is not part of the final group's
// padding (at most two, at its end), or a count of Base64 characters that is
// not a multiple of four. Unused bits of the last character are ignored
// (RFC 4648 section 3.5 leaves them to the decoder).
// Tests: tests/platform/TqcConvert_test.cpp
TQ_EXPORT bool base64Decode(const std::string& text, std::string& bytes);
