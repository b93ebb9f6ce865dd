// parseRfc822Time. Arbitrary texts: only the first 199 characters are read
// (checked with a buffer that ends there), and case does not matter. Stamps
// built from the fuzz bytes ("Sun, 06 Nov 1994 08:49:37 GMT" and its
// variants) are checked against glibc's timegm.

#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/TimeParsing.h"

namespace {

constexpr size_t kReadLimit = 199;

long Parse(const std::string& text) {
  // Exactly the bytes the parser may read: the text and its terminator, or
  // the first 199 characters and nothing after them.
  std::vector<char> exact(text.begin(), text.end());
  if (exact.size() < kReadLimit) {
    exact.push_back('\0');
  } else {
    exact.resize(kReadLimit);
  }
  return parseRfc822Time(exact.data());
}

std::string Cased(std::string s, int (*convert)(int)) {
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      c = static_cast<char>(convert(u));
    }
  }
  return s;
}

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                 "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// RFC 822 section 5.1 zones with the offsets they are read with (minutes).
struct Zone {
  const char* name;
  int minutes;
};
constexpr Zone kZones[] = {
    {"UT", 0},     {"GMT", 0},    {"EST", -300}, {"EDT", -240}, {"CST", -360},
    {"CDT", -300}, {"MST", -420}, {"MDT", -360}, {"PST", -480}, {"PDT", -420},
    {"A", -60},    {"Z", 0},      {"M", -720},   {"N", 60},     {"Y", 720},
};

// A well-formed stamp from the fuzz bytes and its value by timegm.
void CheckBuiltStamp(tqfuzz::Reader& in) {
  const int day = 1 + in.Byte() % 31;
  const int month0 = in.Byte() % 12;
  const int yearPick = in.Byte() | in.Byte() << 8;
  const bool twoDigitYear = (yearPick & 1) != 0;
  const int year = twoDigitYear
                       ? (yearPick >> 1) % 100
                       : 1900 + (yearPick >> 1) % 8100;  // [1900, 9999]
  const int hour = in.Byte() % 24;
  const int minute = in.Byte() % 60;
  const int second = in.Byte() % 61;
  const int zonePick = in.Byte();
  const bool withDay = (zonePick & 0x80) != 0;
  const int dayName = in.Byte() % 7;  // not checked against the date

  char zone[16];
  int zoneMinutes = 0;
  if ((zonePick & 0x40) != 0) {
    const int magnitude = in.Byte() % 24 * 100 + in.Byte() % 60;
    const bool negative = (zonePick & 0x20) != 0;
    std::snprintf(zone, sizeof zone, "%c%04d", negative ? '-' : '+', magnitude);
    zoneMinutes =
        (negative ? -1 : 1) * (magnitude / 100 * 60 + magnitude % 100);
  } else {
    const Zone& z =
        kZones[(zonePick & 0x3F) % (sizeof kZones / sizeof *kZones)];
    std::snprintf(zone, sizeof zone, "%s", z.name);
    zoneMinutes = z.minutes;
  }
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%s%s%02d %s %0*d %02d:%02d:%02d %s",
                withDay ? kDays[dayName] : "", withDay ? ", " : "", day,
                kMonths[month0], twoDigitYear ? 2 : 4, year, hour, minute,
                second, zone);

  tm fields{};
  fields.tm_year =
      (twoDigitYear ? (year < 50 ? 2000 : 1900) + year : year) - 1900;
  fields.tm_mon = month0;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  const long want = static_cast<long>(timegm(&fields)) - zoneMinutes * 60L;
  const long got = Parse(stamp);
  FUZZ_CHECK(got == want, std::string("parseRfc822Time(\"") + stamp +
                              "\") = " + std::to_string(got) + ", expected " +
                              std::to_string(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  const long got = Parse(text);
  FUZZ_CHECK(Parse(Cased(text, std::toupper)) == got &&
                 Parse(Cased(text, std::tolower)) == got,
             "parseRfc822Time depends on case for \"" + text + "\"");
  FUZZ_CHECK(text.size() < kReadLimit || parseRfc822Time(text.c_str()) == got,
             "parseRfc822Time depends on characters beyond the 199th");

  tqfuzz::Reader in(data, size);
  CheckBuiltStamp(in);
  return 0;
}
