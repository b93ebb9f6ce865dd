#pragma once

#include <string>

#include "platform/TQExport.h"

// What may be written to the log or put in a status message. Redaction is by
// allow-list: a value is shown only when its name is known to be harmless.

// RedactFormBody: a form body ("a=1&b=2") with the value of every field other
// than client_id, scope, grant_type and client_assertion_type replaced by
// "***" ("client_secret=***"). A piece without "=" becomes "***". Field
// separators and order are kept.
// Tests: tests/internal/Redact_test.cpp
TQ_EXPORT std::string RedactFormBody(const std::string& body);

// RedactHeaderLine: a header line with the value of Authorization,
// Proxy-Authorization, Cookie and Set-Cookie replaced by "***"; any other
// line unchanged.
TQ_EXPORT std::string RedactHeaderLine(const std::string& line);

// RedactTokenReply: a token endpoint's reply text with the values of
// "access_token", "refresh_token" and "id_token" masked, wherever they
// stand, also in text that is not valid JSON: a string value becomes "***",
// and in an array or object value every string does (["***"]). A member name
// counts as a parser reads it ("access\u005ftoken" too). Any other
// occurrence of such a string of 8 bytes or more, as written or decoded, is
// masked too (a token repeated under another name, say); shorter ones cannot
// be told from ordinary words. Numbers, literals and everything else are
// kept, so an error message can show what the endpoint said.
TQ_EXPORT std::string RedactTokenReply(const std::string& reply);

// RedactValue: text with every occurrence of value replaced by "***"; text
// as it is for a value shorter than 8 bytes. For texts taken from a reply
// (an error description) that may repeat a token.
TQ_EXPORT std::string RedactValue(const std::string& text,
                                  const std::string& value);

// How EscapeControls treats line breaks and tabs.
enum class LineBreaks {
  kEscape,  // "\n" and "\t" escaped: one text, one line
  kKeep,    // "\n" and "\t" kept: a message of several lines
};

// EscapeControls: text with every control character (below 0x20, and 0x7F)
// written as an escape: "\r", "\n", "\t" (unless kept) and "\xNN" (lower-case
// hex) for the others; every other byte as it is. For texts that may quote
// what a peer sent: in the log they cannot forge a line, on a terminal they
// cannot move the cursor or hide a line behind a carriage return.
TQ_EXPORT std::string EscapeControls(const std::string& text,
                                     LineBreaks breaks);
