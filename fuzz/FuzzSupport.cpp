#include "fuzz/FuzzSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace tqfuzz {

int ReferenceHexDigit(int c) {
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

std::string Translate(std::string s, char from1, char to1, char from2,
                      char to2) {
  for (char& c : s) {
    c = c == from1 ? to1 : c == from2 ? to2 : c;
  }
  return s;
}

void PropertyFailed(const char* file, int line, const char* condition,
                    const std::string& what) {
  std::fprintf(stderr, "\n%s:%d: fuzz property failed: %s\n  %s\n", file, line,
               condition, what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const size_t n = std::min<size_t>(bytes.size(), 64);
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  if (n < bytes.size()) {
    out += "...(" + std::to_string(bytes.size()) + " bytes)";
  }
  return out;
}

uint8_t Reader::Byte() { return m_p != m_end ? *m_p++ : 0; }

std::string Reader::Bytes(size_t n) {
  n = std::min(n, remaining());
  std::string out(reinterpret_cast<const char*>(m_p), n);
  m_p += n;
  return out;
}

std::string Reader::Until(char separator) {
  const uint8_t* at = std::find(m_p, m_end, static_cast<uint8_t>(separator));
  std::string out(reinterpret_cast<const char*>(m_p),
                  static_cast<size_t>(at - m_p));
  m_p = at != m_end ? at + 1 : at;
  return out;
}

std::string Reader::Rest() { return Bytes(remaining()); }

namespace {

std::string& HomePath() {
  static std::string path;
  return path;
}

void RemoveHome() {
  std::error_code ec;
  fs::remove_all(HomePath(), ec);
}

}  // namespace

const std::string& PrivateHome() {
  std::string& path = HomePath();
  if (path.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
        "/tqfuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
    ::setenv("TQ_HOME", path.c_str(), 1);
    std::atexit(RemoveHome);
  }
  return path;
}

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dir, ec))) {
    return out;
  }
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    out.push_back(fs::relative(it->path(), dir, ec).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void EmptyFolder(const std::string& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in),
             std::istreambuf_iterator<char>());
  return !in.bad();
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace tqfuzz
