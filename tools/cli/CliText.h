#pragma once

#include <cstddef>
#include <string>

// Checks of the texts the tqcloudauth command takes on its command line.
// Tests: tests/tools/CliText_test.cpp
namespace tqcli {

// Ids, URLs and scopes are far shorter; more is a mistake, not a credential.
constexpr size_t kMaxOptionBytes = 8192;

// IsPrintable: whether text is UTF-8 (IsUtf8 of internal/text/Redact.h) of at
// most kMaxOptionBytes bytes without control characters (below 0x20, and 0x7F).
// "" is.
bool IsPrintable(const std::string& text);

}  // namespace tqcli
