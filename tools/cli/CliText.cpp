#include "tools/cli/CliText.h"

#include "internal/text/Redact.h"

namespace tqcli {

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
