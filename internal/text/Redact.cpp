#include "internal/text/Redact.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/SecureMemory.h"
#include "platform/TqcConvert.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[i] (no overlong
// form, no surrogate, nothing beyond U+10FFFF), or 0 when none starts there.
size_t Utf8Sequence(const std::string& text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    return 1;
  }
  size_t more = 0;
  unsigned char low = 0x80;  // bounds of the second byte
  unsigned char high = 0xBF;
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

// The length of the well-formed UTF-8 sequence at text[i] that is not a
// control character, or 0 (a control, or a byte that starts no sequence).
size_t PrintableSequence(const std::string& text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  }
  // U+0080 to U+009F, C2 80 to C2 9F, are the C1 controls.
  if (lead == 0xC2 && i + 1 < text.size() &&
      static_cast<unsigned char>(text[i + 1]) < 0xA0) {
    return 0;
  }
  return Utf8Sequence(text, i);
}

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

constexpr size_t kLongestSecretName = 13;  // "refresh_token"
// Shorter values are not hunted through the rest of a text: they cannot be
// told from ordinary words, and masking them would garble the message.
constexpr size_t kShortestRepeatedValue = 8;

bool IsSecretReplyMember(const std::string& name) {
  for (const char* member : kSecretReplyMembers) {
    if (name == member) {
      return true;
    }
  }
  return false;
}

size_t SkipJsonBlanks(const std::string& text, size_t pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' ||
                               text[pos] == '\r' || text[pos] == '\n')) {
    ++pos;
  }
  return pos;
}

bool ReadHex4(const std::string& text, size_t pos, unsigned& out) {
  if (pos + 4 > text.size()) {
    return false;
  }
  out = 0;
  for (size_t i = pos; i < pos + 4; ++i) {
    const int d = Tqc::HexDigitValue(text[i]);
    if (d < 0) {
      return false;
    }
    out = out << 4 | static_cast<unsigned>(d);
  }
  return true;
}

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes the JSON string literal whose opening quote is at text[quote]
// (RFC 8259 section 7 escapes, surrogate pairs to UTF-8), giving up once
// the decoded text exceeds maxLength. True with the text and the position
// after the closing quote; false for a bad escape or no closing quote. A
// member name spelled with escapes ("access\u005ftoken") is the same name
// to a JSON parser, so it must be to the redaction too.
bool DecodeJsonString(const std::string& text, size_t quote, size_t maxLength,
                      std::string& out, size_t& outEnd) {
  out.clear();
  for (size_t i = quote + 1; i < text.size();) {
    if (out.size() > maxLength) {
      return false;
    }
    const char c = text[i];
    if (c == '"') {
      outEnd = i + 1;
      return true;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) {
      return false;
    }
    const char e = text[i + 1];
    i += 2;
    if (e == 'u') {
      unsigned cp = 0;
      if (!ReadHex4(text, i, cp)) {
        return false;
      }
      i += 4;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        unsigned low = 0;
        if (i + 1 >= text.size() || text[i] != '\\' || text[i + 1] != 'u' ||
            !ReadHex4(text, i + 2, low) || low < 0xDC00 || low > 0xDFFF) {
          return false;
        }
        i += 6;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return false;
      }
      AppendUtf8(out, cp);
      continue;
    }
    // The one-character escapes and what they stand for.
    static constexpr char kEscaped[] = "\"\\/bfnrt";
    static constexpr char kMeaning[] = "\"\\/\b\f\n\r\t";
    const char* found = e != '\0' ? std::strchr(kEscaped, e) : nullptr;
    if (found == nullptr) {
      return false;
    }
    out += kMeaning[found - kEscaped];
  }
  return false;
}

struct Span {
  size_t begin;
  size_t end;
};

// The closing quote of the JSON string opened at text[open], or text.size()
// when the text ends first (a truncated reply).
size_t StringEnd(const std::string& text, size_t open) {
  size_t pos = open + 1;
  while (pos < text.size() && text[pos] != '"') {
    pos += text[pos] == '\\' ? 2 : 1;
  }
  return std::min(pos, text.size());
}

