#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/TQExport.h"

// TqException: the exception the base converters throw (Tqc::hex2bin). It
// carries a message for people; copying it never throws.
// Tests: tests/platform/TqcConvert_test.cpp
class TQ_EXPORT TqException : public std::exception {
 public:
  explicit TqException(const std::string& message);
  ~TqException() override;
  TqException(const TqException&) noexcept = default;
  TqException& operator=(const TqException&) noexcept = default;

  const char* what() const noexcept override;

 private:
  // std::runtime_error shares its text between copies without throwing.
  std::runtime_error m_message;
};
