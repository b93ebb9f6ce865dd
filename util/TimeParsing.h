#pragma once

#include <stdint.h>
#include <time.h>

#include "platform/TQExport.h"

// Exported time helpers: ISO 8601 and RFC 822 time stamps to seconds since
// 1970-01-01T00:00:00Z, a decimal reader, a clamp and two conversion
// wrappers. None keeps mutable state; all are reentrant.
//
// Both parsers read the date and time fields as UTC by calendar arithmetic.
// Out-of-range fields are carried over the way mktime carries them (month 13
// is January of the next year, day 32 of January is 1 February, day 0 is the
// last day of the previous month, second 60 is the next minute), never
// rejected. The result therefore does not depend on the process's time zone
// or its daylight-saving rules, and no time-zone data is consulted.
//
// Sentinels collide with real instants: -1 is also 1969-12-31T23:59:59Z, and
// parseRfc822Time's 0 for a blank text is also 1970-01-01T00:00:00Z.
//
// Tests: tests/util/TimeParsing_test.cpp

// GetTimeValue: value when it is 0 or more, else 0.
TQ_EXPORT long GetTimeValue(long value);

// parseIso8601Time: seconds since the epoch of "YYYY-MM-DDThh:mm:ss" at the
// start of text, each field exactly two digits (four for the year), 'T'
// upper-case. When the text does not match as it stands, it is split at
// 'T' and its date at '-' (fields trimmed of spaces) and a one-digit month
// or day gets a leading zero ("2020-1-5T10:20:30" is read as
// "2020-01-05T10:20:30"); this needs exactly two 'T' pieces and three date
// pieces. Time-of-day fields are never padded.
// After the seconds, a '.' and the digits after it are skipped; then
// "+hh:mm" or "-hh:mm" (exactly so, colon required, not range-checked) is
// subtracted from the local reading: "+05:30" takes 19800 s off. Anything
// else there ("Z", "+0530", the rest of the text) is ignored and the stamp
// counts as UTC.
// Returns -1 for a null text or one that does not match after padding
// ("2020-01-05", "2020-01-05 10:20:30", "2020-01-05T1:2:3").
TQ_EXPORT long parseIso8601Time(const char* text);

// parseRfc822Time: seconds since the epoch of an RFC 822 date-time such as
// "Sun, 06 Nov 1994 08:49:37 GMT", case-insensitive. Only the first 199
// characters of text are read. Blanks are spaces and tabs.
//  - An optional day name (any word whose first three letters name a
//    weekday; not checked against the date) and one optional ',' lead.
//  - Day, month word and year are read as scanf's "%d%s%d" reads them
//    (leading white space and a sign accepted, numbers beyond int wrap as
//    glibc's scanf wraps them); the month is the first three letters of
//    its word. Years below 50 get 2000 added, years 50 to 1899 get 1900
//    added ("94" is 1994, "1850" is 3750).
//  - Three blank-separated words on, the time is read as "%d:%d:%d".
//  - The next word (after one optional '+') is the zone: a number
//    "[-]hhmm" read as "%02d%02d", or a word of RFC 822 section 5.1 with its
//    printed signs ("a" is -0100, "y" is +1200); an unknown word or no word
//    counts as UTC. The zone offset is subtracted: "-0500" adds 18000 s.
// Returns -1 for a null text, fewer than three date or time items, an
// unknown month or an unreadable numeric zone ("-5"); 0 for a text that is
// empty, blank, or ends after the day name or its comma ("Mon, ").
TQ_EXPORT long parseRfc822Time(const char* text);

// parseUnsignedInt: the decimal number at the start of text after spaces
// and tabs; no sign is accepted, and text without leading digits (or null)
// gives 0. Digits accumulate modulo 2^64 without overflow detection. With
// keepTenDigits, a number of more than 12 digits as written (leading zeros
// count) is cut to its leading ten by dividing by 10 once per further digit:
// 13-digit milliseconds become seconds; 11 or 12 digits stay as they are.
TQ_EXPORT uint64_t parseUnsignedInt(const char* text, bool keepTenDigits);

// TQRF_localtime: *value converted to a time_t (values from 2^63 on become
// negative) and passed to TQ_localtime with out; returns its result: out
// filled with the local broken-down time, or null when the conversion fails
// or either pointer is null.
TQ_EXPORT tm* TQRF_localtime(const unsigned long long* value, tm* out);

// TQRF_gmtime: as TQRF_localtime, through TQ_gmtime (UTC).
TQ_EXPORT tm* TQRF_gmtime(const unsigned long long* value, tm* out);
