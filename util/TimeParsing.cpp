#include "util/TimeParsing.h"

#include <errno.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/TQTime.h"
#include "util/StringUtils.h"
#include "util/internal/TimeParsingDetail.h"

static_assert(sizeof(long) == 8, "time values are returned as 64-bit long");
static_assert(sizeof(time_t) == 8, "time_t must hold 64-bit time values");
static_assert(sizeof(int) == 4, "scanf's %d stores 32 bits");

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// White space as scanf skips it: isspace() in the C locale.
bool IsScanSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Not tolower(): the result must not depend on the process's locale.
char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// is_blank of every byte value, taken once, so that the scanning loops make
// no call per character while is_blank stays the one definition of a blank.
// Read-only after its thread-safe initialisation.
class BlankTable {
 public:
  BlankTable() {
    for (int c = 0; c < 256; ++c) {
      blank_[c] = is_blank(static_cast<char>(c)) != 0;
    }
  }
  bool operator()(char c) const {
    return blank_[static_cast<unsigned char>(c)];
  }

 private:
  bool blank_[256];
};

const BlankTable& Blanks() {
  static const BlankTable table;
  return table;
}

const char* SkipBlanks(const char* p, const BlankTable& isBlank) {
  while (isBlank(*p)) {
    ++p;
  }
  return p;
}

const char* SkipWord(const char* p, const BlankTable& isBlank) {
  while (*p != '\0' && !isBlank(*p)) {
    ++p;
  }
  return p;
}

// Years are shifted by whole 400-year eras (the Gregorian calendar repeats
// every 146097 days) so that every year the parsers can produce, an int plus
// 2000 and a month carry, is positive and the divisions are unsigned.
constexpr int64_t kShiftEras = 5368710;
constexpr int64_t kShiftYears = 400 * kShiftEras;  // 2147484000
// Lowest shifted year: INT_MIN + 2000, minus one for a January or February.
static_assert(kShiftYears + int64_t{INT_MIN} + 2000 - 1 > 0, "shift too small");

// Days from 1 March to the first of each month, in a year counted from
// March so that the leap day comes last; index January = 0.
constexpr int kDaysFromMarch[12] = {306, 337, 0,   31,  61,  92,
                                    122, 153, 184, 214, 245, 275};

// Seconds since the epoch of the fields read as UTC. Out-of-range fields
// carry as mktime carries them: the month into the year (floor division),
// then day, hour, minute and second linearly from the first of the month.
// Days from the civil date after H. Hinnant, "chrono-Compatible Low-Level
// Date Algorithms" (days_from_civil). year: [INT_MIN + 2000, INT_MAX];
// |result| < 2^58, so no step overflows.
int64_t UtcSeconds(int64_t year, int month0, int day, int hour, int minute,
                   int second) {
  int64_t carry = month0 / 12;
  int month = month0 % 12;  // (-12, 12)
  if (month < 0) {
    month += 12;
    --carry;
  }
  // month: [0, 11]; y: [1, 2^33)
  const uint64_t y =
      static_cast<uint64_t>(year + carry + kShiftYears - (month < 2 ? 1 : 0));
  const uint64_t era = y / 400;
  const uint64_t yoe = y - era * 400;  // [0, 399]
  const uint64_t doe =
      yoe * 365 + yoe / 4 - yoe / 100 + kDaysFromMarch[month];  // [0, 146096]
  const int64_t days = static_cast<int64_t>(era * 146097 + doe) -
                       (kShiftEras * 146097 + 719468) + day - 1;
  return days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
}

