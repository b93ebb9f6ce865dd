#pragma once

#include <time.h>

#include "platform/TQExport.h"

// Reentrant time conversions of the base library: localtime_r / gmtime_r.
// Tests: tests/util/TimeParsing_test.cpp

// TQ_localtime: fills *out with the local broken-down time of *value (the
// process's time zone, tm_isdst and tm_gmtoff included) and returns out.
// Null when either pointer is null or the year does not fit an int; *out is
// then unspecified. The zone is loaded on first use; a later change of TZ
// takes effect only after tzset().
TQ_EXPORT tm* TQ_localtime(const time_t* value, tm* out);

// TQ_gmtime: as TQ_localtime, for UTC.
TQ_EXPORT tm* TQ_gmtime(const time_t* value, tm* out);
