#include "tools/cli/CliText.h"

#include "internal/Redact.h"

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
