#include "platform/TqcBucket.h"

#include <cstring>
#include <utility>

#include "platform/SecureMemory.h"

TqcBucket::TqcBucket(const void* data, int size) {
  if (data != nullptr && size > 0) {
    m_data.reset(new unsigned char[static_cast<size_t>(size)]);
    std::memcpy(m_data.get(), data, static_cast<size_t>(size));
    m_size = size;
  }
}

TqcBucket::~TqcBucket() { Release(); }

TqcBucket::TqcBucket(const TqcBucket& other)
    : TqcBucket(other.m_data.get(), other.m_size) {}

TqcBucket& TqcBucket::operator=(const TqcBucket& other) {
  if (this != &other) {
    TqcBucket copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TqcBucket::TqcBucket(TqcBucket&& other) noexcept
    : m_data(std::move(other.m_data)), m_size(std::exchange(other.m_size, 0)) {}

TqcBucket& TqcBucket::operator=(TqcBucket&& other) noexcept {
  if (this != &other) {
    Release();
    m_data = std::move(other.m_data);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}

void TqcBucket::Release() noexcept {
  if (m_data) {
    SecureWipe(m_data.get(), static_cast<size_t>(m_size));
    m_data.reset();
  }
  m_size = 0;
}
