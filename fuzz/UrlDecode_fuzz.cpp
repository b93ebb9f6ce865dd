// urlDecode, both forms, against a plain reference of the documented rules;
// and the encoders: reference encoding, buffer form == string form, decode
// of the encoding gives the input back.

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "util/UrlCodec.h"

namespace {

// The header's rules, one byte at a time.
std::string ReferenceDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '%') {
      const int x = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
      const int y = i + 2 < s.size() ? static_cast<unsigned char>(s[i + 2]) : 0;
      const int hi = tqfuzz::ReferenceHexDigit(x);
      const int lo = tqfuzz::ReferenceHexDigit(y);
      out += static_cast<char>(hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo);
      i += 3;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
      ++i;
    }
  }
  return out;
}

bool IsAsciiAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9');
}

std::string ReferenceEncode(const std::string& s, const std::string& safe) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsAsciiAlnum(c) || safe.find(ch) != std::string::npos) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The buffer form of urlDecode over the first n bytes, from a copy of
// exactly n bytes (no terminator: nothing past n may be read).
std::string DecodeBuffer(const std::string& s, size_t n) {
  std::unique_ptr<char[]> source(new char[n == 0 ? 1 : n]);
  std::memcpy(source.get(), s.data(), n);
  std::unique_ptr<char[]> dest(new char[n + 1]);
  urlDecode(dest.get(), source.get(), static_cast<int>(n));
  const std::string expected = urlDecode(s.substr(0, n));
  FUZZ_CHECK(std::memcmp(dest.get(), expected.data(), expected.size()) == 0 &&
                 dest[expected.size()] == '\0',
             "buffer form differs from string form for " + tqfuzz::Hex(s));
  return expected;
}

// The buffer encoders over the text up to its first NUL, with dest sized
// exactly as the header asks (3 * limit + 1).
void CheckBufferEncode(const std::string& text, const std::string& safe,
                       int limit) {
  const std::string c(text.c_str());
  const std::string safeText(safe.c_str());
  std::unique_ptr<char[]> dest(new char[3 * static_cast<size_t>(limit) + 1]);
  const int rc = safe.empty() ? urlEncode(dest.get(), c.c_str(), limit)
                              : urlEncodeUseSafeChar(dest.get(), c.c_str(),
                                                     limit, safeText.c_str());
  const bool fits = c.size() <= static_cast<size_t>(limit);
  const std::string taken = fits ? c : c.substr(0, static_cast<size_t>(limit));
  const std::string expected =
      ReferenceEncode(taken, safe.empty() ? gDefaultUrlSafe : safeText);
  FUZZ_CHECK(rc == (fits ? 1 : 0),
             "buffer encode result for " + tqfuzz::Hex(c));
  FUZZ_CHECK(
      std::strlen(dest.get()) == expected.size() && expected == dest.get(),
      "buffer encode differs from reference for " + tqfuzz::Hex(c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) {
    return 0;
  }
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Decoding: string form == reference == buffer form, also over a prefix.
  const std::string decoded = urlDecode(input);
  FUZZ_CHECK(decoded == ReferenceDecode(input),
             "urlDecode differs from reference for " + tqfuzz::Hex(input));
  FUZZ_CHECK(DecodeBuffer(input, size) == decoded, "buffer decode");
  DecodeBuffer(input, size / 2);

  // Encoding with the default safe set, then back.
  const std::string encoded = urlEncode(input);
  FUZZ_CHECK(encoded == ReferenceEncode(input, gDefaultUrlSafe),
             "urlEncode differs from reference for " + tqfuzz::Hex(input));
  FUZZ_CHECK(urlDecode(encoded) == input,
             "urlDecode(urlEncode(x)) != x for " + tqfuzz::Hex(input));

  // A safe set of the first few bytes, the rest as the text.
  tqfuzz::Reader in(data, size);
  const std::string safe = in.Bytes(in.Byte() % 5);
  const std::string text = in.Rest();
  const std::string encodedSafe = urlEncodeUseSafeChar(text, safe);
  FUZZ_CHECK(encodedSafe == ReferenceEncode(text, safe),
             "urlEncodeUseSafeChar differs from reference");
  if (safe.find_first_of("%+") == std::string::npos) {
    FUZZ_CHECK(urlDecode(encodedSafe) == text,
               "decode of urlEncodeUseSafeChar is not the text");
  }
  const int whole = static_cast<int>(std::strlen(text.c_str()));
  CheckBufferEncode(text, "", whole);
  CheckBufferEncode(text, "", whole / 2);
  if (!safe.empty() && safe[0] != '\0') {
    CheckBufferEncode(text, safe, whole);
    CheckBufferEncode(text, safe, whole - 1 < 0 ? 0 : whole - 1);
  }
  return 0;
}
