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

// Hex digit value, -1 otherwise. Not isxdigit(): locale-dependent.
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

}  // namespace

namespace Tqc {

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
    const int hi = HexValue(hexText[2 * i]);
    const int lo = HexValue(hexText[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      throw TqException("hex2bin: not a hex digit");
    }
    bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return TqcBucket(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace Tqc

bool base64Decode(const std::string& text, std::string& bytes) {
  std::string out;
  StringWipeGuard wipeOut(
      out);  // may be key material; holds the old bytes after the swap
  out.reserve(text.size() / 4 * 3 + 3);
  unsigned int quad[4];
  size_t n = 0;        // characters of the current group, [0, 3]
  size_t padding = 0;  // "=" seen; only more "=" or blanks may follow
  for (const char c : text) {
    const signed char v = kBase64[static_cast<unsigned char>(c)];
    if (v == kSkip) {
      continue;
    }
    if (v == kInvalid) {
      return false;
    }
    if (v == kPad) {
      // Padding fills the third and/or fourth place of the final group.
      if (n + padding < 2) {
        return false;
      }
      ++padding;
      if (n + padding > 4) {
        return false;
      }
      continue;
    }
    if (padding != 0) {
      return false;
    }
    quad[n++] = static_cast<unsigned int>(v);
    if (n == 4) {
      const unsigned int word =
          quad[0] << 18 | quad[1] << 12 | quad[2] << 6 | quad[3];
      out.push_back(static_cast<char>(word >> 16));
      out.push_back(static_cast<char>(word >> 8 & 0xFF));
      out.push_back(static_cast<char>(word & 0xFF));
      n = 0;
    }
  }
  if (padding != 0) {
    if (n + padding != 4) {
      return false;
    }
    const unsigned int word =
        quad[0] << 18 | quad[1] << 12 | (n == 3 ? quad[2] << 6 : 0u);
    out.push_back(static_cast<char>(word >> 16));
    if (n == 3) {
      out.push_back(static_cast<char>(word >> 8 & 0xFF));
    }
  } else if (n != 0) {
    return false;
  }
  bytes.swap(out);
  return true;
}
