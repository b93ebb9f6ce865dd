#include "platform/internal/TqHome.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::ScopedTqHome;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Sets the umask for one scope: folders and files must get their modes
// whatever it is.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_saved(::umask(mask)) {}
  ~ScopedUmask() { ::umask(m_saved); }

 private:
  mode_t m_saved;
};

TEST(TqHome, PathsUnderTheHome) {
  ScopedTqHome scoped;
  const TqHome home;
  const std::string h = scoped.path();
  EXPECT_EQ(home.Path(), h);
  EXPECT_EQ(home.ConfigFile(), h + "/tqcloudauth.ini");
  EXPECT_EQ(home.KeyFile(), h + "/secret.key");
  EXPECT_EQ(home.CredentialStore(), h + "/credentials.db");
  EXPECT_EQ(home.LogFile(), h + "/logs/tqcloudauth.log");
  EXPECT_EQ(home.CertificateFile("app"), h + "/certificates/Azure_app.crt");
}

TEST(TqHome, PrivateFolderWithItsMissingParents) {
  tqtest::TempDir dir;
  ASSERT_EQ(::mkdir((dir.path() + "/shared").c_str(), 0755), 0);
  ScopedUmask umask(0277);  // would clear the owner's write and search bits
  const std::string path = dir.path() + "/shared/a/b/home";
  ASSERT_FALSE(TqHome::MakePrivateFolder(path + "/").IsError());
  ASSERT_FALSE(TqHome::MakePrivateFolder(path).IsError()) << "exists: fine";
  EXPECT_EQ(ModeOf(dir.path() + "/shared"), 0755u) << "existing: untouched";
  for (const char* created : {"/shared/a", "/shared/a/b", "/shared/a/b/home"}) {
    EXPECT_EQ(ModeOf(dir.path() + created), 0700u) << created;
  }

  tqtest::WriteFile(dir.path() + "/file", "x");
  const CKoError st = TqHome::MakePrivateFolder(dir.path() + "/file/sub/home");
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage(),
            "cannot create " + dir.path() + "/file/sub: Not a directory");
  const CKoError file = TqHome::MakePrivateFolder(dir.path() + "/file");
  EXPECT_EQ(file.GetMessage(),
            "cannot create " + dir.path() + "/file: Not a directory");
}

TEST(TqHome, PublishedFilesAppearWhole) {
  ScopedTqHome dir;
  const TqHome home;
  const std::string path = dir.path() + "/published";
  const struct {
    const char* before;  // null: no file there
    TqHome::Existing existing;
    mode_t mode;
    const char* after;
    bool kept;
  } cases[] = {
      {nullptr, TqHome::Existing::kKeep, 0400, "new", false},
      {"old", TqHome::Existing::kKeep, 0600, "old", true},
      {nullptr, TqHome::Existing::kReplace, 0600, "new", false},
      {"old", TqHome::Existing::kReplace, 0400, "new", false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(path);
    if (c.before != nullptr) {
      tqtest::WriteFile(path, c.before);
    }
    const mode_t modeBefore = ModeOf(path);
    bool kept = !c.kept;
    {
      ScopedUmask umask(0777);
      ASSERT_FALSE(home.PublishFile(path, "new", 3, c.mode, c.existing, &kept)
                       .IsError());
    }
    EXPECT_EQ(tqtest::ReadFile(path), c.after);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(ModeOf(path), c.kept ? modeBefore : c.mode);
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"published"})
        << "no temporary file left";
  }

  const CKoError st = home.PublishFile(dir.path() + "/missing/file", "x", 1,
                                       0600, TqHome::Existing::kKeep, nullptr);
  ASSERT_TRUE(TqHome::IsMissing(st));
  EXPECT_EQ(st.GetMessage(), "cannot open " + dir.path() +
                                 "/missing/file: No such file or directory");
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"published"});
}

TEST(TqHome, OpenedFilesAreClosedOnExec) {
  ScopedTqHome dir;
  const TqHome home;
  auto_handle file;
  ASSERT_FALSE(home.OpenFile(dir.path() + "/f", TqHome::FileKind::kSecret,
                             O_WRONLY | O_CREAT, 0600, file)
                   .IsError());
  EXPECT_NE(::fcntl(file.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(ModeOf(dir.path() + "/f"), 0600u);

  auto_handle untouched(::dup(file.get()));
  const int held = untouched.get();
  const CKoError absent =
      home.OpenFile(dir.path() + "/absent", TqHome::FileKind::kSecret, O_RDONLY,
                    0, untouched);
  EXPECT_TRUE(TqHome::IsMissing(absent));
  EXPECT_EQ(untouched.get(), held);
}

// Read-only: the checks pass or refuse as usual but change no mode, and
// nothing that would write is done.
TEST(TqHome, ReadOnlyChangesNothing) {
  ScopedTqHome dir;
  const std::string logs = dir.path() + "/logs";
  ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
  tqtest::WriteFile(logs + "/tqcloudauth.log", "line\n");
  ASSERT_EQ(::chmod((logs + "/tqcloudauth.log").c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0750), 0);
  const TqHome home(TqHome::Access::kReadOnly);

  EXPECT_FALSE(home.Check().IsError());
  EXPECT_FALSE(home.CheckFolder(logs).IsError());
  EXPECT_FALSE(
      home.CheckFile(home.LogFile(), TqHome::FileKind::kLog).IsError());
  auto_handle file;
  EXPECT_TRUE(home.OpenFile(dir.path() + "/new", TqHome::FileKind::kSecret,
                            O_WRONLY | O_CREAT, 0600, file)
                  .IsError());
  EXPECT_TRUE(home.MakeFolder(home.CertificatesFolder()).IsError());
  EXPECT_TRUE(home.PublishFile(dir.path() + "/p", "x", 1, 0600,
                               TqHome::Existing::kKeep, nullptr)
                  .IsError());
  EXPECT_EQ(ModeOf(dir.path()), 0750u);
  EXPECT_EQ(ModeOf(logs), 0755u);
  EXPECT_EQ(ModeOf(home.LogFile()), 0644u);
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"logs"});

  // The same checks tighten by default.
  EXPECT_FALSE(TqHome().Check().IsError());
  EXPECT_FALSE(
      TqHome().CheckFile(home.LogFile(), TqHome::FileKind::kLog).IsError());
  EXPECT_EQ(ModeOf(dir.path()), 0700u);
  EXPECT_EQ(ModeOf(home.LogFile()), 0600u);
}

}  // namespace
