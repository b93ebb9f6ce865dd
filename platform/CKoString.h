#pragma once

#include <string>
#include <vector>

#include "platform/SecureMemory.h"
#include "platform/TQExport.h"

// CKoString: the text type of formatted request texts. It may hold NUL bytes
// (Length() counts bytes). Request bodies carry secrets, so every buffer a
// CKoString ever used is zeroed before it is released.
// Tests: tests/platform/CKoString_test.cpp
class TQ_EXPORT CKoString {
 public:
  CKoString() = default;
  CKoString(const char* text);         // NOLINT: implicit, like the product's
  CKoString(const std::string& text);  // NOLINT
  CKoString(long value);               // NOLINT: decimal text of value
  CKoString(const CKoString&) = default;
  CKoString(CKoString&&) noexcept = default;
  CKoString& operator=(const CKoString&) = default;
  CKoString& operator=(CKoString&&) noexcept = default;
  ~CKoString();

  CKoString& operator+=(const CKoString& other);

  // NUL-terminated text; "" (never null) for an empty string.
  const char* c_str() const noexcept { return m_text.c_str(); }
  size_t Length() const noexcept { return m_text.size(); }

  // Format: a copy of format with every placeholder "{n}" (n = 1 to the
  // number of arguments, decimal) replaced by the n-th argument. Every other
  // character, braces that form no such placeholder included, is copied:
  // "{"a":{1}}" with 7 gives "{"a":7}". An index of 0 or beyond the arguments
  // is copied as text.
  static CKoString Format(const CKoString& format,
                          const std::vector<CKoString>& args);
  static CKoString Format(const CKoString& format, const CKoString& a1);
  static CKoString Format(const CKoString& format, const CKoString& a1,
                          const CKoString& a2);
  static CKoString Format(const CKoString& format, const CKoString& a1,
                          const CKoString& a2, const CKoString& a3);
  static CKoString Format(const CKoString& format, const CKoString& a1,
                          const CKoString& a2, const CKoString& a3,
                          const CKoString& a4);
  static CKoString Format(const CKoString& format, const CKoString& a1,
                          const CKoString& a2, const CKoString& a3,
                          const CKoString& a4, const CKoString& a5);

 private:
  using Storage =
      std::basic_string<char, std::char_traits<char>, ZeroingAllocator<char>>;
  Storage m_text;
};
