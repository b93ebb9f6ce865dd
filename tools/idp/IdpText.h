#pragma once

// Text helpers shared by the parts of the local token endpoint.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tqidp {

enum class TimeFormat {
  kStamp,    // "2024-01-31 12:00:00Z", Azure AD's error time stamp
  kIso,      // "2024-01-31T12:00:00.0000000Z"
  kKeyDate,  // "01/31/2024 12:00:00", as key credentials are shown
};

// FormatUtc: seconds since the epoch in format, clamped to the years
// 1970..9999 so that any NumericDate can be shown.
std::string FormatUtc(double seconds, TimeFormat format);

// HexValue: the value of a hex digit (either case), or -1.
int HexValue(char c);
// HexUpper: upper-case hex of bytes.
std::string HexUpper(std::string_view bytes);
// RandomBytes: n bytes from OpenSSL's generator; throws std::runtime_error
// when it fails.
std::string RandomBytes(size_t n);
// NewUuid: a random (version 4) UUID in lower case, as Azure AD's ids.
std::string NewUuid();
// IsUuid: true for 8-4-4-4-12 hex digits (either case).
bool IsUuid(const std::string& text);
// Printable: at most 200 bytes of client-chosen text for a log line, control
// bytes shown as "?".
std::string Printable(std::string_view text);
// DumpJson: compact JSON; text that is not UTF-8 (parts come from requests)
// is replaced, never thrown on.
std::string DumpJson(const nlohmann::ordered_json& j);

}  // namespace tqidp