// text with each span's bytes replaced by "***" (overlapping spans count
// once). The spans come in increasing order of begin.
std::string MaskSpans(const std::string& text, const std::vector<Span>& spans) {
  std::string out;
  // Room for every mask: a growing buffer would leave text behind.
  out.reserve(text.size() + 3 * spans.size());
  size_t done = 0;
  for (const Span& span : spans) {
    if (span.end <= done) {
      continue;
    }
    const size_t begin = std::max(span.begin, done);
    out.append(text, done, begin - done);
    out += "***";
    done = span.end;
  }
  out.append(text, done, std::string::npos);
  return out;
}

// Replaces every occurrence of value in text by "***"; the old buffer, which
// held the value, is wiped.
void MaskEveryOccurrence(std::string& text, const std::string& value) {
  size_t at = text.find(value);
  if (at == std::string::npos) {
    return;
  }
  size_t count = 0;
  for (size_t i = at; i != std::string::npos;
       i = text.find(value, i + value.size())) {
    ++count;
  }
  std::string out;
  // Sized once: the text may hold other secrets not masked yet.
  out.reserve(text.size() + 3 * count);
  size_t done = 0;
  for (; at != std::string::npos; at = text.find(value, done)) {
    out.append(text, done, at - done);
    out += "***";
    done = at + value.size();
  }
  out.append(text, done, std::string::npos);
  WipeString(text);
  text.swap(out);
}

using SecretValues = std::vector<std::string, ZeroingAllocator<std::string>>;

