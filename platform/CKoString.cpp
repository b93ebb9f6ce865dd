#include "platform/CKoString.h"

#include <cstring>

CKoString::CKoString(const char* text) : m_text(text != nullptr ? text : "") {}

CKoString::CKoString(const std::string& text)
    : m_text(text.data(), text.size()) {}

CKoString::CKoString(long value) : m_text(std::to_string(value).c_str()) {}

CKoString::~CKoString() {
  // The allocator wipes heap storage; short texts live inside the object.
  SecureWipe(m_text.data(), m_text.capacity());
}

CKoString& CKoString::operator+=(const CKoString& other) {
  m_text.append(other.m_text);
  return *this;
}

CKoString CKoString::Format(const CKoString& format,
                            const std::vector<CKoString>& args) {
  const Storage& f = format.m_text;
  size_t total = f.size();
  for (const CKoString& a : args) {
    total += a.Length();
  }
  CKoString out;
  // One allocation up front, so no partly built copy of a secret argument is
  // left in a buffer given back while the text grows.
  out.m_text.reserve(total);
  size_t i = 0;
  while (i < f.size()) {
    if (f[i] == '{') {
      size_t j = i + 1;
      size_t index = 0;
      while (j < f.size() && f[j] >= '0' && f[j] <= '9' &&
             index <= args.size()) {
        index = index * 10 + static_cast<size_t>(f[j] - '0');
        ++j;
      }
      if (j > i + 1 && j < f.size() && f[j] == '}' && index >= 1 &&
          index <= args.size()) {
        out.m_text.append(args[index - 1].m_text);
        i = j + 1;
        continue;
      }
    }
    out.m_text.push_back(f[i]);
    ++i;
  }
  return out;
}

CKoString CKoString::Format(const CKoString& format, const CKoString& a1) {
  return Format(format, std::vector<CKoString>{a1});
}

CKoString CKoString::Format(const CKoString& format, const CKoString& a1,
                            const CKoString& a2) {
  return Format(format, std::vector<CKoString>{a1, a2});
}

CKoString CKoString::Format(const CKoString& format, const CKoString& a1,
                            const CKoString& a2, const CKoString& a3) {
  return Format(format, std::vector<CKoString>{a1, a2, a3});
}

CKoString CKoString::Format(const CKoString& format, const CKoString& a1,
                            const CKoString& a2, const CKoString& a3,
                            const CKoString& a4) {
  return Format(format, std::vector<CKoString>{a1, a2, a3, a4});
}

CKoString CKoString::Format(const CKoString& format, const CKoString& a1,
                            const CKoString& a2, const CKoString& a3,
                            const CKoString& a4, const CKoString& a5) {
  return Format(format, std::vector<CKoString>{a1, a2, a3, a4, a5});
}
