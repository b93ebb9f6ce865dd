#include "platform/Redact.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<const char*, 4> kShownFormFields = {
    "client_id", "scope", "grant_type", "client_assertion_type"};

constexpr std::array<const char*, 3> kSecretReplyMembers = {
    "access_token", "refresh_token", "id_token"};

constexpr std::array<const char*, 4> kSecretHeaders = {
    "authorization", "proxy-authorization", "cookie", "set-cookie"};

// Compares body[begin, end) with name without copying: the bytes next to it
// may be a secret, and a temporary copy would outlive this call unwiped.
bool IsShownFormField(const std::string& body, size_t begin, size_t end) {
  for (const char* shown : kShownFormFields) {
    const size_t len = std::strlen(shown);
    if (end - begin == len && body.compare(begin, len, shown) == 0) {
      return true;
    }
  }
  return false;
}

bool IsJsonBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

size_t SkipJsonBlanks(const std::string& text, size_t pos) {
  while (pos < text.size() && IsJsonBlank(text[pos])) {
    ++pos;
  }
  return pos;
}

// The closing quote of the JSON string opened at `open`, or text.size() when
// the text ends first (a truncated reply).
size_t StringEnd(const std::string& text, size_t open) {
  size_t pos = open + 1;
  while (pos < text.size() && text[pos] != '"') {
    pos += text[pos] == '\\' ? 2 : 1;
  }
  return std::min(pos, text.size());
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Whether the JSON string text(open, close) decodes to name. A parser reads
// "access\u005ftoken" as access_token, so escapes count as what they stand
// for.
bool StringDecodesTo(const std::string& text, size_t open, size_t close,
                     const char* name) {
  const size_t length = std::strlen(name);
  size_t matched = 0;
  size_t pos = open + 1;
  while (pos < close) {
    char c = text[pos];
    if (c != '\\') {
      ++pos;
    } else if (pos + 1 < close &&
               (text[pos + 1] == '"' || text[pos + 1] == '\\' ||
                text[pos + 1] == '/')) {
      c = text[pos + 1];
      pos += 2;
    } else if (pos + 5 < close && text[pos + 1] == 'u') {
      int value = 0;
      for (size_t k = pos + 2; k < pos + 6; ++k) {
        const int digit = HexValue(text[k]);
        if (digit < 0) {
          return false;
        }
        value = value * 16 + digit;  // [0, 0xFFFF]
      }
      if (value >= 0x80) {
        return false;  // the names are ASCII
      }
      c = static_cast<char>(value);
      pos += 6;
    } else {
      return false;  // another escape: no name here holds one
    }
    if (matched == length || name[matched] != c) {
      return false;
    }
    ++matched;
  }
  return matched == length;
}

bool IsSecretMemberName(const std::string& text, size_t open, size_t close) {
  for (const char* member : kSecretReplyMembers) {
    if (StringDecodesTo(text, open, close, member)) {
      return true;
    }
  }
  return false;
}

// Appends the value at text[pos] (a string, array or object) to out with
// every string in it replaced by "***"; returns the position after it (the
// end of the text when it is cut short).
size_t MaskValue(const std::string& text, size_t pos, std::string& out) {
  int depth = 0;  // open arrays and objects
  do {
    const char c = text[pos];
    if (c == '"') {
      const size_t close = StringEnd(text, pos);
      out += "\"***";
      if (close < text.size()) {
        out += '"';
      }
      pos = close + 1;
      continue;
    }
    if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      --depth;
    }
    out += c;
    ++pos;
  } while (depth > 0 && pos < text.size());
  return std::min(pos, text.size());
}

}  // namespace

std::string RedactFormBody(const std::string& body) {
  std::string out;
  out.reserve(body.size());
  size_t start = 0;
  for (;;) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) {
      end = body.size();
    }
    const size_t eq = body.find('=', start);
    if (end == start) {
      // an empty field (a trailing "&"): nothing to hide
    } else if (eq == std::string::npos || eq > end) {
      out += "***";
    } else if (IsShownFormField(body, start, eq)) {
      out.append(body, start, end - start);
    } else {
      out.append(body, start, eq + 1 - start);
      out += "***";
    }
    if (end == body.size()) {
      break;
    }
    out += '&';
    start = end + 1;
  }
  return out;
}

std::string RedactHeaderLine(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) {
    return line;
  }
  const std::string name = line.substr(0, colon);
  for (const char* secret : kSecretHeaders) {
    if (strcasecmp(name.c_str(), secret) == 0) {
      return name + ": ***";
    }
  }
  return line;
}

std::string RedactTokenReply(const std::string& reply) {
  std::string out;
  out.reserve(reply.size());
  size_t i = 0;
  while (i < reply.size()) {
    if (reply[i] != '"') {
      out += reply[i++];
      continue;
    }
    const size_t open = i;
    const size_t close = StringEnd(reply, open);
    i = std::min(close + 1, reply.size());
    out.append(reply, open, i - open);
    if (!IsSecretMemberName(reply, open, close)) {
      continue;
    }
    // The colon may be missing in a garbled reply: masking too much is
    // harmless there, showing a token is not.
    size_t value = SkipJsonBlanks(reply, i);
    if (value < reply.size() && reply[value] == ':') {
      value = SkipJsonBlanks(reply, value + 1);
    }
    if (value < reply.size() &&
        (reply[value] == '"' || reply[value] == '[' || reply[value] == '{')) {
      out.append(reply, i, value - i);
      i = MaskValue(reply, value, out);
    }
  }
  return out;
}
