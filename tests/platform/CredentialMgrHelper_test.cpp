#include "platform/CredentialMgrHelper.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::ScopedTqHome;

StoredCredential Credential(int assocId, int entity, const std::string& tag) {
  StoredCredential c;
  c.assocId = assocId;
  c.entity = entity;
  c.credentialType = 4;
  c.userName = "user-" + tag;
  c.password = "ENC1:stored-" + tag;
  c.additionalInfo = "{\"info\":\"" + tag + "\"}";
  c.other = 9;
  return c;
}

struct Fetched {
  int rc = -1;
  int type = -1;
  std::string userName = "untouched";
  std::string password = "untouched";
  std::string info = "untouched";
  int other = -1;
};

Fetched Fetch(int assocId, int entity) {
  Fetched f;
  CredentialMgrHelper client;
  f.rc = client.getCredentialsFromAssocIdForEntity(assocId, entity, f.type,
                                                   f.userName, f.password,
                                                   f.info, f.other, nullptr);
  return f;
}

class CredentialStoreTest : public ::testing::Test {
 protected:
  std::string DbPath() const { return home.path() + "/credentials.db"; }
  ScopedTqHome home;
};

TEST_F(CredentialStoreTest, MissingStoreIsNotFoundAndNotCreated) {
  const Fetched f = Fetch(7, 0);
  EXPECT_EQ(f.rc, CredentialMgrHelper::kNotFound);
  EXPECT_EQ(f.password, "untouched");
  EXPECT_NE(::access(DbPath().c_str(), F_OK), 0);
  std::vector<StoredCredential> all;
  CredentialMgrHelper client;
  EXPECT_TRUE(client.listCredentials(all));
  EXPECT_TRUE(all.empty());
}

TEST_F(CredentialStoreTest, AddGetListRemove) {
  ::setenv("TQ_HOME", (home.path() + "/new-home").c_str(), 1);
  CredentialMgrHelper client;
  ASSERT_TRUE(client.addCredential(Credential(8, 1, "b"), false))
      << client.lastError();
  ASSERT_TRUE(client.addCredential(Credential(7, 0, "a"), false));
  struct stat st {};
  ASSERT_EQ(::stat((home.path() + "/new-home").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(CredentialMgrHelper::DatabasePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const Fetched f = Fetch(8, 1);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.type, 4);
  EXPECT_EQ(f.userName, "user-b");
  EXPECT_EQ(f.password, "ENC1:stored-b");
  EXPECT_EQ(f.info, "{\"info\":\"b\"}");
  EXPECT_EQ(f.other, 9);
  EXPECT_EQ(Fetch(8, 0).rc, CredentialMgrHelper::kNotFound);

  std::vector<StoredCredential> all;
  ASSERT_TRUE(client.listCredentials(all));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].assocId, 7);
  EXPECT_EQ(all[1].assocId, 8);
  EXPECT_EQ(all[0].password, "") << "listing shows no secret";

  EXPECT_TRUE(client.removeCredential(7, 0));
  EXPECT_FALSE(client.removeCredential(7, 0));
  EXPECT_EQ(client.lastError(), "no credential for association id 7, entity 0");
  EXPECT_EQ(Fetch(7, 0).rc, CredentialMgrHelper::kNotFound);
}

TEST_F(CredentialStoreTest, AddDoesNotOverwriteUnlessAsked) {
  CredentialMgrHelper client;
  ASSERT_TRUE(client.addCredential(Credential(7, 0, "first"), false));
  EXPECT_FALSE(client.addCredential(Credential(7, 0, "second"), false));
  EXPECT_EQ(client.lastError(),
            "a credential for association id 7, entity 0 already exists");
  EXPECT_EQ(Fetch(7, 0).password, "ENC1:stored-first");
  ASSERT_TRUE(client.addCredential(Credential(7, 0, "second"), true));
  EXPECT_EQ(Fetch(7, 0).password, "ENC1:stored-second");
}

TEST_F(CredentialStoreTest, CorruptStoreIsAnErrorAndStaysAsItWas) {
  const std::string garbage(4096, 'x');
  tqtest::WriteFile(DbPath(), garbage);
  EXPECT_EQ(Fetch(7, 0).rc, CredentialMgrHelper::kStoreError);
  CredentialMgrHelper client;
  EXPECT_FALSE(client.addCredential(Credential(7, 0, "a"), false));
  EXPECT_NE(client.lastError().find("not a database"), std::string::npos)
      << client.lastError();
  EXPECT_EQ(tqtest::ReadFile(DbPath()), garbage);
}

TEST_F(CredentialStoreTest, LockedStoreFailsTheWriteAndKeepsTheData) {
  home.WriteConfig("[CredentialStore]\nBusyTimeoutMs=200\n");
  CredentialMgrHelper client;
  ASSERT_TRUE(client.addCredential(Credential(7, 0, "a"), false));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_FALSE(client.addCredential(Credential(8, 0, "b"), false));
  EXPECT_NE(client.lastError().find("locked"), std::string::npos)
      << client.lastError();
  EXPECT_EQ(Fetch(7, 0).rc, CredentialMgrHelper::kStoreError);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(Fetch(7, 0).rc, 0);
  EXPECT_EQ(Fetch(8, 0).rc, CredentialMgrHelper::kNotFound);
}

}  // namespace
