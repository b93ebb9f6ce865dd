#include "internal/base/StringFormat.h"

#include <cstdio>

std::string StringPrintfV(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) {
    return std::string();
  }
  std::string out(static_cast<size_t>(needed), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, ap);
  return out;
}

std::string StringPrintf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out = StringPrintfV(format, ap);
  va_end(ap);
  return out;
}
