#include "internal/text/SecureJson.h"

#include <utility>

bool ParseJsonBounded(const char* text, size_t length, unsigned int maxDepth,
                      SecureJson& out) noexcept {
  if (text == nullptr) {
    return false;
  }
  // The parser works with an explicit stack, so depth costs it no
  // recursion; the limit protects the recursive walks of our callers. The
  // callback's exception stops the parse at the first level too deep.
  struct TooDeep {};
  const SecureJson::parser_callback_t limit =
      [maxDepth](int depth, SecureJson::parse_event_t event, SecureJson&) {
        if ((event == SecureJson::parse_event_t::object_start ||
             event == SecureJson::parse_event_t::array_start) &&
            static_cast<unsigned int>(depth) >= maxDepth) {
          throw TooDeep();
        }
        return true;
      };
  try {
    SecureJson parsed = SecureJson::parse(text, text + length, limit,
                                          /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
      return false;
    }
    out = std::move(parsed);
    return true;
  } catch (...) {
    // TooDeep, or an allocation failure.
    return false;
  }
}
