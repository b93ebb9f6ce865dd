#include "platform/TqException.h"

TqException::TqException(const std::string& message) : m_message(message) {}

TqException::~TqException() = default;

const char* TqException::what() const noexcept { return m_message.what(); }
