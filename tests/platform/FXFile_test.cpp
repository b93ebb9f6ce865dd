#include "platform/FXFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::ReadFile;
using tqtest::TempDir;
using tqtest::WriteFile;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Sets the umask for a scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
  ~ScopedUmask() { ::umask(m_old); }

 private:
  mode_t m_old;
};

TEST(FXPath, Append) {
  struct Case {
    const char* path;
    const char* component;
    const char* joined;
  };
  for (const Case& c :
       {Case{"/home/u/.tq", "certificates", "/home/u/.tq/certificates"},
        Case{"/home/u/.tq/", "certificates", "/home/u/.tq/certificates"},
        Case{"/home/u/.tq//", "/certificates", "/home/u/.tq/certificates"},
        Case{"/home/u/.tq", "//Azure_x.crt", "/home/u/.tq/Azure_x.crt"},
        Case{"rel", "a/b", "rel/a/b"}, Case{"/", "etc", "/etc"},
        Case{"//", "/etc", "/etc"}, Case{"", "a", "a"}, Case{"/x", "", "/x"},
        Case{"/x", "/", "/x/"}, Case{"a", "b/", "a/b/"}}) {
    std::string path = c.path;
    const CKoError st = FXPath::Append(path, c.component, 0);
    EXPECT_FALSE(st.IsError());
    EXPECT_EQ(path, c.joined) << c.path << " + " << c.component;
  }
}

TEST(FXFile, DoesFileExist) {
  TempDir dir;
  const std::string file = dir.path() + "/f";
  WriteFile(file, "x");
  ASSERT_EQ(::symlink((dir.path() + "/nowhere").c_str(),
                      (dir.path() + "/dangling").c_str()),
            0);
  EXPECT_TRUE(FXFile::DoesFileExist(file));
  EXPECT_TRUE(FXFile::DoesFileExist(dir.path()));
  EXPECT_TRUE(FXFile::DoesFileExist(dir.path() + "/dangling"));
  EXPECT_FALSE(FXFile::DoesFileExist(dir.path() + "/missing"));
  EXPECT_FALSE(FXFile::DoesFileExist(file + "/below-a-file"));
  EXPECT_FALSE(FXFile::DoesFileExist(""));
}

TEST(FXFile, CreatedFilesAreOwnerOnly) {
  TempDir dir;
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    ScopedUmask umask(mask);
    struct Case {
      unsigned int disposition;
      unsigned int flags;
      mode_t mode;
    };
    for (const Case& c : {Case{CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY, 0400},
                          Case{CREATE_NEW, FILE_ATTRIBUTE_READONLY, 0400},
                          Case{CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0600},
                          Case{CREATE_NEW, 0, 0600}}) {
      const std::string path = dir.path() + "/f" + std::to_string(mask) + "_" +
                               std::to_string(c.disposition) + "_" +
                               std::to_string(c.flags);
      auto_handle handle;
      const CKoError st =
          FXFile::TQCreateFile(handle, path, GENERIC_WRITE, FILE_SHARE_WRITE,
                               nullptr, c.disposition, c.flags, nullptr);
      ASSERT_FALSE(st.IsError()) << st.ToString();
      ASSERT_TRUE(handle.valid());
      EXPECT_EQ(ModeOf(path), c.mode) << path;
      // Read-only for later opens, yet this descriptor writes.
      unsigned long written = 0;
      ASSERT_FALSE(
          FXFile::TQWriteFile(handle, "abc", 3, &written, nullptr).IsError());
      EXPECT_EQ(written, 3u);
      EXPECT_NE(::fcntl(handle.get(), F_GETFD) & FD_CLOEXEC, 0);
    }
  }
}

TEST(FXFile, CreateAlwaysReplacesContentAndMode) {
  TempDir dir;
  const std::string path = dir.path() + "/cert.crt";
  WriteFile(path, "old content that is longer", 0644);
  auto_handle handle;
  ASSERT_FALSE(FXFile::TQCreateFile(handle, path, GENERIC_WRITE,
                                    FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_READONLY, nullptr)
                   .IsError());
  ASSERT_FALSE(
      FXFile::TQWriteFile(handle, "new", 3, nullptr, nullptr).IsError());
  handle.reset(-1);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(ModeOf(path), 0400);
}

TEST(FXFile, OpensExistingFilesForReading) {
  TempDir dir;
  const std::string path = dir.path() + "/data";
  WriteFile(path, "hello", 0644);
  auto_handle handle(::dup(0));
  ASSERT_FALSE(FXFile::TQCreateFile(handle, path, GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)
                   .IsError());
  char buf[8] = {};
  EXPECT_EQ(::read(handle.get(), buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf), "hello");
  EXPECT_EQ(ModeOf(path), 0644);  // an opened file keeps its mode
  EXPECT_EQ(::write(handle.get(), "x", 1), -1);
}

