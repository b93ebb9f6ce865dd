#include "tools/idp/IdpText.h"

#include <openssl/rand.h>

#include <cmath>
#include <ctime>
#include <stdexcept>

namespace tqidp {

std::string FormatUtc(double seconds, TimeFormat format) {
  const double clamped = std::fmin(std::fmax(seconds, 0.0), 253402300799.0);
  const time_t t = static_cast<time_t>(clamped);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[64];
  switch (format) {
    case TimeFormat::kStamp:
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &tm);
      break;
    case TimeFormat::kIso:
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.0000000Z", &tm);
      break;
    case TimeFormat::kKeyDate:
      std::strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &tm);
      break;
  }
  return text;
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

std::string HexUpper(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char b : bytes) {
    out += kDigits[(static_cast<unsigned char>(b) >> 4) & 15];
    out += kDigits[static_cast<unsigned char>(b) & 15];
  }
  return out;
}

std::string RandomBytes(size_t n) {
  std::string bytes(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                 static_cast<int>(n)) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return bytes;
}

std::string NewUuid() {
  std::string b = RandomBytes(16);
  b[6] = static_cast<char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3f) | 0x80);
  std::string hex = HexUpper(b);
  for (char& c : hex) {
    c = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) +
         "-" + hex.substr(16, 4) + "-" + hex.substr(20);
}

bool IsUuid(const std::string& text) {
  if (text.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : HexValue(text[i]) < 0) {
      return false;
    }
  }
  return true;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) {
    out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  }
  return out;
}

std::string DumpJson(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tqidp
