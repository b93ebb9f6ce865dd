#pragma once

#include <string>
#include <vector>

#include "platform/TQExport.h"

// Percent-encoding (RFC 3986 section 2.1) and form decoding for URLs and
// form bodies. Letters, digits and the characters of a safe set pass
// unchanged; every other byte becomes "%" and two upper-case hex digits.
// "Letters and digits" are ASCII "A"-"Z", "a"-"z", "0"-"9" whatever the
// process locale, so bytes 0x80 and above are always escaped. No function
// keeps state. Tests: tests/util/UrlCodec_test.cpp

// gDefaultUrlSafe: the default safe set "-_.~/". With letters and digits it
// leaves the RFC 3986 unreserved characters and "/" unencoded.
TQ_EXPORT extern const char gDefaultUrlSafe[];

// urlEncodeUseSafeChar (buffer form): encodes the NUL-terminated source
// into dest and terminates it. limit counts source characters, not
// destination bytes; dest must hold 3 bytes per source character taken
// plus the terminator (3 * limit + 1 bytes cover every source).
// Returns 1 on success. Returns 0 when the source has more than limit
// characters: dest then holds the terminated encoding of the first limit
// characters (for a limit of 0 or below, the empty text). A null source is
// success with an empty dest; a null safe set means an empty one; a null
// dest returns 0 and writes nothing. Nothing is written past the
// terminator.
TQ_EXPORT int urlEncodeUseSafeChar(char* dest, const char* source, int limit,
                                   const char* safe);

// urlEncode (buffer form): urlEncodeUseSafeChar with gDefaultUrlSafe.
TQ_EXPORT int urlEncode(char* dest, const char* source, int limit);

// urlEncodeUseSafeChar (string form): the encoding of every byte of the
// source, embedded NUL bytes included ("%00"); a byte that occurs anywhere
// in safe (NUL included) passes unchanged. Never fails.
TQ_EXPORT std::string urlEncodeUseSafeChar(const std::string& source,
                                           const std::string& safe);

// urlEncode (string form): urlEncodeUseSafeChar with gDefaultUrlSafe.
// "a b&c/d~e" -> "a%20b%26c/d~e".
TQ_EXPORT std::string urlEncode(const std::string& source);

// urlDecode (string form): the decoded text; never fails. "+" becomes a
// space. "%" always consumes the two characters after it (positions past
// the end count as NUL) and gives one byte read like strtol("0x0" X Y, 16):
//   two hex digits (either case)  -> their byte      "%4a"  -> "J"
//   hex digit, then anything else -> that digit      "%4G"  -> "\x04"
//   first character not hex       -> a NUL byte      "%G1x" -> "\0x"
// so "100%" -> "100\0" and a "+" or "%" among the two is not special.
// Everything else is copied unchanged; nothing is rejected.
TQ_EXPORT std::string urlDecode(const std::string& source);

// urlDecode (buffer form): decodes source positions 0 to length - 1 by the
// rules above (positions at or past length count as NUL; nothing beyond
// them is read) into dest, then writes a terminator. dest must hold
// length + 1 bytes. A decoded NUL byte is written like any other, so it ends
// dest early when read as text. A length of 0 or below, or a null source,
// writes only the terminator; a null dest writes nothing.
TQ_EXPORT void urlDecode(char* dest, const char* source, int length);

// UrlEncode: the base library's form-value encoder behind the library
// object's UrlEncode. Encodes the NUL-terminated value with urlEncode into
// storage and returns storage.data(): non-null, NUL-terminated, valid while
// storage lives and is not modified. A null value gives "". storage is
// sized once, before anything is written, so the encoded text (a client
// secret, say) is never left behind in a freed buffer; whatever storage held
// before is wiped first. The caller wipes storage when the value is secret.
extern "C" TQ_EXPORT const char* UrlEncode(const char* value,
                                           std::vector<char>& storage);