TEST(FXFile, CreateFailuresMapToWin32Codes) {
  TempDir dir;
  const std::string existing = dir.path() + "/existing";
  WriteFile(existing, "secret target");
  const std::string link = dir.path() + "/link";
  ASSERT_EQ(::symlink(existing.c_str(), link.c_str()), 0);
  const std::string readOnlyDir = dir.path() + "/ro";
  ASSERT_EQ(::mkdir(readOnlyDir.c_str(), 0500), 0);

  struct Case {
    std::string path;
    unsigned int access;
    unsigned int disposition;
    unsigned int code;
    const char* reason;
  };
  std::vector<Case> cases = {
      {dir.path() + "/missing", GENERIC_READ, OPEN_EXISTING, 2,
       "No such file or directory"},
      {dir.path() + "/no/such/dir/f", GENERIC_WRITE, CREATE_ALWAYS, 3,
       "No such file or directory"},
      {existing + "/f", GENERIC_WRITE, CREATE_ALWAYS, 3, "Not a directory"},
      {existing, GENERIC_WRITE, CREATE_NEW, 80, "File exists"},
      {dir.path(), GENERIC_WRITE, OPEN_EXISTING, 5, "Is a directory"},
      {link, GENERIC_WRITE, CREATE_ALWAYS, 1921,
       "Too many levels of symbolic links"},
      {link, GENERIC_READ, OPEN_EXISTING, 1921,
       "Too many levels of symbolic links"},
      {dir.path() + "/" + std::string(300, 'n'), GENERIC_WRITE, CREATE_ALWAYS,
       206, "File name too long"},
      {existing, GENERIC_READ, TRUNCATE_EXISTING, 87, "Invalid argument"},
      {existing, GENERIC_WRITE, 0, 87, "Invalid argument"},
      {existing, GENERIC_WRITE, 6, 87, "Invalid argument"},
  };
  if (::geteuid() != 0) {  // root ignores permission bits
    cases.push_back({readOnlyDir + "/f", GENERIC_WRITE, CREATE_ALWAYS, 5,
                     "Permission denied"});
  }
  for (const Case& c : cases) {
    auto_handle handle(::dup(0));
    const int held = handle.get();
    const CKoError st = FXFile::TQCreateFile(
        handle, c.path, c.access, FILE_SHARE_WRITE, nullptr, c.disposition,
        FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_TRUE(st.IsError()) << c.path;
    EXPECT_EQ(st.GetWin32Code(), c.code) << c.path;
    EXPECT_EQ(st.GetMessage(),
              "Failed to create file [" + c.path + "]: " + c.reason);
    EXPECT_EQ(handle.get(), held);  // untouched on failure
  }
  // The link's target was neither followed nor truncated.
  EXPECT_EQ(ReadFile(existing), "secret target");
  ::chmod(readOnlyDir.c_str(), 0700);
}

TEST(FXFile, WriteFailures) {
  auto_handle invalid;
  unsigned long written = 99;
  CKoError st = FXFile::TQWriteFile(invalid, "x", 1, &written, nullptr);
  EXPECT_EQ(st.GetWin32Code(), 6u);
  EXPECT_EQ(st.GetMessage(), "Failed to write file: Bad file descriptor");
  EXPECT_EQ(written, 0u);

  auto_handle full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  st = FXFile::TQWriteFile(full, "abc", 3, &written, nullptr);
  EXPECT_EQ(st.GetWin32Code(), 112u);
  EXPECT_EQ(st.GetMessage(), "Failed to write file: No space left on device");
  EXPECT_EQ(written, 0u);

  st = FXFile::TQWriteFile(full, nullptr, 1, &written, nullptr);
  EXPECT_EQ(st.GetWin32Code(), 87u);
  EXPECT_FALSE(
      FXFile::TQWriteFile(full, nullptr, 0, &written, nullptr).IsError());
}

// A file size limit stops the write part-way: the count says how far it got.
TEST(FXFile, WriteReportsPartialCountOnFailure) {
  TempDir dir;
  const std::string path = dir.path() + "/limited";
  const std::string data(10000, 'd');
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto_handle handle;
    if (FXFile::TQCreateFile(handle, path, GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, 0, nullptr)
            .IsError()) {
      ::_exit(10);
    }
    unsigned long written = 0;
    const CKoError st = FXFile::TQWriteFile(handle, data.data(), data.size(),
                                            &written, nullptr);
    ::_exit(st.GetWin32Code() == 223 && written == 4096 ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), data.substr(0, 4096));
}

// Signals without SA_RESTART interrupt the writer: short writes and EINTR
// must not lose or repeat bytes.
TEST(FXFile, WriteContinuesAfterInterruptions) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto_handle readEnd(fds[0]);
  auto_handle writeEnd(fds[1]);
  std::string data(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>(i * 131 % 251);
  }
  std::atomic<bool> done{false};
  unsigned long written = 0;
  CKoError st;
  std::thread writer([&] {
    st = FXFile::TQWriteFile(writeEnd, data.data(), data.size(), &written,
                             nullptr);
    done = true;
  });
  std::string received;
  char buf[4096];
  int reads = 0;
  while (received.size() < data.size()) {
    if (!done && ++reads % 4 == 0) {
      ::pthread_kill(writer.native_handle(), SIGUSR1);
    }
    const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    ASSERT_GT(n, 0);
    received.append(buf, static_cast<size_t>(n));
  }
  writer.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(received == data);
}

}  // namespace
