#pragma once

#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/SecureMemory.h"

// Internal to the library: the JSON document type of the message library and
// the JSON wrapper. Its strings (values, keys, and the parser's own scratch
// buffer, which has the same string type) come from ZeroingAllocator, so
// token replies and credential records leave no copies behind in freed heap
// memory. Strings short enough for the in-object buffer are not covered.
using SecureJsonString =
    std::basic_string<char, std::char_traits<char>, ZeroingAllocator<char>>;
using SecureJson =
    nlohmann::basic_json<std::map, std::vector, SecureJsonString>;

// ParseJsonBounded: parses text[0, length) as one JSON document into out.
// True on success. False, with out left unchanged, for a null text, malformed
// JSON (trailing content included), or arrays/objects nested deeper than
// maxDepth levels (the outermost value is level 1). Never throws.
// Tests: tests/internal/SecureJson_test.cpp
bool ParseJsonBounded(const char* text, size_t length, unsigned int maxDepth,
                      SecureJson& out) noexcept;
