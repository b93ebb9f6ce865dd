#include "util/Base64Codec.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/SecureMemory.h"

namespace {

// RFC 4648 section 4 (standard) and section 5 (URL- and filename-safe).
constexpr char kStandardAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The two characters for every 12-bit value: three input bytes become two
// lookups and two 2-byte stores.
struct PairTable {
  char pair[4096][2];
};
constexpr PairTable MakePairs(const char* alphabet) {
  PairTable t{};
  for (unsigned v = 0; v < 4096; ++v) {
    t.pair[v][0] = alphabet[v >> 6];
    t.pair[v][1] = alphabet[v & 63];
  }
  return t;
}
constexpr PairTable kStandardPairs = MakePairs(kStandardAlphabet);
constexpr PairTable kUrlPairs = MakePairs(kUrlAlphabet);

constexpr size_t EncodedSize(size_t n) { return (n + 2) / 3 * 4; }

// The last one or two bytes: RFC 4648 padding.
template <class Char6>
char* EncodeTail(const unsigned char* in, size_t n, char* out, Char6 char6) {
  if (n == 1) {
    *out++ = char6(in[0] >> 2);
    *out++ = char6((in[0] & 0x03) << 4);
    *out++ = '=';
    *out++ = '=';
  } else if (n == 2) {
    *out++ = char6(in[0] >> 2);
    *out++ = char6(((in[0] & 0x03) << 4) | (in[1] >> 4));
    *out++ = char6((in[1] & 0x0F) << 2);
    *out++ = '=';
  }
  return out;
}

// Writes EncodedSize(n) characters.
void EncodeWithPairs(const unsigned char* in, size_t n, char* out,
                     const PairTable& t) {
  // Four groups per round: the loads and stores of one round are
  // independent of each other.
  while (n >= 12) {
    for (int g = 0; g < 4; ++g) {
      const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) |
                         in[2];  // [0, 2^24)
      std::memcpy(out, t.pair[v >> 12], 2);
      std::memcpy(out + 2, t.pair[v & 0xFFF], 2);
      in += 3;
      out += 4;
    }
    n -= 12;
  }
  while (n >= 3) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, t.pair[v >> 12], 2);
    std::memcpy(out + 2, t.pair[v & 0xFFF], 2);
    in += 3;
    out += 4;
    n -= 3;
  }
  EncodeTail(in, n, out, [&t](unsigned v) { return t.pair[v][1]; });  // v < 64
}

// Writes EncodedSize(n) characters from a caller's alphabet.
void EncodeWithAlphabet(const unsigned char* in, size_t n, char* out,
                        const char* alphabet) {
  while (n >= 3) {
    out[0] = alphabet[in[0] >> 2];
    out[1] = alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
    out[2] = alphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)];
    out[3] = alphabet[in[2] & 0x3F];
    in += 3;
    out += 4;
    n -= 3;
  }
  EncodeTail(in, n, out, [alphabet](unsigned v) { return alphabet[v]; });
}

// Input length of an int-sized API: nothing for null or length <= 0.
size_t InputSize(const void* p, int length) {
  return p != nullptr && length > 0 ? static_cast<size_t>(length) : 0;
}

std::string EncodeString(const unsigned char* data, int length,
                         const PairTable& t) {
  const size_t n = InputSize(data, length);
  std::string out(EncodedSize(n), '\0');
  EncodeWithPairs(data, n, &out[0], t);
  return out;
}

// Decoding tables of both decoders, one per position in a group of four:
// the 6-bit value already shifted into place, or kSkip for a character
// outside the standard alphabet. OR-ing four entries gives the 24 bits of a
// group, with kSkip set when any of the four must be skipped.
constexpr uint32_t kSkip = 0x01000000;
// value[]: a 6-bit value (below 64), or one of these. Each has bit 6 or 7
// set, so OR-ing four entries and masking ~0x3F tells a whole group.
constexpr unsigned char kPadValue = 0x40;    // "="
constexpr unsigned char kBlankValue = 0x41;  // CR, LF, space, tab
constexpr unsigned char kOtherValue = 0xFF;  // anything else
struct DecodeTables {
  uint32_t shifted[4][256];
  unsigned char value[256];
};
constexpr DecodeTables MakeDecodeTables() {
  DecodeTables t{};
  for (unsigned c = 0; c < 256; ++c) {
    t.value[c] = kOtherValue;
    for (int k = 0; k < 4; ++k) {
      t.shifted[k][c] = kSkip;
    }
  }
  t.value[static_cast<unsigned char>('=')] = kPadValue;
  for (const char blank : {'\r', '\n', ' ', '\t'}) {
    t.value[static_cast<unsigned char>(blank)] = kBlankValue;
  }
  for (unsigned v = 0; v < 64; ++v) {
    const auto c = static_cast<unsigned char>(kStandardAlphabet[v]);
    t.value[c] = static_cast<unsigned char>(v);
    t.shifted[0][c] = v << 18;
    t.shifted[1][c] = v << 12;
    t.shifted[2][c] = v << 6;
    t.shifted[3][c] = v;
  }
  return t;
}
constexpr DecodeTables kDecode = MakeDecodeTables();

