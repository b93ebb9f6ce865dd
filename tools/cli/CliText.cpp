#include "tools/cli/CliText.h"

namespace tqcli {

bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') {
    return false;
  }
  for (unsigned char c : name) {
    // Not isalnum(): locale-dependent.
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9');
    if (!(alnum || c == '-' || c == '_' || c == '.')) {
      return false;
    }
  }
  return true;
}

bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t more = 0;
    unsigned char low = 0x80;  // bounds of the second byte
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
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
      return false;
    }
    if (text.size() - i <= more) {
      return false;
    }
    for (size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) {
        return false;
      }
    }
    i += more + 1;
  }
  return true;
}

bool IsPrintable(const std::string& text) {
  if (text.size() > kMaxOptionBytes || !IsUtf8(text)) {
    return false;
  }
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

}  // namespace tqcli
