#pragma once

#include <string>

#include "platform/TQExport.h"

// Base64 (RFC 4648 section 4), Base64URL (section 5) and lower-case hex.
// Encoders follow RFC 4648 exactly: "=" fills the last group, no line
// breaks. The decoders are lenient and never report errors:
//   - every character outside the standard alphabet A-Z a-z 0-9 + / is
//     skipped: "=", white space, line breaks, "-", "_", bytes >= 0x80;
//   - groups of four are counted over the characters kept, so they form
//     across skipped ones ("Zm=9v" -> "foo", wrapped text decodes whole);
//   - a last group of 2 or 3 characters gives 1 or 2 bytes, its spare bits
//     dropped unchecked; a single dangling character gives nothing
//     ("Zm9vY" -> "foo", "-_8=" -> "").
// Lengths are int counts; a negative or zero length, or a null pointer,
// means no input. No function keeps state.
// Tests: tests/util/Base64Codec_test.cpp

// base64Encode: writes the standard Base64 of length bytes to dest and
// returns the number of characters written, 4 * ceil(length / 3). No
// terminator; dest must hold that many bytes. Returns 0 and writes nothing
// for no input, and when the count would not fit in an int (length above
// 1610612733).
TQ_EXPORT int base64Encode(const unsigned char* data, int length, char* dest);

// Base64EncodeWithEncodeString: Base64 of the bytes in the first 64
// characters of alphabet, "=" filled. An alphabet of fewer than 64
// characters gives "" (nothing is read past it).
TQ_EXPORT std::string Base64EncodeWithEncodeString(const unsigned char* data,
                                                   int length,
                                                   const std::string& alphabet);

// Base64Encode: standard Base64, "=" filled. "foo" -> "Zm9v", "f" -> "Zg==".
TQ_EXPORT std::string Base64Encode(const unsigned char* data, int length);

// Base64URLEncode: URL-safe alphabet ("-" and "_" for "+" and "/"), still
// "=" filled: 0xFB 0xFF -> "-_8=".
TQ_EXPORT std::string Base64URLEncode(const unsigned char* data, int length);

// base64Decode: decodes length characters of text leniently (see above)
// into dest and returns the number of bytes written; no terminator. dest
// must hold length - length / 4 bytes (the most any text can give); nothing
// is written past the bytes counted. 0 for no input.
TQ_EXPORT int base64Decode(const unsigned char* text, int length, char* dest);

// base64Decode (strict): decodes standard Base64 (RFC 4648 section 4: "A"-"Z",
// "a"-"z", "0"-"9", "+", "/", "=" padding) into bytes. Line breaks, spaces
// and tabs anywhere are skipped. True with the decoded bytes in `bytes`
// (replacing its content; "" decodes to ""). False, with `bytes` untouched,
// for any other character, a "=" that is not part of the final group's
// padding (at most two, at its end), or a count of Base64 characters that is
// not a multiple of four. Unused bits of the last character are ignored
// (RFC 4648 section 3.5 leaves them to the decoder).
// Tests: tests/util/Base64Codec_test.cpp
TQ_EXPORT bool base64Decode(const std::string& text, std::string& bytes);

// Base64Decode: the bytes the lenient base64Decode gives, as a string (may hold
// NULs).
TQ_EXPORT std::string Base64Decode(const unsigned char* text, int length);

// HexEncode: two lower-case hex digits per byte, 0x00 0xAB -> "00ab".
TQ_EXPORT std::string HexEncode(const unsigned char* data, int length);

// Base64ToHex: HexEncode of Base64Decode of the text. "+/8=" -> "fbff".
TQ_EXPORT std::string Base64ToHex(const std::string& text);
