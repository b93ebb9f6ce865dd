#include "internal/TerminalText.h"

#include <cstddef>

namespace {

// The length of the well-formed UTF-8 sequence at text[i] that is not a
// control character, or 0 (a control, or a byte that starts no sequence).
size_t PrintableSequence(const std::string& text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  }
  size_t more = 0;
  unsigned char low = 0x80;  // bounds of the second byte
  unsigned char high = 0xBF;
  if (lead == 0xC2) {
    more = 1;
    low = 0xA0;  // U+0080 to U+009F are the C1 controls
  } else if (lead > 0xC2 && lead <= 0xDF) {
    more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong form
    high = lead == 0xED ? 0x9F : 0xBF;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;  // up to U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i <= more) {
    return 0;
  }
  for (size_t k = 1; k <= more; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) {
      return 0;
    }
  }
  return more + 1;
}

}  // namespace

bool HasControlCharacters(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = PrintableSequence(text, i);
    if (n == 0) {
      return true;
    }
    i += n;
  }
  return false;
}

std::string EscapeControls(const std::string& text, bool keepLineBreaks) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = PrintableSequence(text, i);
    if (n != 0) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    const auto c = static_cast<unsigned char>(text[i++]);
    if (keepLineBreaks && (c == '\n' || c == '\t')) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}
