#pragma once

#include <string>
#include <vector>

#include "platform/TQExport.h"

// Exported string helpers shared by the product's components. None keeps
// state or reports errors. Tests: tests/util/StringUtils_test.cpp

// is_blank: 1 for a space or a horizontal tab, else 0 (line breaks are not
// blank).
TQ_EXPORT int is_blank(char c);

// To_Lower: a copy with each byte passed through tolower (default locale:
// only "A"-"Z" change). Same length.
TQ_EXPORT std::string To_Lower(const std::string& text);

// To_String: the decimal text of a number, as printf formats it ("%d",
// "%ld", ... ; the floating-point forms "%f"/"%Lf", six decimals:
// 2.5 -> "2.500000").
TQ_EXPORT std::string To_String(int value);
TQ_EXPORT std::string To_String(long value);
TQ_EXPORT std::string To_String(long long value);
TQ_EXPORT std::string To_String(unsigned int value);
TQ_EXPORT std::string To_String(unsigned long value);
TQ_EXPORT std::string To_String(unsigned long long value);
TQ_EXPORT std::string To_String(float value);
TQ_EXPORT std::string To_String(double value);
TQ_EXPORT std::string To_String(long double value);

// StringToLongLong: the leading decimal number of the text's NUL-terminated
// form, as atoll reads it (leading white space and one sign accepted,
// anything after the digits ignored); 0 without digits. Out-of-range values
// give LLONG_MIN / LLONG_MAX.
TQ_EXPORT long long StringToLongLong(const std::string& text);

// TrimStringSpaces: the text up to its first NUL byte without leading and
// trailing spaces (only " "; tabs and line breaks stay).
TQ_EXPORT std::string TrimStringSpaces(const std::string& text);

// SplitString: the fields between separators, each trimmed of spaces, as
// getline reads them: "a,,b" -> {"a", "", "b"}, "a,b," -> {"a", "b"},
// "" -> {}, "," -> {""}.
TQ_EXPORT std::vector<std::string> SplitString(const std::string& text,
                                               char separator);

// SplitString in two at the separator's first (fromEnd false) or last
// occurrence: true with the parts before and after it; false with the whole
// text in first and second empty. Both parts are always overwritten.
TQ_EXPORT bool SplitString(const std::string& text,
                           const std::string& separator, std::string& first,
                           std::string& second, bool fromEnd);

// AddConnector: first + connector + second when both are non-empty,
// otherwise the non-empty one (or "").
TQ_EXPORT std::string AddConnector(const std::string& first,
                                   const std::string& second,
                                   const std::string& connector);

// GetXMLElement: the text between the first "<name>" (or "<name ...>") and
// the first "</name" of the document, by plain text search: no parsing, no
// entities, no nesting. "" when either is missing. When the closing text
// comes before the opening tag, the result runs to the end of the document
// ("</v><v>x</v>" -> "x</v>").
TQ_EXPORT std::string GetXMLElement(const std::string& document,
                                    const std::string& name);
