#include "platform/TqcConvert.h"

#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/SecureMemory.h"

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
