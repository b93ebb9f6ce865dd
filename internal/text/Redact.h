#pragma once

#include <cstddef>
#include <string>

// What may be written to the log or put in a status message. Redaction is by
// allow-list: a value is shown only when its name is known to be harmless.

// RedactFormBody: a form body ("a=1&b=2") with the value of every field other
// than client_id, scope, grant_type and client_assertion_type replaced by
// "***" ("client_secret=***"). A piece without "=" becomes "***". Field
// separators and order are kept.
// Tests: tests/internal/Redact_test.cpp
std::string RedactFormBody(const std::string& body);

// RedactHeaderLine: a header line with the value of Authorization,
// Proxy-Authorization, Cookie and Set-Cookie replaced by "***"; any other
// line unchanged.
std::string RedactHeaderLine(const std::string& line);

// RedactTokenReply: a token endpoint's reply text with the values of
// "access_token", "refresh_token" and "id_token" masked, wherever they
// stand, also in text that is not valid JSON: a string value becomes "***",
// and in an array or object value every string does (["***"]). A member name
// counts as a parser reads it ("access\u005ftoken" too). Any other
// occurrence of such a string of 8 bytes or more, as written or decoded, is
// masked too (a token repeated under another name, say); shorter ones cannot
// be told from ordinary words. Numbers, literals and everything else are
// kept, so an error message can show what the endpoint said.
std::string RedactTokenReply(const std::string& reply);

// RedactValue: text with every occurrence of value replaced by "***"; text
// as it is for a value shorter than 8 bytes. For texts taken from a reply
// (an error description) that may repeat a token.
std::string RedactValue(const std::string& text, const std::string& value);

// RedactSecret: text with every occurrence of secret (a client secret, a
// password) replaced by "***"; text as it is for a secret shorter than
// kShortestMaskedSecret bytes, which masking would only mangle text with.
inline constexpr size_t kShortestMaskedSecret = 4;
std::string RedactSecret(const std::string& text, const std::string& secret);

// How EscapeControls treats line breaks and tabs.
enum class LineBreaks {
  kEscape,  // "\n" and "\t" escaped: one text, one line
  kKeep,    // "\n" and "\t" kept: a message of several lines
};

// IsUtf8: whether text is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF). "" is.
bool IsUtf8(const std::string& text);

// HasControlCharacters: whether text holds a C0 control (below 0x20), DEL,
// a C1 control (U+0080 to U+009F, as UTF-8 or as a lone byte 0x80 to 0x9F)
// or a byte that is not part of well-formed UTF-8.
bool HasControlCharacters(const std::string& text);

// EscapeControls: text with each such character written as "\r", "\n",
// "\t" or "\xHH" (lower-case hex, per byte), everything else kept; with
// LineBreaks::kKeep "\n" and "\t" stay as they are. For texts that may quote
// what a peer or a record holds: in the log they cannot forge a line, on a
// terminal they cannot move the cursor or hide a line behind a carriage
// return.
std::string EscapeControls(const std::string& text, LineBreaks breaks);

// How much of a text from outside (a reply, a reply's member, a rejected
// input) a status message or a log line quotes.
inline constexpr size_t kMaxQuotedBytes = 4096;

// QuoteText: text as it is when it holds at most kMaxQuotedBytes bytes;
// otherwise its first kMaxQuotedBytes bytes (fewer when that would split a
// UTF-8 sequence) followed by "… (<size> bytes)", the size with thousands
// separators ("… (204,117 bytes)"). size is that of the text quoted before
// any masking; npos stands for text's own.
std::string QuoteText(const std::string& text, size_t size = std::string::npos);

// QuoteReply: a reply text for a status or the log: RedactTokenReply over
// the whole reply, then QuoteText with the reply's size. Every quoted reply
// goes through here.
std::string QuoteReply(const std::string& reply);
