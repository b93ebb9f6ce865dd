#pragma once

#include <cstddef>
#include <string>

// Checks of the texts the tqcloudauth command takes on its command line.
// Tests: tests/tools/CliText_test.cpp
namespace tqcli {

// Ids, URLs and scopes are far shorter; more is a mistake, not a credential.
constexpr size_t kMaxOptionBytes = 8192;

// IsPlainName: whether name can form a file name on its own: 1 to 128
// letters, digits, '.', '-' and '_', not starting with '.'.
bool IsPlainName(const std::string& name);

// IsUtf8: whether text is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF): the credential record is stored as
// JSON, which cannot carry anything else. "" is.
bool IsUtf8(const std::string& text);

// IsPrintable: whether text is UTF-8 of at most kMaxOptionBytes bytes
// without control characters (below 0x20, and 0x7F). "" is.
bool IsPrintable(const std::string& text);

}  // namespace tqcli
