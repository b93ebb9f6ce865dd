// Time parsers next to what a caller would use instead: strptime + timegm
// for ISO 8601, libcurl's curl_getdate for RFC 822 dates. Each runs under
// several TZ values: ours never consults the zone, so the figures must not
// move with it.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <time.h>

#include "util/TimeParsing.h"

namespace {

constexpr char kIso[] = "2020-01-05T10:20:30Z";
constexpr long kIsoSeconds = 1578219630;
constexpr char kIsoOneDigit[] = "2020-1-5T10:20:30Z";
constexpr char kRfc[] = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr long kRfcSeconds = 784111777;

void SetZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

long StrptimeTimegm(const char* text) {
  tm fields{};
  if (strptime(text, "%Y-%m-%dT%H:%M:%SZ", &fields) == nullptr) {
    return -1;
  }
  return timegm(&fields);
}

// Runs parse over text in zone after checking that it gives expected.
template <class Parse>
void Run(benchmark::State& state, const char* zone, Parse parse,
         const char* text, long expected) {
  SetZone(zone);
  if (parse(text) != expected) {
    state.SkipWithError("wrong result");
    return;
  }
  for (auto _ : state) {
    const char* input = text;
    benchmark::DoNotOptimize(input);  // no constant folding of the text
    benchmark::DoNotOptimize(parse(input));
  }
}

void BM_parseIso8601Time(benchmark::State& state, const char* zone) {
  Run(state, zone, parseIso8601Time, kIso, kIsoSeconds);
}

void BM_parseIso8601Time_OneDigitMonthDay(benchmark::State& state,
                                          const char* zone) {
  Run(state, zone, parseIso8601Time, kIsoOneDigit, kIsoSeconds);
}

void BM_strptime_timegm(benchmark::State& state, const char* zone) {
  Run(state, zone, StrptimeTimegm, kIso, kIsoSeconds);
}

void BM_parseRfc822Time(benchmark::State& state, const char* zone) {
  Run(state, zone, parseRfc822Time, kRfc, kRfcSeconds);
}

void BM_curl_getdate(benchmark::State& state, const char* zone) {
  Run(
      state, zone,
      [](const char* text) {
        return static_cast<long>(curl_getdate(text, nullptr));
      },
      kRfc, kRfcSeconds);
}

#define TQ_ZONES(fn)                                     \
  BENCHMARK_CAPTURE(fn, UTC, "UTC");                     \
  BENCHMARK_CAPTURE(fn, Europe_Berlin, "Europe/Berlin"); \
  BENCHMARK_CAPTURE(fn, Australia_Lord_Howe, "Australia/Lord_Howe")

TQ_ZONES(BM_parseIso8601Time);
TQ_ZONES(BM_strptime_timegm);
TQ_ZONES(BM_parseIso8601Time_OneDigitMonthDay);
TQ_ZONES(BM_parseRfc822Time);
TQ_ZONES(BM_curl_getdate);

}  // namespace

BENCHMARK_MAIN();
