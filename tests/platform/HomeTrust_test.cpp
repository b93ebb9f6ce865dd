// The home and its files are trusted only when they are the user's own and
// private. At each name the library keeps under the home: a link, a FIFO, a
// folder or a device in its place, loose modes, a file of another user; and
// a home of another user or none at all. Each case checks the refusal's
// message, that nothing was read or written through a link, and that what
// is stored is unchanged.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CredentialMgrHelper.h"
#include "platform/EvEvent.h"
#include "platform/TQPassword.h"
#include "platform/TQPlatformInfo.h"
#include "platform/internal/StagedCertificate.h"
#include "platform/internal/TqHome.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::SnapshotTree;

const char kSecret[] = "SECRET-SENTINEL-7f3a";
const char kCertificate[] = "CERTIFICATE-BYTES";
const char kConfigText[] = "[Log]\nDestination=file\n";
// What a link points at: an ini text and a key's 32 bytes at once.
const char kTarget[] = "[Log]\nDestination=file\n#2345678\n";
static_assert(sizeof kTarget - 1 == TQPassword::kKeySize, "a key's size");
constexpr uid_t kOtherUid = 65534;  // nobody

// The use of the home that a name serves.
enum class Use { kKey, kStore, kLog, kConfig, kStaging, kAll };

// Runs fn in a child process that has dropped to uid (and that gid) first;
// its exit status, or -1.
int RunAs(uid_t uid, const std::function<int()>& fn) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const auto gid = static_cast<gid_t>(uid);
    _exit(::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                  ::setresuid(uid, uid, uid) == 0
              ? fn()
              : 99);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// text with {P} replaced by path and {M} by mode in four octal digits.
