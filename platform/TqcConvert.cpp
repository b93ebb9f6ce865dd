#include "platform/TqcConvert.h"

#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/SecureMemory.h"

TqException::TqException(const std::string& message) : m_message(message) {}

TqException::~TqException() = default;

const char* TqException::what() const noexcept { return m_message.what(); }

namespace {

constexpr signed char kSkip = -2;
constexpr signed char kInvalid = -1;
constexpr signed char kPad = 64;

// Base64 value of each byte (RFC 4648 section 4, Table 1); kSkip for the
// blanks we tolerate, kPad for "=".
constexpr std::array<signed char, 256> MakeBase64Table() {
  std::array<signed char, 256> t{};
  for (auto& v : t) {
    v = kInvalid;
  }
  const char* alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) {
    t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  }
  t[static_cast<unsigned char>('=')] = kPad;
  t[static_cast<unsigned char>('\r')] = kSkip;
  t[static_cast<unsigned char>('\n')] = kSkip;
  t[static_cast<unsigned char>(' ')] = kSkip;
  t[static_cast<unsigned char>('\t')] = kSkip;
  return t;
}

constexpr std::array<signed char, 256> kBase64 = MakeBase64Table();

}  // namespace

namespace Tqc {

int HexDigitValue(char c) {
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

TqcBucket hex2bin(const char* hexText) {
  if (hexText == nullptr) {
    throw TqException("hex2bin: null text");
  }
  const size_t digits = std::strlen(hexText);
  if (digits % 2 != 0) {
    throw TqException("hex2bin: odd number of hex digits");
  }
  if (digits / 2 > static_cast<size_t>(INT_MAX)) {
    throw TqException("hex2bin: text too long");
  }
  std::vector<unsigned char, ZeroingAllocator<unsigned char>> bytes(digits / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int hi = HexDigitValue(hexText[2 * i]);
    const int lo = HexDigitValue(hexText[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      throw TqException("hex2bin: not a hex digit");
    }
    bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return TqcBucket(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace Tqc

namespace {

// Checks text against the rules of base64Decode; on success the number of
// bytes it decodes to.
bool ValidateBase64(const unsigned char* p, const unsigned char* end,
                    size_t& outSize) {
  size_t symbols = 0;  // alphabet characters
  size_t padding = 0;  // "=" seen; only more "=" or blanks may follow
  // Runs of four alphabet characters before any padding take the short way.
  while (end - p >= 4 &&
         ((kBase64[p[0]] | kBase64[p[1]] | kBase64[p[2]] | kBase64[p[3]]) &
          ~0x3F) == 0) {
    symbols += 4;
    p += 4;
  }
  for (; p != end; ++p) {
    const signed char v = kBase64[*p];
    if (v >= 0 && v < kPad) {
      if (padding != 0) {
        return false;
      }
      ++symbols;
    } else if (v == kPad) {
      // Padding fills the third and/or fourth place of the final group.
      const size_t inGroup = symbols % 4;
      if (inGroup < 2 || inGroup + padding >= 4) {
        return false;
      }
      ++padding;
    } else if (v != kSkip) {
      return false;
    }
  }
  const size_t rest = symbols % 4;  // [0, 3]
  if (padding != 0 ? rest + padding != 4 : rest != 0) {
    return false;
  }
  outSize = symbols / 4 * 3 + (rest == 0 ? 0 : rest - 1);
  return true;
}

}  // namespace

bool base64Decode(const std::string& text, std::string& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  size_t size = 0;
  if (!ValidateBase64(p, end, size)) {
    return false;
  }
  // The bytes may be key material, and so may what bytes held before: a
  // buffer that has to grow is wiped before it is given up.
  if (bytes.capacity() < size) {
    WipeString(bytes);
  } else if (bytes.size() > size) {
    SecureWipe(&bytes[size], bytes.size() - size);
  }
  bytes.resize(size);
  auto* w = reinterpret_cast<unsigned char*>(bytes.data());
  unsigned int word = 0;
  int n = 0;  // symbols in word, [0, 3]
  while (p != end) {
    // Whole groups without blanks take the short way.
    if (n == 0 && end - p >= 4) {
      const signed char a = kBase64[p[0]];
      const signed char b = kBase64[p[1]];
      const signed char c = kBase64[p[2]];
      const signed char d = kBase64[p[3]];
      if (((a | b | c | d) & ~0x3F) == 0) {
        const unsigned int group = static_cast<unsigned int>(a) << 18 |
                                   static_cast<unsigned int>(b) << 12 |
                                   static_cast<unsigned int>(c) << 6 |
                                   static_cast<unsigned int>(d);
        w[0] = static_cast<unsigned char>(group >> 16);
        w[1] = static_cast<unsigned char>(group >> 8);
        w[2] = static_cast<unsigned char>(group);
        w += 3;
        p += 4;
        continue;
      }
    }
    const signed char v = kBase64[*p++];
    if (v < 0 || v == kPad) {
      continue;  // blanks and padding, validated above
    }
    word = word << 6 | static_cast<unsigned int>(v);
    if (++n == 4) {
      w[0] = static_cast<unsigned char>(word >> 16);
      w[1] = static_cast<unsigned char>(word >> 8);
      w[2] = static_cast<unsigned char>(word);
      w += 3;
      word = 0;
      n = 0;
    }
  }
  // The final group's 2 or 3 symbols carry 1 or 2 bytes.
  if (n == 2) {
    w[0] = static_cast<unsigned char>(word >> 4);
  } else if (n == 3) {
    w[0] = static_cast<unsigned char>(word >> 10);
    w[1] = static_cast<unsigned char>(word >> 2);
  }
  return true;
}
