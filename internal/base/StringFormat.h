#pragma once

#include <cstdarg>
#include <string>

#include "platform/TQExport.h"

// StringPrintf: printf into a std::string of exactly the needed length.
// A format error yields an empty string.
std::string StringPrintf(const char* format, ...) TQ_PRINTF_FORMAT(1, 2);
std::string StringPrintfV(const char* format, va_list ap)
    TQ_PRINTF_FORMAT(1, 0);
