#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/TQExport.h"
#include "platform/TqFailureReason.h"

// A place in the source that found or passed on a failure. The texts are not
// copied: TQ_LOC passes string literals, which live as long as the program.
struct FXCodeLocation {
  const char* file;
  const char* function;
  int32_t line;
};

// The current location: file (relative to the repository), full function
// signature and line.
#define TQ_LOC (FXCodeLocation{__FILE__, __PRETTY_FUNCTION__, __LINE__})

struct FXErrorPrivate;

// CKoError: the status every library operation returns. Code 0 with no
// details is success; a negative code is a failure, with a details record
// (message and location chain) shared by every copy of the status.
// Tests: tests/platform/CKoError_test.cpp
class [[nodiscard]] TQ_EXPORT CKoError {
 public:
  CKoError() noexcept = default;

  static CKoError Success() noexcept { return CKoError(); }

  // True exactly when the result code is negative.
  bool IsError() const noexcept { return m_code < 0; }

  // The 32-bit result code; 0 on success.
  int32_t GetCode() const noexcept { return m_code; }

  // The Win32 code a failure was created with (774, 14, 6 ...), 0 on success.
  uint32_t GetWin32Code() const noexcept;

  // The failure's message; empty when it has none.
  std::string GetMessage() const;

  // Why it failed (platform/TqFailureReason.h): kNone on success; a failure
  // created without a reason is kInternal.
  TqFailureReason GetReason() const noexcept;

  // For kThrottled: the seconds the endpoint asked to wait from when the
  // status was made (0 otherwise).
  int64_t GetRetryAfterSeconds() const noexcept;

  // The failing service's own code when it named one: for
  // kCredentialRejected and kInvalidRequest the AADSTS number of the
  // endpoint's reply (7000215 for a wrong secret); 0 when there is none.
  uint32_t GetServiceCode() const noexcept;

  // Setters for where a failure is found; each changes the record shared by
  // every copy and returns this status. On a success they do nothing.
  CKoError& SetReason(TqFailureReason reason) noexcept;
  CKoError& SetRetryAfterSeconds(int64_t seconds) noexcept;
  CKoError& SetServiceCode(uint32_t code) noexcept;

  // Copy: a status equal to this one (code, message, reason, details and
  // location chain) with a details record of its own, so that locations
  // pushed onto it do not show in this one. A success copies as success.
  CKoError Copy() const;

  // The location chain: where the failure was found first, then every
  // location pushed on the way out (innermost first).
  std::vector<FXCodeLocation> GetLocations() const;

  // A rendering for people: the message, the codes, then the location chain,
  // innermost first, one per line. "Success" for a success.
  std::string ToString() const;

  // Appends loc to the location chain shared by every copy and returns this
  // status, for `return st.Push(TQ_LOC);`.
  CKoError& Push(const FXCodeLocation& loc);

 private:
  friend class FXErrorUtil;
  int32_t m_code = 0;
  std::shared_ptr<FXErrorPrivate> m_details;
};

// Builders of failed statuses for Win32-style error codes. The result code is
// the HRESULT form 0x80070000 | code, always negative.
// A failure made by these has the reason kInternal unless one is given.
class TQ_EXPORT FXErrorUtil {
 public:
  static CKoError ErrorWin32(const FXCodeLocation& loc, unsigned int code);
  static CKoError ErrorWin32(const FXCodeLocation& loc, unsigned int code,
                             const char* format, ...) TQ_PRINTF_FORMAT(3, 4);
  // With the reason found.
  static CKoError ErrorWin32(const FXCodeLocation& loc, unsigned int code,
                             TqFailureReason reason, const char* format, ...)
      TQ_PRINTF_FORMAT(4, 5);
};

// Win32 codes the library uses.
enum : unsigned int {
  TQ_ERROR_INVALID_HANDLE = 6,
  TQ_ERROR_OUTOFMEMORY = 14,
  TQ_ERROR_GENERAL = 774,
};
