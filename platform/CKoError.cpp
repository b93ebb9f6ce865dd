#include "platform/CKoError.h"

#include <cstdarg>
#include <cstdio>

#include "internal/base/StringFormat.h"

struct FXErrorPrivate {
  uint32_t win32Code = 0;
  std::string message;
  std::vector<FXCodeLocation> locations;
};

namespace {

constexpr uint32_t kHresultWin32 = 0x80070000u;

}  // namespace

uint32_t CKoError::GetWin32Code() const noexcept {
  return m_details ? m_details->win32Code : 0;
}

std::string CKoError::GetMessage() const {
  return m_details ? m_details->message : std::string();
}

std::vector<FXCodeLocation> CKoError::GetLocations() const {
  return m_details ? m_details->locations : std::vector<FXCodeLocation>();
}

CKoError& CKoError::Push(const FXCodeLocation& loc) {
  if (!m_details) {
    m_details = std::make_shared<FXErrorPrivate>();
  }
  m_details->locations.push_back(loc);
  return *this;
}

std::string CKoError::ToString() const {
  if (!IsError()) {
    return "Success";
  }
  std::string out = m_details && !m_details->message.empty()
                        ? m_details->message
                        : std::string("(no message)");
  out += StringPrintf(" (error %u, code 0x%08X)", GetWin32Code(),
                      static_cast<uint32_t>(m_code));
  if (m_details) {
    for (const FXCodeLocation& loc : m_details->locations) {
      out += StringPrintf("\n  at %s:%d in %s", loc.file ? loc.file : "?",
                          static_cast<int>(loc.line),
                          loc.function ? loc.function : "?");
    }
  }
  return out;
}

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, unsigned int code) {
  CKoError st;
  st.m_code = static_cast<int32_t>(kHresultWin32 | (code & 0xFFFFu));
  st.m_details = std::make_shared<FXErrorPrivate>();
  st.m_details->win32Code = code;
  st.m_details->locations.push_back(loc);
  return st;
}

CKoError FXErrorUtil::ErrorWin32(const FXCodeLocation& loc, unsigned int code,
                                 const char* format, ...) {
  CKoError st = ErrorWin32(loc, code);
  va_list ap;
  va_start(ap, format);
  st.m_details->message = StringPrintfV(format, ap);
  va_end(ap);
  return st;
}
