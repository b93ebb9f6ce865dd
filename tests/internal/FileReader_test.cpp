#include "internal/io/FileReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

// Every kind of thing at a path, read the one way: nothing blocks, nothing
// beyond the limit is read, a link is followed only when asked to.
TEST(FileReader, RegularFilesWithinTheLimitOnly) {
  tqtest::TempDir dir;
  const std::string d = dir.path();
  tqtest::WriteFile(d + "/small", "12345");
  tqtest::WriteFile(d + "/empty", "");
  tqtest::WriteFile(d + "/large", std::string(4097, 'x'));
  ASSERT_EQ(::symlink((d + "/small").c_str(), (d + "/link").c_str()), 0);
  ASSERT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);
  using Kind = FileReadError::Kind;
  const struct {
    std::string name;
    FileLinks links;
    Kind kind;
    std::string bytes;
    std::string described;
  } cases[] = {
      {"small", FileLinks::kRefuse, Kind::kNone, "12345", ""},
      {"empty", FileLinks::kRefuse, Kind::kNone, "", ""},
      {"large", FileLinks::kRefuse, Kind::kTooLarge, "",
       "large is larger than 4096 bytes"},
      {"link", FileLinks::kFollow, Kind::kNone, "12345", ""},
      {"link", FileLinks::kRefuse, Kind::kNotRegular, "",
       "link is a symbolic link, not a regular file"},
      {"fifo", FileLinks::kFollow, Kind::kNotRegular, "",
       "fifo is a FIFO, not a regular file"},
      {"", FileLinks::kFollow, Kind::kNotRegular, "",
       " is a folder, not a regular file"},
      {"missing", FileLinks::kFollow, Kind::kMissing, "",
       "cannot open " + d + "/missing: No such file or directory"},
  };
  for (const auto& c : cases) {
    const std::string path = d + "/" + c.name;
    FileBytes bytes;
    FileReadError error;
    FileIdentity identity;
    const bool read =
        ReadWholeFile(path, c.links, 4096, bytes, error, &identity);
    EXPECT_EQ(read, c.kind == Kind::kNone) << c.name;
    EXPECT_EQ(error.kind, c.kind) << c.name;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes) << c.name;
    if (!read) {
      const std::string text = error.Describe(path);
      EXPECT_EQ(text.substr(text.size() - c.described.size()), c.described)
          << text;
    } else {
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0);
      EXPECT_TRUE(identity == FileIdentity::Of(st)) << c.name;
    }
  }
}

}  // namespace
