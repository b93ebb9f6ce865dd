#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Helpers shared by the fuzz targets (fuzz/*_fuzz.cpp): property checks that
// abort, a reader that cuts the fuzz input into fields, and a private home
// folder for targets that read or write files.

// Entry points every target defines (LLVMFuzzerTestOneInput) or may define
// (LLVMFuzzerInitialize); the replay program calls them the way libFuzzer
// does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace tqfuzz {

// Prints what failed, where, and aborts: libFuzzer then keeps the input as a
// crash, and a replay run fails.
[[noreturn]] void PropertyFailed(const char* file, int line,
                                 const char* condition,
                                 const std::string& what);

// A hex digit's value (either case), -1 otherwise: the references' own,
// independent of the library's.
int ReferenceHexDigit(int c);

// s with every from1 turned into to1 and every from2 into to2 (Base64 and
// Base64URL alphabets, say).
std::string Translate(std::string s, char from1, char to1, char from2,
                      char to2);

// Hex of some bytes, for messages (at most the first 64 bytes).
std::string Hex(const std::string& bytes);

// Cuts the fuzz input into the pieces a target needs. Reading past the end
// gives zeros and empty texts, so every input maps to some call.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_p(data), m_end(data + size) {}

  bool empty() const { return m_p == m_end; }
  size_t remaining() const { return static_cast<size_t>(m_end - m_p); }
  uint8_t Byte();
  // Up to n bytes.
  std::string Bytes(size_t n);
  // The bytes before the next separator, which is consumed; the rest of the
  // input when there is none.
  std::string Until(char separator);
  std::string Rest();

 private:
  const uint8_t* m_p;
  const uint8_t* m_end;
};

// A fresh folder under the temporary folder, made TQ_HOME for the rest of
// the process and removed at exit. Returns its path.
const std::string& PrivateHome();

// Every entry below dir (files, folders, links), as paths relative to it,
// sorted; empty when dir does not exist.
std::vector<std::string> ListTree(const std::string& dir);

// Removes everything inside dir, keeping dir itself.
void EmptyFolder(const std::string& dir);

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace tqfuzz

#define FUZZ_CHECK(condition, what)                                   \
  do {                                                                \
    if (!(condition)) {                                               \
      ::tqfuzz::PropertyFailed(__FILE__, __LINE__, #condition, what); \
    }                                                                 \
  } while (0)
