#pragma once

#include <stdint.h>

// Helpers of the time parsers (util/TimeParsing.h) that tests reach;
// defined in util/TimeParsing.cpp and not exported.
// Tests: tests/util/TimeParsing_test.cpp

// localTimeOffsetSeconds: the offset east of UTC of the local zone's
// standard time at instant t (daylight saving left out: 3600 for Berlin in
// summer and in winter, -18000 for New York), as mktime reads the UTC fields
// of t as local standard time. 0 when TQRF_gmtime or TQRF_localtime fails.
int64_t localTimeOffsetSeconds(unsigned long long t);

// checkString: 1 when text starts with pattern, where 'd' in the pattern
// stands for any of '0'-'9' and every other character for itself
// (case-sensitive); 0 otherwise, including when text ends first.
int checkString(const char* text, const char* pattern);