// text with every occurrence of any of values of kShortestRepeatedValue
// bytes or more replaced by "***": at each position the longest value that
// starts there. One pass over the text, whatever the number of values, so a
// reply carrying many tokens costs time linear in its length.
std::string MaskValues(const std::string& text, const SecretValues& values) {
  static_assert(kShortestRepeatedValue == sizeof(uint64_t),
                "values are found by their first eight bytes");
  using Entry = std::pair<uint64_t, const std::string*>;
  // First bytes of the values: wiped with the vector, like the values.
  std::vector<Entry, ZeroingAllocator<Entry>> index;
  index.reserve(values.size());
  // One bit per hash of a first-eight-bytes word: most positions of the
  // text are passed over without a search.
  std::array<uint64_t, 1024> hashes{};
  const auto hashOf = [](uint64_t word) {
    return static_cast<size_t>((word * 0x9E3779B97F4A7C15ull) >> 48);
  };
  for (const std::string& value : values) {
    if (value.size() >= kShortestRepeatedValue) {
      uint64_t word = 0;
      std::memcpy(&word, value.data(), sizeof word);
      index.emplace_back(word, &value);
      hashes[hashOf(word) / 64] |= uint64_t{1} << (hashOf(word) % 64);
    }
  }
  if (index.empty()) {
    return text;
  }
  std::sort(index.begin(), index.end(), [](const Entry& a, const Entry& b) {
    return a.first != b.first ? a.first < b.first
                              : a.second->size() > b.second->size();
  });

  std::string out;
  // "***" is shorter than any value masked: the text's size is enough, and
  // the buffer never moves, leaving a copy behind.
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t matched = 0;
    if (text.size() - i >= sizeof(uint64_t)) {
      uint64_t word = 0;
      std::memcpy(&word, text.data() + i, sizeof word);
      const size_t hash = hashOf(word);
      if ((hashes[hash / 64] >> (hash % 64) & 1) != 0) {
        auto it = std::lower_bound(
            index.begin(), index.end(), word,
            [](const Entry& e, uint64_t w) { return e.first < w; });
        for (; it != index.end() && it->first == word; ++it) {
          const std::string& value = *it->second;
          if (text.compare(i, value.size(), value) == 0) {
            matched = value.size();
            break;
          }
        }
      }
    }
    if (matched != 0) {
      out += "***";
      i += matched;
    } else {
      out += text[i++];
    }
  }
  SecureWipe(hashes.data(), sizeof hashes);
  return out;
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
  // Every '"' may start a member name: the text need not be valid JSON, so
  // no attempt is made to pair quotes.
  std::vector<Span> spans;
  // Token values: wiped below, and the zeroing allocator covers the short
  // ones kept inside the elements when the vector grows.
  SecretValues values;
  // Masks the string opened at reply[open] and remembers its text, as
  // written and decoded; returns the position after it.
  auto maskString = [&](size_t open) {
    const size_t close = StringEnd(reply, open);
    spans.push_back(Span{open + 1, close});
    values.emplace_back(reply, open + 1, close - open - 1);
    std::string decoded;
    size_t ignored = 0;
    if (DecodeJsonString(reply, open, std::string::npos, decoded, ignored)) {
      values.push_back(std::move(decoded));
    }
    WipeString(decoded);
    return std::min(close + 1, reply.size());
  };
  for (size_t at = reply.find('"'); at != std::string::npos;
       at = reply.find('"', at + 1)) {
    std::string name;
    size_t pos = 0;
    if (!DecodeJsonString(reply, at, kLongestSecretName, name, pos) ||
        !IsSecretReplyMember(name)) {
      continue;
    }
    // The colon may be missing in a garbled reply: masking too much is
    // harmless there, showing a token is not.
    pos = SkipJsonBlanks(reply, pos);
    if (pos < reply.size() && reply[pos] == ':') {
      pos = SkipJsonBlanks(reply, pos + 1);
    }
    if (pos >= reply.size()) {
      continue;
    }
    if (reply[pos] == '"') {
      pos = maskString(pos);
    } else if (reply[pos] == '[' || reply[pos] == '{') {
      // A token may hide in an array or object: every string in it goes,
      // up to the matching bracket or the end of a truncated reply.
      int depth = 0;
      do {
        const char c = reply[pos];
        if (c == '"') {
          pos = maskString(pos);
          continue;
        }
        depth += (c == '[' || c == '{') ? 1 : (c == ']' || c == '}') ? -1 : 0;
        ++pos;
      } while (depth > 0 && pos < reply.size());
    } else {
      continue;
    }
    // Resume after the masked value: every string in it is masked already,
    // and scanning it again for names would make nested names cost time
    // quadratic in the reply's length.
    at = pos - 1;
  }

  std::string masked = MaskSpans(reply, spans);
  std::string out = MaskValues(masked, values);
  WipeString(masked);
  for (std::string& value : values) {
    WipeString(value);
  }
  return out;
}

std::string RedactValue(const std::string& text, const std::string& value) {
  std::string out = text;
  if (value.size() >= kShortestRepeatedValue) {
    MaskEveryOccurrence(out, value);
  }
  return out;
}

std::string RedactSecret(const std::string& text, const std::string& secret) {
  std::string out = text;
  if (secret.size() >= kShortestMaskedSecret) {
    MaskEveryOccurrence(out, secret);
  }
  return out;
}

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8Sequence(text, i);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

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

std::string EscapeControls(const std::string& text, LineBreaks breaks) {
  const bool keepLineBreaks = breaks == LineBreaks::kKeep;
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

std::string QuoteText(const std::string& text, size_t size) {
  if (text.size() <= kMaxQuotedBytes) {
    return text;
  }
  if (size == std::string::npos) {
    size = text.size();
  }
  size_t cut = kMaxQuotedBytes;
  // Back to the start of a UTF-8 sequence: at most three continuation bytes.
  for (int i = 0;
       i < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) {
    --cut;
  }
  std::string digits = std::to_string(size);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) {
      grouped += ',';
    }
    grouped += digits[i];
  }
  return text.substr(0, cut) + "\xE2\x80\xA6 (" + grouped + " bytes)";
}

std::string QuoteReply(const std::string& reply) {
  std::string masked = RedactTokenReply(reply);
  std::string out = QuoteText(masked, reply.size());
  WipeString(masked);
  return out;
}
