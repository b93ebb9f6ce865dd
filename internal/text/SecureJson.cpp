#include "internal/text/SecureJson.h"

#include <utility>

namespace {

// Whether the arrays and objects of text nest at most maxDepth deep; one
// pass over the bytes, strings skipped. A text that is not JSON may pass:
// the parser refuses it.
bool DepthWithin(const char* text, size_t length, unsigned int maxDepth) {
  unsigned int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote included
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > maxDepth) {
          return false;
        }
        break;
      case ']':
      case '}':
        depth -= depth > 0 ? 1 : 0;
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

bool ParseJsonBounded(const char* text, size_t length, unsigned int maxDepth,
                      SecureJson& out) noexcept {
  if (text == nullptr) {
    return false;
  }
  // The parser works with an explicit stack, so depth costs it no
  // recursion; the limit protects the recursive walks of our callers, and
  // is checked before a value is built.
  if (!DepthWithin(text, length, maxDepth)) {
    return false;
  }
  try {
    SecureJson parsed = SecureJson::parse(text, text + length, nullptr,
                                          /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
      return false;
    }
    out = std::move(parsed);
    return true;
  } catch (...) {
    // An allocation failure.
    return false;
  }
}