// Lenient decode of n characters; returns the bytes written to out, which
// needs n - n / 4 bytes at most. Exactly the bytes counted are written.
size_t DecodeInto(const unsigned char* in, size_t n, unsigned char* out) {
  const unsigned char* const start = out;
  const unsigned char* const end = in + n;
  for (;;) {
    // Fast path: four characters that are all in the alphabet make one
    // whole group.
    while (end - in >= 4) {
      const uint32_t v = kDecode.shifted[0][in[0]] | kDecode.shifted[1][in[1]] |
                         kDecode.shifted[2][in[2]] | kDecode.shifted[3][in[3]];
      if (v & kSkip) {
        break;
      }
      out[0] = static_cast<unsigned char>(v >> 16);
      out[1] = static_cast<unsigned char>(v >> 8);
      out[2] = static_cast<unsigned char>(v);
      in += 4;
      out += 3;
    }
    // Slow path: one group gathered across skipped characters, then back
    // to the fast path at the next group.
    uint32_t v = 0;
    int k = 0;
    while (k < 4 && in < end) {
      const unsigned char c = kDecode.value[*in++];
      if (c < 64) {
        v |= uint32_t{c} << (18 - 6 * k);
        ++k;
      }
    }
    // k values give k - 1 bytes; bits that do not fill a byte are dropped.
    if (k >= 2) {
      *out++ = static_cast<unsigned char>(v >> 16);
    }
    if (k >= 3) {
      *out++ = static_cast<unsigned char>(v >> 8);
    }
    if (k == 4) {
      *out++ = static_cast<unsigned char>(v);
    }
    if (in == end) {
      return static_cast<size_t>(out - start);
    }
  }
}

constexpr size_t DecodedCapacity(size_t n) { return n - n / 4; }

// Checks text against the rules of base64Decode; on success the number of
// bytes it decodes to.
bool ValidateBase64(const unsigned char* p, const unsigned char* end,
                    size_t& outSize) {
  size_t symbols = 0;  // alphabet characters
  size_t padding = 0;  // "=" seen; only more "=" or blanks may follow
  // Runs of four alphabet characters before any padding take the short way.
  while (end - p >= 4 && ((kDecode.value[p[0]] | kDecode.value[p[1]] |
                           kDecode.value[p[2]] | kDecode.value[p[3]]) &
                          ~0x3F) == 0) {
    symbols += 4;
    p += 4;
  }
  for (; p != end; ++p) {
    const unsigned char v = kDecode.value[*p];
    if (v < 64) {
      if (padding != 0) {
        return false;
      }
      ++symbols;
    } else if (v == kPadValue) {
      // Padding fills the third and/or fourth place of the final group.
      const size_t inGroup = symbols % 4;
      if (inGroup < 2 || inGroup + padding >= 4) {
        return false;
      }
      ++padding;
    } else if (v != kBlankValue) {
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

std::string HexOf(const unsigned char* data, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(2 * n, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace

int base64Encode(const unsigned char* data, int length, char* dest) {
  const size_t n = InputSize(data, length);
  if (dest == nullptr || EncodedSize(n) > static_cast<size_t>(INT_MAX)) {
    return 0;
  }
  EncodeWithPairs(data, n, dest, kStandardPairs);
  return static_cast<int>(EncodedSize(n));
}

std::string Base64EncodeWithEncodeString(const unsigned char* data, int length,
                                         const std::string& alphabet) {
  if (alphabet.size() < 64) {
    return std::string();
  }
  const size_t n = InputSize(data, length);
  std::string out(EncodedSize(n), '\0');
  EncodeWithAlphabet(data, n, &out[0], alphabet.data());
  return out;
}

std::string Base64Encode(const unsigned char* data, int length) {
  return EncodeString(data, length, kStandardPairs);
}

std::string Base64URLEncode(const unsigned char* data, int length) {
  return EncodeString(data, length, kUrlPairs);
}

int base64Decode(const unsigned char* text, int length, char* dest) {
  const size_t n = InputSize(text, length);
  if (dest == nullptr || n == 0) {
    return 0;
  }
  // At most n - n / 4 < INT_MAX bytes.
  return static_cast<int>(
      DecodeInto(text, n, reinterpret_cast<unsigned char*>(dest)));
}

std::string Base64Decode(const unsigned char* text, int length) {
  const size_t n = InputSize(text, length);
  std::string out(DecodedCapacity(n), '\0');
  out.resize(DecodeInto(text, n, reinterpret_cast<unsigned char*>(&out[0])));
  return out;
}

std::string HexEncode(const unsigned char* data, int length) {
  return HexOf(data, InputSize(data, length));
}

std::string Base64ToHex(const std::string& text) {
  std::string bytes(DecodedCapacity(text.size()), '\0');
  bytes.resize(DecodeInto(reinterpret_cast<const unsigned char*>(text.data()),
                          text.size(),
                          reinterpret_cast<unsigned char*>(&bytes[0])));
  return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()),
               bytes.size());
}

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
      const unsigned char a = kDecode.value[p[0]];
      const unsigned char b = kDecode.value[p[1]];
      const unsigned char c = kDecode.value[p[2]];
      const unsigned char d = kDecode.value[p[3]];
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
    const unsigned char v = kDecode.value[*p++];
    if (v >= 64) {
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
