// The strict base64Decode(const std::string&, std::string&): accepts exactly
// what a reference validator accepts, decodes as OpenSSL's EVP_DecodeBlock
// does, leaves the output alone on failure, and round-trips the fuzz bytes
// (also with line breaks and blanks inserted).

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/Base64Codec.h"

namespace {

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool Reference(const std::string& text, std::string& out) {
  std::string s;
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      s += c;
    }
  }
  const size_t core = s.find_last_not_of('=') + 1;  // npos + 1 == 0
  const size_t padding = s.size() - core;
  for (size_t i = 0; i < core; ++i) {
    if (!IsAlphabet(s[i])) {
      return false;
    }
  }
  const size_t rest = core % 4;
  if (padding > 2 || (padding == 0 ? rest != 0 : rest + padding != 4)) {
    return false;
  }
  // EVP_DecodeBlock wants whole groups: fill a final partial group with
  // zero values ("A") and drop the bytes they make.
  std::string groups = s.substr(0, core) + std::string((4 - rest) % 4, 'A');
  std::vector<unsigned char> bytes(groups.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(
      bytes.data(), reinterpret_cast<const unsigned char*>(groups.data()),
      static_cast<int>(groups.size()));
  if (n < 0) {
    return false;
  }
  const size_t dropped = rest == 0 ? 0 : 4 - rest;  // bytes of the fill
  out.assign(reinterpret_cast<const char*>(bytes.data()),
             static_cast<size_t>(n) - dropped);
  return true;
}

std::string Encode(const std::string& bytes) {
  std::vector<unsigned char> out((bytes.size() + 2) / 3 * 4 + 1);
  const int n = EVP_EncodeBlock(
      out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
      static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<const char*>(out.data()),
                     static_cast<size_t>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::string got = "untouched";
  const bool ok = base64Decode(input, got);
  std::string want;
  const bool wantOk = Reference(input, want);
  FUZZ_CHECK(ok == wantOk, std::string("base64Decode ") +
                               (ok ? "accepts" : "refuses") + " " +
                               tqfuzz::Hex(input));
  FUZZ_CHECK(ok ? got == want : got == "untouched",
             "base64Decode output for " + tqfuzz::Hex(input));

  // Bytes -> Base64 -> bytes, plain and with blanks every few characters.
  const std::string encoded = Encode(input);
  std::string back;
  FUZZ_CHECK(base64Decode(encoded, back) && back == input,
             "round trip of " + tqfuzz::Hex(input));
  const size_t every = 1 + (size != 0 ? data[0] % 76 : 0);
  std::string wrapped;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (i != 0 && i % every == 0) {
      wrapped += "\r\n \t"[i / every % 4];
    }
    wrapped += encoded[i];
  }
  std::string large(3 * input.size() + 10, 'x');  // a buffer that shrinks
  FUZZ_CHECK(base64Decode(wrapped, large) && large == input,
             "round trip with blanks of " + tqfuzz::Hex(input));
  return 0;
}
