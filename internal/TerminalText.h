#pragma once

#include <string>

// What the tqcloudauth command writes to a terminal: text taken from stored
// records or from replies must not carry control characters there (an
// escape sequence drives the terminal, a carriage return hides a line).
// Tests: tests/internal/TerminalText_test.cpp

// HasControlCharacters: whether text holds a C0 control (below 0x20), DEL,
// a C1 control (U+0080 to U+009F, as UTF-8 or as a lone byte 0x80 to 0x9F)
// or a byte that is not part of well-formed UTF-8.
bool HasControlCharacters(const std::string& text);

// EscapeControls: text with each such character written as "\r", "\n",
// "\t" or "\xHH" (per byte), everything else kept; with keepLineBreaks,
// "\n" and "\t" are kept as they are (a message's own lines).
std::string EscapeControls(const std::string& text, bool keepLineBreaks);
