#include "platform/TQPassword.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::ReadFile;
using tqtest::ScopedTqHome;
using tqtest::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string Encrypt(const std::string& plain) {
  std::string stored;
  EXPECT_TRUE(TQPassword().encrypt(plain, stored));
  return stored;
}

// Decrypts into a buffer of capacity + 1 bytes that starts filled with 'Z'.
// Returns the plain text, or "<false>" after checking the failure contract.
std::string Decrypt(const std::string& stored, unsigned long capacity = 2047) {
  std::vector<char> out(capacity + 1, 'Z');
  unsigned long length = capacity;
  if (!TQPassword().decrypt(stored.c_str(), out.data(), &length)) {
    EXPECT_EQ(length, capacity);
    for (char c : out) {
      EXPECT_EQ(c, '\0');  // wiped
    }
    return "<false>";
  }
  EXPECT_EQ(out[length], '\0');
  return std::string(out.data(), length);
}

std::string KeyFile(const ScopedTqHome& home) {
  return home.path() + "/secret.key";
}

TEST(TQPassword, RoundTrip) {
  ScopedTqHome home;
  for (const std::string& plain :
       {std::string(""), std::string("p"), std::string("s3cr3t~&=+ %"),
        std::string("nul\0inside", 10), std::string(2047, 'x'),
        std::string("\xff\xfe\x80 binary", 10)}) {
    const std::string stored = Encrypt(plain);
    EXPECT_EQ(stored.rfind("ENC1:", 0), 0u);
    EXPECT_EQ(Decrypt(stored), plain);
  }
  EXPECT_EQ(ModeOf(home.path()), 0700);
  EXPECT_EQ(ModeOf(KeyFile(home)), 0600);
  EXPECT_EQ(ReadFile(KeyFile(home)).size(), 32u);
}

TEST(TQPassword, FreshNonceEveryTime) {
  ScopedTqHome home;
  const std::string a = Encrypt("same secret");
  const std::string b = Encrypt("same secret");
  EXPECT_NE(a, b);
  EXPECT_NE(a.substr(5, 16), b.substr(5, 16));
  // 12-byte nonce + 11 bytes + 16-byte tag = 39 bytes = 52 Base64 chars.
  EXPECT_EQ(a.size(), 5u + 52u);
}

TEST(TQPassword, CreatesTheHomeFolderPrivately) {
  ScopedTqHome home;
  const std::string nested = home.path() + "/new/tqhome";
  ::setenv("TQ_HOME", nested.c_str(), 1);  // ScopedTqHome restores it
  const mode_t old = ::umask(0);
  const std::string stored = Encrypt("x");
  ::umask(old);
  EXPECT_EQ(ModeOf(home.path() + "/new"), 0700);
  EXPECT_EQ(ModeOf(nested), 0700);
  EXPECT_EQ(ModeOf(nested + "/secret.key"), 0600);
  EXPECT_EQ(Decrypt(stored), "x");
}

TEST(TQPassword, CapacityLimit) {
  ScopedTqHome home;
  const std::string stored = Encrypt("exactly-16-bytes");
  EXPECT_EQ(Decrypt(stored, 16), "exactly-16-bytes");
  EXPECT_EQ(Decrypt(stored, 17), "exactly-16-bytes");
  EXPECT_EQ(Decrypt(stored, 15), "<false>");
  EXPECT_EQ(Decrypt(stored, 0), "<false>");
  EXPECT_EQ(Decrypt(Encrypt(""), 0), "");
}

TEST(TQPassword, AnyAlteredByteIsRefused) {
  ScopedTqHome home;
  const std::string stored = Encrypt("client secret value");
  for (size_t i = 0; i < stored.size(); ++i) {
    for (const unsigned char flip : {0x01, 0x20, 0x80}) {
      std::string altered = stored;
      altered[i] = static_cast<char>(altered[i] ^ flip);
      EXPECT_EQ(Decrypt(altered), "<false>") << i << " ^ " << int{flip};
    }
  }
  // Cut, extended, blanks, another prefix, too short for nonce and tag.
  for (const std::string& bad :
       {stored.substr(0, stored.size() - 4), stored + "AAAA",
        stored.substr(0, 10) + "\n" + stored.substr(10), " " + stored,
        "ENC2:" + stored.substr(5), "enc1:" + stored.substr(5),
        stored.substr(5), std::string("ENC1:"),
        "ENC1:" + std::string(36, 'A')}) {  // 27 bytes: no room for a tag
    EXPECT_EQ(Decrypt(bad), "<false>") << bad;
  }
  EXPECT_EQ(Decrypt(stored), "client secret value");
}