std::string Fill(std::string text, const std::string& path, mode_t mode) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
  for (const auto& [from, to] :
       {std::make_pair(std::string("{P}"), path),
        std::make_pair(std::string("{M}"), std::string(octal))}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class HomeTrustTest : public ::testing::Test {
 protected:
  // What is stored: a key, a store with one credential, a staged
  // certificate, a configuration and a log line.
  void SetUp() override {
    ASSERT_TRUE(TQPassword().encrypt(kSecret, m_stored));
    StoredCredential c;
    c.assocId = 7;
    c.credentialType = 4;
    c.password = m_stored;
    ASSERT_TRUE(CredentialMgrHelper().addCredential(c, false));
    const TqHome h;
    ASSERT_FALSE(h.MakeFolder(h.CertificatesFolder()).IsError());
    std::string staged;
    ASSERT_FALSE(
        StagedCertificate::Stage("app", kCertificate, &staged).IsError());
    m_home.WriteConfig(kConfigText);
    EvDebug::SetThresholdOverride(5);
    EvDebug::SetDestinationOverride(EvLogDestination::File);
    Log();
    ASSERT_NE(m_home.LogText(), "");
    tqtest::WriteFile(m_target, kTarget, 0600);
    ASSERT_EQ(::mkdir(m_targetFolder.c_str(), 0700), 0);
  }
  void TearDown() override { EvDebug::ClearOverrides(); }

  static void Log() { EvDebug().DebugLvl("HomeTrust", 1, "a line"); }

  std::string Path(const std::string& name) const {
    return name == "." ? m_home.path() : m_home.path() + "/" + name;
  }

  // Uses the home every way and expects `use` refused with message (the
  // check of the whole home too, unless the name is a staged file, which
  // is checked where it is used), nothing stored changed and nothing
  // written to outside.
  void ExpectRefused(const std::string& name, Use use,
                     const std::string& message) {
    SCOPED_TRACE(name + ": " + message);
    const std::string root = TqHome().Path();
    const auto before = SnapshotTree(root);
    const std::string outsideBefore = tqtest::ReadFile(m_target);

    const std::string check = TqHome().Check().GetMessage();
    CredentialMgrHelper store;
    std::vector<StoredCredential> all;
    const std::string listed =
        store.listCredentials(all) ? "" : store.lastError();
    std::string path;
    const std::string staging =
        StagedCertificate::Stage("app", kCertificate, &path).GetMessage();
    std::string encrypted;
    char plain[64] = {};
    unsigned long length = sizeof plain - 1;
    const bool encrypts = TQPassword().encrypt("x", encrypted);
    const bool decrypts =
        TQPassword().decrypt(m_stored.c_str(), plain, &length);
    std::string destination;
    const bool configured =
        TQPlatformInfo().getString("Log", "Destination", destination);
    Log();

    if (name.rfind("certificates/", 0) != 0) {
      EXPECT_EQ(check, message);
    }
    if (use == Use::kStore || use == Use::kAll) {
      EXPECT_EQ(listed, message);
    }
    if (use == Use::kStaging || use == Use::kAll) {
      EXPECT_EQ(staging, message);
    }
    if (use == Use::kKey || use == Use::kAll) {
      EXPECT_FALSE(encrypts || decrypts);
    }
    if (use == Use::kConfig || use == Use::kAll) {
      EXPECT_FALSE(configured);
    }
    const auto after = SnapshotTree(root);
    for (const auto& [file, state] : after) {
      EXPECT_EQ(state, before.count(file) ? before.at(file) : "(new)") << file;
    }
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(tqtest::ReadFile(m_target), outsideBefore);
    EXPECT_TRUE(std::filesystem::is_empty(m_targetFolder));
  }

  tqtest::ScopedTqHome m_home;
  std::string m_stored;
  tqtest::TempDir m_outside;
  const std::string m_target = m_outside.path() + "/target";
  const std::string m_targetFolder = m_outside.path() + "/folder";
};

TEST_F(HomeTrustTest, LinksFifosFoldersAndDevicesAtEachName) {
  enum class Put { kLink, kFifo, kFolder, kDevice, kFile };
  const struct {
    const char* name;
    Use use;
  } names[] = {
      {"secret.key", Use::kKey},
      {"credentials.db", Use::kStore},
      {"credentials.db-journal", Use::kStore},
      {"credentials.db-wal", Use::kStore},
      {"tqcloudauth.ini", Use::kConfig},
      {"logs/tqcloudauth.log", Use::kLog},
      {"certificates/Azure_app.crt", Use::kStaging},
      {"logs", Use::kLog},
      {"certificates", Use::kStaging},
  };
  for (const auto& n : names) {
    const std::string path = Path(n.name);
    const bool folder =
        std::string(n.name).find_first_of("./") == std::string::npos;
    const std::string saved = m_outside.path() + "/saved";
    const bool existed = ::rename(path.c_str(), saved.c_str()) == 0;
    for (Put put : {Put::kLink, Put::kFifo, Put::kFolder, Put::kDevice}) {
      if (folder && put == Put::kFolder) {
        put = Put::kFile;
      }
      std::filesystem::remove_all(path);
      bool placed = false;
      const char* what = "";
      switch (put) {
        case Put::kLink:
          placed = ::symlink((folder ? m_targetFolder : m_target).c_str(),
                             path.c_str()) == 0;
          what = "a symbolic link";
          break;
        case Put::kFifo:
          placed = ::mkfifo(path.c_str(), 0600) == 0;
          what = "a FIFO";
          break;
        case Put::kFolder:
          placed = ::mkdir(path.c_str(), 0700) == 0;
          what = "a folder";
          break;
        case Put::kDevice:
          // Like /dev/null; creating one needs privileges.
          placed = ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
          what = "a device";
          break;
        case Put::kFile:
          tqtest::WriteFile(path, "x", 0600);
          placed = true;
          what = "a regular file";
          break;
      }
      if (!placed) {
        ASSERT_EQ(put, Put::kDevice) << path;
        continue;
      }
      ExpectRefused(n.name, n.use,
                    std::string(folder ? "unsafe folder " : "unsafe file ") +
                        path + ": " + what +
                        (folder ? ", not a folder" : ", not a regular file"));
    }
    std::filesystem::remove_all(path);
    if (existed) {
      ASSERT_EQ(::rename(saved.c_str(), path.c_str()), 0);
    }
  }
}

TEST_F(HomeTrustTest, LooseModesAreRefusedOrTightened) {
  const std::string write =
      "unsafe folder {P}: group or others may write to it (mode {M}); run "
      "chmod 700 {P}";
  const std::string secret =
      "unsafe file {P}: group or others may read or write it (mode {M}); "
      "run chmod 600 {P}";
  const std::string config =
      "unsafe file {P}: group or others may write it (mode {M}); run chmod "
      "go-w {P}";
  const struct {
    const char* name;
    mode_t mode;
    mode_t tightened;  // 0: refused with the message
    Use use;
    const std::string* message;
  } cases[] = {
      {".", 0755, 0700, Use::kAll, nullptr},
      {".", 0775, 0, Use::kAll, &write},
      {".", 0703, 0, Use::kAll, &write},
      {"secret.key", 0644, 0, Use::kKey, &secret},
      {"secret.key", 0602, 0, Use::kKey, &secret},
      {"credentials.db", 0640, 0, Use::kStore, &secret},
      {"certificates/Azure_app.crt", 0444, 0, Use::kStaging, &secret},
      {"logs/tqcloudauth.log", 0644, 0600, Use::kLog, nullptr},
      {"logs", 0755, 0700, Use::kLog, nullptr},
      {"certificates", 0750, 0700, Use::kStaging, nullptr},
      {"certificates", 0777, 0, Use::kStaging, &write},
      {"tqcloudauth.ini", 0644, 0644, Use::kConfig, nullptr},
      {"tqcloudauth.ini", 0664, 0, Use::kConfig, &config},
  };
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    const mode_t original = ModeOf(path);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0) << path;
    if (c.tightened == 0) {
      ExpectRefused(c.name, c.use, Fill(*c.message, path, c.mode));
    } else {
      EXPECT_FALSE(TqHome().Check().IsError()) << c.name;
      Log();
      std::string path8;
      EXPECT_FALSE(
          StagedCertificate::Stage("app", kCertificate, &path8).IsError());
      EXPECT_EQ(ModeOf(path), c.tightened) << c.name;
    }
    ASSERT_EQ(::chmod(path.c_str(), original), 0);
  }
}

