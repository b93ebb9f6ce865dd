#pragma once

// Marks a class or function as part of the shared library's interface; the
// library is built with hidden visibility, so nothing else is exported.
#define TQ_EXPORT [[gnu::visibility("default")]]

// printf-style checking for our own formatting helpers (-Wformat=2).
#define TQ_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
