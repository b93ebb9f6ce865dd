// The lenient Base64 decoders: base64Decode (buffer), Base64Decode and
// Base64ToHex agree with each other and with a plain reference of the
// documented rules; the encoders round-trip the fuzz bytes.

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "util/Base64Codec.h"

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Keep the alphabet's characters, decode groups of four, a last group of 2
// or 3 gives 1 or 2 bytes, a single one nothing.
std::string ReferenceDecode(const std::string& text) {
  std::string values;
  for (const char c : text) {
    const char* at = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
    if (at != nullptr) {
      values += static_cast<char>(at - kAlphabet);
    }
  }
  std::string out;
  for (size_t i = 0; i < values.size(); i += 4) {
    const size_t k = std::min<size_t>(4, values.size() - i);
    unsigned v = 0;
    for (size_t j = 0; j < 4; ++j) {
      v = v << 6 | (j < k ? static_cast<unsigned char>(values[i + j]) : 0);
    }
    if (k >= 2) {
      out += static_cast<char>(v >> 16);
    }
    if (k >= 3) {
      out += static_cast<char>(v >> 8);
    }
    if (k == 4) {
      out += static_cast<char>(v);
    }
  }
  return out;
}

std::string ReferenceHex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) {
    return 0;
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  const int length = static_cast<int>(size);

  // Decoding the fuzz bytes as text, from an exact-size copy.
  std::unique_ptr<unsigned char[]> text(
      new unsigned char[size == 0 ? 1 : size]);
  std::memcpy(text.get(), data, size);
  const std::string expected = ReferenceDecode(input);
  const std::string decoded = Base64Decode(text.get(), length);
  FUZZ_CHECK(decoded == expected,
             "Base64Decode differs from reference for " + tqfuzz::Hex(input));
  // dest exactly as large as the header asks.
  const size_t capacity = size - size / 4;
  std::unique_ptr<char[]> dest(new char[capacity == 0 ? 1 : capacity]);
  const int n = base64Decode(text.get(), length, dest.get());
  FUZZ_CHECK(
      n >= 0 && static_cast<size_t>(n) == decoded.size() &&
          std::memcmp(dest.get(), decoded.data(), decoded.size()) == 0,
      "base64Decode differs from Base64Decode for " + tqfuzz::Hex(input));
  FUZZ_CHECK(Base64ToHex(input) == ReferenceHex(decoded),
             "Base64ToHex differs for " + tqfuzz::Hex(input));

  // Encoding the fuzz bytes and back.
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.get());
  const std::string encoded = Base64Encode(bytes, length);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4, "Base64Encode length");
  FUZZ_CHECK(
      Base64Decode(reinterpret_cast<const unsigned char*>(encoded.data()),
                   static_cast<int>(encoded.size())) == input,
      "Base64Decode(Base64Encode(x)) != x for " + tqfuzz::Hex(input));
  std::unique_ptr<char[]> out(
      new char[encoded.size() == 0 ? 1 : encoded.size()]);
  FUZZ_CHECK(base64Encode(bytes, length, out.get()) ==
                     static_cast<int>(encoded.size()) &&
                 std::memcmp(out.get(), encoded.data(), encoded.size()) == 0,
             "base64Encode differs from Base64Encode");
  FUZZ_CHECK(Base64URLEncode(bytes, length) ==
                 tqfuzz::Translate(encoded, '+', '-', '/', '_'),
             "Base64URLEncode is not the URL-safe spelling of Base64Encode");
  FUZZ_CHECK(Base64EncodeWithEncodeString(bytes, length, kAlphabet) == encoded,
             "Base64EncodeWithEncodeString with the standard alphabet");
  FUZZ_CHECK(HexEncode(bytes, length) == ReferenceHex(input), "HexEncode");
  return 0;
}