// Files another user made (a child process that dropped to that user's
// uid made them), moved into their place.
TEST_F(HomeTrustTest, FilesOfAnotherUser) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "making a file of another user needs root";
  }
  tqtest::TempDir scratch;
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
  const std::string made = scratch.path() + "/made";
  const std::string mine = " not by you (uid 0)";
  const struct {
    const char* name;
    Use use;
    const char* content;
    std::string owner;
  } cases[] = {
      {"secret.key", Use::kKey, kTarget, mine},
      {"credentials.db", Use::kStore, "", mine},
      {"tqcloudauth.ini", Use::kConfig, kConfigText, mine + " or root"},
      {"logs/tqcloudauth.log", Use::kLog, "", mine},
      {"certificates/Azure_app.crt", Use::kStaging, kCertificate, mine},
  };
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    const std::string saved = path + ".saved";
    ASSERT_EQ(::rename(path.c_str(), saved.c_str()), 0);
    ASSERT_EQ(RunAs(kOtherUid,
                    [&] {
                      tqtest::WriteFile(made, c.content, 0600);
                      return 0;
                    }),
              0);
    ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0);
    ExpectRefused(c.name, c.use,
                  "unsafe file " + path + ": owned by uid 65534," + c.owner);
    ASSERT_EQ(::rename(saved.c_str(), path.c_str()), 0);
  }
}

// Another user made the home first, open to all, with a key and a store
// of theirs: nothing is read from it or stored in it.
TEST_F(HomeTrustTest, HomeOfAnotherUser) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "making a folder of another user needs root";
  }
  tqtest::TempDir scratch;
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
  const std::string planted = scratch.path() + "/home";
  ASSERT_EQ(RunAs(kOtherUid,
                  [&] {
                    ::umask(0);
                    return ::mkdir(planted.c_str(), 0777) == 0 &&
                                   (tqtest::WriteFile(planted + "/secret.key",
                                                      kTarget, 0666),
                                    tqtest::WriteFile(
                                        planted + "/credentials.db", "", 0666),
                                    true)
                               ? 0
                               : 1;
                  }),
            0);
  ::setenv("TQ_HOME", planted.c_str(), 1);  // the fixture's home restores it
  ExpectRefused(".", Use::kAll,
                "unsafe folder " + planted +
                    ": owned by uid 65534, not by you (uid 0) or root; use a "
                    "folder of your own");
  StoredCredential c;
  c.assocId = 8;
  CredentialMgrHelper store;
  EXPECT_FALSE(store.addCredential(c, false));
  EXPECT_EQ(tqtest::ReadFile(planted + "/credentials.db"), "");
}

// Without TQ_HOME, HOME or a password-database home there is no home, and
// none is made in a shared temporary folder.
TEST_F(HomeTrustTest, NoHomeAnywhere) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a user without a password-database entry needs root";
  }
  struct stat st {};
  const bool tmpHomeBefore = ::lstat("/tmp/.tqcloudauth", &st) == 0;
  const int status = RunAs(54321, [] {
    ::unsetenv("TQ_HOME");
    ::unsetenv("HOME");
    std::string encrypted;
    const TqHome home;
    return home.Path().empty() &&
                   home.Check().GetMessage() ==
                       "no home folder: TQ_HOME is not set, and neither HOME "
                       "nor the password database names a home; set TQ_HOME "
                       "to a folder of your own" &&
                   !TQPassword().encrypt(kSecret, encrypted) &&
                   !CredentialMgrHelper().addCredential(StoredCredential{},
                                                        false)
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0);
  if (!tmpHomeBefore) {
    EXPECT_NE(::lstat("/tmp/.tqcloudauth", &st), 0);
  }
}

}  // namespace