// checkString with a pattern known at compile time, unrolled: the parsers'
// hot path. A text that ends first fails on its terminator, so nothing
// beyond it is read.
template <size_t N>
bool Matches(const char* text, const char (&pattern)[N]) {
#pragma GCC unroll 32
  for (size_t i = 0; i + 1 < N; ++i) {
    if (pattern[i] == 'd' ? !IsDigit(text[i]) : text[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

// ---- ISO 8601 ----

constexpr char kIsoDateTime[] = "dddd-dd-ddTdd:dd:dd";
constexpr size_t kIsoDateTimeLength = sizeof(kIsoDateTime) - 1;

int TwoDigits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// text starts with kIsoDateTime.
long IsoFromMatched(const char* text) {
  const int year = TwoDigits(text) * 100 + TwoDigits(text + 2);  // [0, 9999]
  int64_t t = UtcSeconds(year, TwoDigits(text + 5) - 1, TwoDigits(text + 8),
                         TwoDigits(text + 11), TwoDigits(text + 14),
                         TwoDigits(text + 17));
  const char* p = text + kIsoDateTimeLength;
  if (*p == '.') {
    ++p;
    while (IsDigit(*p)) {
      ++p;
    }
  }
  if (Matches(p, "+dd:dd") || Matches(p, "-dd:dd")) {
    const int sign = *p == '-' ? -1 : 1;
    const int minutes = TwoDigits(p + 1) * 60 + TwoDigits(p + 4);  // [0, 6039]
    t -= sign * minutes * 60;
  }
  return t;
}

// ---- RFC 822 ----

// Readers with the acceptance rules of glibc's scanf conversions, bounded to
// their output. Each advances p past what it consumed only on success.

// "%d", or "%<width>d" with width > 0: white space skipped (not counted in
// the width), an optional sign (counted), then decimal digits. Like glibc,
// the digits go through strtol (saturating at LONG_MIN/LONG_MAX) and the
// long is stored into the int by truncation: "4294967302" reads as 6,
// "99999999999999999999" as -1. False when no digit follows the sign.
bool ScanInt(const char*& p, int width, int& out) {
  const char* s = p;
  while (IsScanSpace(*s)) {
    ++s;
  }
  long left = width > 0 ? width : LONG_MAX;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
    --left;
  }
  const char* digits = s;
  uint64_t magnitude = 0;  // exact while below 10^19
  bool saturated = false;  // 10^19 or more: beyond any long
  for (; left > 0 && IsDigit(*s); ++s, --left) {
    if (magnitude >= 1000000000000000000u) {
      saturated = true;
    } else {
      magnitude = magnitude * 10 + static_cast<unsigned>(*s - '0');
    }
  }
  if (s == digits) {
    return false;
  }
  const uint64_t limit = uint64_t{LONG_MAX} + (negative ? 1 : 0);
  saturated = saturated || magnitude > limit;
  uint32_t low;  // the low 32 bits of the long strtol gives
  if (saturated) {
    low = negative ? 0u : 0xFFFFFFFFu;
  } else {
    const uint32_t m = static_cast<uint32_t>(magnitude);
    low = negative ? 0u - m : m;
  }
  out = static_cast<int32_t>(low);  // modulo 2^32, as GCC defines it
  p = s;
  return true;
}

constexpr size_t kFieldSize = 20;  // 19 characters and a terminator

// "%s": white space skipped, then the word up to the next white space. The
// whole word is consumed, as an unbounded "%s" consumes it, but only its
// first 19 characters are stored: no decision looks further.
bool ScanWord(const char*& p, char (&out)[kFieldSize]) {
  const char* s = p;
  while (IsScanSpace(*s)) {
    ++s;
  }
  if (*s == '\0') {
    return false;
  }
  size_t n = 0;
  for (; *s != '\0' && !IsScanSpace(*s); ++s) {
    if (n < kFieldSize - 1) {
      out[n++] = *s;
    }
  }
  out[n] = '\0';
  p = s;
  return true;
}

// A literal character of a scanf format: matched exactly, no white space
// skipped before it.
bool ScanChar(const char*& p, char c) {
  if (*p != c) {
    return false;
  }
  ++p;
  return true;
}

// RFC 822 section 5.1 day and month names, lower case; index = tm_wday and
// tm_mon.
constexpr const char* kDays[] = {"sun", "mon", "tue", "wed",
                                 "thu", "fri", "sat"};
constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};

bool StartsWithDayName(const char* p) {
  for (const char* day : kDays) {
    if (strncmp(p, day, 3) == 0) {
      return true;
    }
  }
  return false;
}

bool FindMonth(const char* word, int& outMonth0) {
  for (int i = 0; i < 12; ++i) {
    if (strncmp(word, kMonths[i], 3) == 0) {
      outMonth0 = i;
      return true;
    }
  }
  return false;
}

// RFC 822 section 5.1 zones as numeric zone texts, first match wins. The
// military letters keep the signs RFC 822 prints ("a" is one hour behind
// UTC), although RFC 1123 section 5.2.14 notes that practice reversed them:
// stored stamps were made with these.
struct ZoneName {
  const char* word;
  const char* numeric;
};
constexpr ZoneName kZones[] = {
    {"ut", "0000"},   {"gmt", "0000"},  {"est", "-0500"}, {"edt", "-0400"},
    {"cst", "-0600"}, {"cdt", "-0500"}, {"mst", "-0700"}, {"mdt", "-0600"},
    {"pst", "-0800"}, {"pdt", "-0700"}, {"a", "-0100"},   {"z", "0000"},
    {"m", "-1200"},   {"n", "0100"},    {"y", "1200"},
};

const char* NumericZone(const char* word) {
  for (const ZoneName& zone : kZones) {
    if (strcmp(word, zone.word) == 0) {
      return zone.numeric;
    }
  }
  return "0000";  // unknown words count as UTC
}

constexpr size_t kWorkingCopySize = 200;  // 199 characters and a terminator

}  // namespace

long GetTimeValue(long value) { return value >= 0 ? value : 0; }

int checkString(const char* text, const char* pattern) {
  for (; *pattern != '\0'; ++pattern, ++text) {
    // A text that ends first fails here on its terminator.
    const bool match = *pattern == 'd' ? IsDigit(*text) : *text == *pattern;
    if (!match) {
      return 0;
    }
  }
  return 1;
}

long parseIso8601Time(const char* text) {
  if (text == nullptr) {
    return -1;
  }
  if (Matches(text, kIsoDateTime)) {
    return IsoFromMatched(text);
  }
  // A one-digit month or day gets its leading zero; nothing else is mended.
  const std::vector<std::string> halves = SplitString(std::string(text), 'T');
  if (halves.size() != 2) {
    return -1;
  }
  const std::vector<std::string> date = SplitString(halves[0], '-');
  if (date.size() != 3) {
    return -1;
  }
  std::string rebuilt = date[0];
  rebuilt += '-';
  if (date[1].size() == 1) {
    rebuilt += '0';
  }
  rebuilt += date[1];
  rebuilt += '-';
  if (date[2].size() == 1) {
    rebuilt += '0';
  }
  rebuilt += date[2];
  rebuilt += 'T';
  rebuilt += halves[1];
  if (checkString(rebuilt.c_str(), kIsoDateTime) != 1) {
    return -1;
  }
  return IsoFromMatched(rebuilt.c_str());
}

long parseRfc822Time(const char* text) {
  if (text == nullptr) {
    return -1;
  }
  char copy[kWorkingCopySize];
  size_t n = 0;
  for (; n < kWorkingCopySize - 1 && text[n] != '\0'; ++n) {
    copy[n] = AsciiLower(text[n]);
  }
  copy[n] = '\0';

  const BlankTable& isBlank = Blanks();
  const char* p = SkipBlanks(copy, isBlank);
  if (*p == '\0') {
    return 0;
  }
  if (StartsWithDayName(p)) {
    p = SkipBlanks(SkipWord(p, isBlank), isBlank);
    if (*p == '\0') {
      return 0;
    }
    if (*p == ',') {
      ++p;
    }
    p = SkipBlanks(p, isBlank);
    if (*p == '\0') {
      return 0;
    }
  }

  int day = 0;
  int year = 0;
  char month[kFieldSize];
  const char* scan = p;
  if (!ScanInt(scan, 0, day) || !ScanWord(scan, month) ||
      !ScanInt(scan, 0, year)) {
    return -1;
  }
  // The time is looked for three blank-separated words on, wherever the
  // scan above stopped.
  for (int word = 0; word < 3; ++word) {
    p = SkipBlanks(SkipWord(p, isBlank), isBlank);
  }
  int month0 = 0;
  if (!FindMonth(month, month0)) {
    return -1;
  }
  int64_t fullYear = year;
  if (fullYear < 50) {
    fullYear += 2000;
  } else if (fullYear < 1900) {
    fullYear += 1900;
  }

  int hour = 0;
  int minute = 0;
  int second = 0;
  scan = p;
  if (!ScanInt(scan, 0, hour) || !ScanChar(scan, ':') ||
      !ScanInt(scan, 0, minute) || !ScanChar(scan, ':') ||
      !ScanInt(scan, 0, second)) {
    return -1;
  }
  p = SkipBlanks(SkipWord(p, isBlank), isBlank);
  if (*p == '+') {
    ++p;
  }

  const char* numeric = "0000";  // no zone word: GMT
  char zone[kFieldSize];
  if (ScanWord(p, zone)) {
    numeric = zone[0] == '-' || IsDigit(zone[0]) ? zone : NumericZone(zone);
  }
  int sign = 1;
  if (*numeric == '-') {
    sign = -1;
    ++numeric;
  }
  int zoneHours = 0;    // [-9, 99]
  int zoneMinutes = 0;  // [-9, 99]
  if (!ScanInt(numeric, 2, zoneHours) || !ScanInt(numeric, 2, zoneMinutes)) {
    return -1;
  }
  const int64_t local = UtcSeconds(fullYear, month0, day, hour, minute, second);
  return local - sign * (zoneHours * 60 + zoneMinutes) * 60;
}

uint64_t parseUnsignedInt(const char* text, bool keepTenDigits) {
  if (text == nullptr) {
    return 0;
  }
  const char* p = text;
  while (is_blank(*p)) {
    ++p;
  }
  uint64_t value = 0;
  size_t digits = 0;
  for (; IsDigit(*p); ++p, ++digits) {
    value = value * 10 + static_cast<unsigned>(*p - '0');  // wraps mod 2^64
  }
  if (keepTenDigits && digits > 12) {
    for (size_t i = 10; i < digits; ++i) {
      value /= 10;
    }
  }
  return value;
}

tm* TQRF_localtime(const unsigned long long* value, tm* out) {
  if (value == nullptr) {
    return nullptr;
  }
  const time_t t = static_cast<time_t>(*value);
  return TQ_localtime(&t, out);
}

tm* TQRF_gmtime(const unsigned long long* value, tm* out) {
  if (value == nullptr) {
    return nullptr;
  }
  const time_t t = static_cast<time_t>(*value);
  return TQ_gmtime(&t, out);
}

int64_t localTimeOffsetSeconds(unsigned long long t) {
  tm fields{};
  if (TQRF_gmtime(&t, &fields) == nullptr) {
    return 0;
  }
  // The UTC wall clock of t read as local standard time ...
  fields.tm_isdst = 0;
  errno = 0;
  const time_t asStandard = mktime(&fields);
  if (asStandard == -1 && errno != 0) {
    return 0;
  }
  if (TQRF_localtime(&t, &fields) == nullptr) {
    return 0;
  }
  // ... against the local wall clock of t read back with its own DST flag.
  errno = 0;
  const time_t asLocal = mktime(&fields);
  if (asLocal == -1 && errno != 0) {
    return 0;
  }
  return int64_t{asLocal} - int64_t{asStandard};
}