TEST(TQPassword, AnotherKeyIsRefused) {
  ScopedTqHome home;
  const std::string stored = Encrypt("secret");
  std::string key = ReadFile(KeyFile(home));
  key[0] = static_cast<char>(key[0] ^ 1);
  WriteFile(KeyFile(home), key, 0600);
  EXPECT_EQ(Decrypt(stored), "<false>");
}

TEST(TQPassword, KeyOfWrongSizeIsRefused) {
  ScopedTqHome home;
  const std::string stored = Encrypt("secret");
  const std::string key = ReadFile(KeyFile(home));
  for (const std::string& bad : {key.substr(0, 31), key + "x", std::string()}) {
    WriteFile(KeyFile(home), bad, 0600);
    EXPECT_EQ(Decrypt(stored), "<false>");
    std::string out = "untouched";
    EXPECT_FALSE(TQPassword().encrypt("y", out));  // no new key over it
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(ReadFile(KeyFile(home)), bad);
  }
  WriteFile(KeyFile(home), key, 0600);
  EXPECT_EQ(Decrypt(stored), "secret");
}

TEST(TQPassword, DecryptNeverCreatesTheKey) {
  ScopedTqHome home;
  const std::string stored = Encrypt("secret");
  ASSERT_EQ(::unlink(KeyFile(home).c_str()), 0);
  EXPECT_EQ(Decrypt(stored), "<false>");
  EXPECT_NE(::access(KeyFile(home).c_str(), F_OK), 0);
  // Nor the home folder.
  const std::string missing = home.path() + "/missing";
  ::setenv("TQ_HOME", missing.c_str(), 1);
  EXPECT_EQ(Decrypt(stored), "<false>");
  EXPECT_NE(::access(missing.c_str(), F_OK), 0);
}

TEST(TQPassword, UnreadableKeyOrHome) {
  ScopedTqHome home;
  // The key's place is taken by a folder: nothing can be read or made.
  ASSERT_EQ(::mkdir(KeyFile(home).c_str(), 0700), 0);
  std::string out = "untouched";
  EXPECT_FALSE(TQPassword().encrypt("x", out));
  EXPECT_EQ(out, "untouched");
  // A home that is a file.
  const std::string file = home.path() + "/file";
  WriteFile(file, "x");
  ::setenv("TQ_HOME", file.c_str(), 1);
  EXPECT_FALSE(TQPassword().encrypt("x", out));
  EXPECT_EQ(out, "untouched");
}

TEST(TQPassword, NullArguments) {
  ScopedTqHome home;
  const std::string stored = Encrypt("s");
  char out[8] = "ZZZZZZZ";
  unsigned long length = 7;
  TQPassword password;
  EXPECT_FALSE(password.decrypt(nullptr, out, &length));
  EXPECT_EQ(std::string(out, 8), std::string(8, '\0'));
  EXPECT_FALSE(password.decrypt(stored.c_str(), nullptr, &length));
  EXPECT_FALSE(password.decrypt(stored.c_str(), out, nullptr));
  EXPECT_EQ(length, 7u);
}

// Processes that provision at the same moment agree on one key.
TEST(TQPassword, ConcurrentFirstUseSharesOneKey) {
  for (int round = 0; round < 20; ++round) {
    ScopedTqHome home;
    constexpr int kThreads = 4;
    std::vector<std::string> stored(kThreads);
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ok[t] = TQPassword().encrypt("s" + std::to_string(t), stored[t]);
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(ok[t]);
      EXPECT_EQ(Decrypt(stored[t]), "s" + std::to_string(t));
    }
    // The key alone: no temporary file left behind.
    EXPECT_EQ(ReadFile(KeyFile(home)).size(), 32u);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"secret.key"});
  }
}

}  // namespace
