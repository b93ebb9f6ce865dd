#include "platform/TqcBucket.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

std::string Bytes(const TqcBucket& b) {
  return b.getData() != nullptr
             ? std::string(reinterpret_cast<const char*>(b.getData()),
                           static_cast<size_t>(b.getSize()))
             : std::string();
}

TEST(TqcBucket, CopiesOnConstruction) {
  char source[] = {'a', '\0', 'b'};
  TqcBucket bucket(source, 3);
  source[0] = 'z';
  EXPECT_EQ(bucket.getSize(), 3);
  EXPECT_EQ(Bytes(bucket), std::string("a\0b", 3));
}

TEST(TqcBucket, EmptyForNullOrNonPositiveSize) {
  EXPECT_EQ(TqcBucket().getSize(), 0);
  EXPECT_EQ(TqcBucket().getData(), nullptr);
  EXPECT_EQ(TqcBucket(nullptr, 5).getSize(), 0);
  EXPECT_EQ(TqcBucket("x", 0).getSize(), 0);
  EXPECT_EQ(TqcBucket("x", -1).getData(), nullptr);
}

TEST(TqcBucket, CopyAndMove) {
  TqcBucket a("abc", 3);
  TqcBucket b = a;
  EXPECT_EQ(Bytes(b), "abc");
  EXPECT_NE(a.getData(), b.getData());
  TqcBucket c = std::move(a);
  EXPECT_EQ(Bytes(c), "abc");
  EXPECT_EQ(a.getSize(),
            0);  // NOLINT: moved-from state is part of the contract
  b = TqcBucket("de", 2);
  EXPECT_EQ(Bytes(b), "de");
  b = c;
  EXPECT_EQ(Bytes(b), "abc");
  const TqcBucket& self = b;  // through a reference: no warning
  b = self;                   // self-assignment keeps the bytes
  EXPECT_EQ(Bytes(b), "abc");
}

}  // namespace
