#pragma once

#include <memory>

#include "platform/TQExport.h"

// TqcBucket: an owned copy of some bytes (pointer and int count). The bytes
// may be secret (a decoded key, a decrypted text): they are wiped when the
// bucket lets go of them.
// Tests: tests/platform/TqcBucket_test.cpp
class TQ_EXPORT TqcBucket {
 public:
  TqcBucket() noexcept = default;
  // Copies size bytes from data; a null pointer or a size below 1 gives an
  // empty bucket.
  TqcBucket(const void* data, int size);
  ~TqcBucket();
  TqcBucket(const TqcBucket& other);
  TqcBucket& operator=(const TqcBucket& other);
  TqcBucket(TqcBucket&& other) noexcept;
  TqcBucket& operator=(TqcBucket&& other) noexcept;

  // The bytes (null for an empty bucket) and their count.
  const unsigned char* getData() const noexcept { return m_data.get(); }
  int getSize() const noexcept { return m_size; }

 private:
  void Release() noexcept;

  std::unique_ptr<unsigned char[]> m_data;
  int m_size = 0;
};
