// The stores shared tokens live in, one contract for both: the home's
// SQLite file and a real PostgreSQL database; and the database
// connection's bounds and words.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "internal/db/PgSession.h"
#include "platform/internal/HomeTokenStore.h"
#include "platform/internal/PgStore.h"
#include "platform/internal/TqHome.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"

namespace {

using Entry = SharedTokenStore::Entry;

// One server for the program, stopped and removed at its exit.
tqtest::PostgresServer& Server() {
  static tqtest::PostgresServer server(tqtest::SharedPki().caFile(),
                                       tqtest::SharedPki().server().certFile,
                                       tqtest::SharedPki().server().keyFile);
  return server;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    store = GetParam() == "home"
                ? std::shared_ptr<SharedTokenStore>(
                      std::make_shared<HomeTokenStore>(TqHome().Path()))
                : std::make_shared<PgTokenStore>(
                      std::make_shared<PgDatabase>(Server().Url()));
  }
  tqtest::ScopedTqHome home;
  std::shared_ptr<SharedTokenStore> store;
};

// Leases, entries and waits, step by step: each step's result as expected.
TEST_P(StoreTest, KeepsTheContract) {
  const std::string key = "k-" + GetParam();
  const std::string wait = "w-" + GetParam();
  const auto lease = [&](const char* owner, int64_t now, int64_t until) {
    bool acquired = false;
    EXPECT_FALSE(store->TryLease(key, owner, now, until, acquired).IsError());
    return acquired;
  };
  const auto get = [&](int64_t now) {
    Entry e;
    bool found = false;
    EXPECT_FALSE(store->Get(key, now, e, found).IsError());
    return found ? e.value : std::string("(none)");
  };
  const auto put = [&](const char* value, int64_t expires) {
    EXPECT_FALSE(store->Put(key, {value, expires, 0}, 10).IsError());
  };
  const auto release = [&](const char* owner) {
    EXPECT_FALSE(store->Release(key, owner).IsError());
  };
  const auto holdUntil = [&](int64_t until) {
    EXPECT_FALSE(store->Hold(wait, until).IsError());
    int64_t found = 0;
    EXPECT_FALSE(store->WaitUntil(wait, found).IsError());
    return found;
  };
  struct Step {
    const char* what;
    std::function<std::string()> run;
    std::string expected;
  };
  const auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
  const Step steps[] = {
      {"a free lease", [&] { return yes(lease("A", 1000, 2000)); }, "yes"},
      {"held by another", [&] { return yes(lease("B", 1500, 2500)); }, "no"},
      {"its holder again", [&] { return yes(lease("A", 1500, 3000)); }, "yes"},
      {"run out, taken", [&] { return yes(lease("B", 3000, 4000)); }, "yes"},
      {"another's kept at release",
       [&] {
         release("A");
         return yes(lease("A", 3100, 4100));
       },
       "no"},
      {"released",
       [&] {
         release("B");
         return yes(lease("A", 3200, 4200));
       },
       "yes"},
      {"no entry", [&] { return get(10); }, "(none)"},
      {"an entry",
       [&] {
         put("v1", 100);
         return get(10);
       },
       "v1"},
      {"an older one does not replace it",
       [&] {
         put("v0", 90);
         return get(10);
       },
       "v1"},
      {"a newer one does",
       [&] {
         put("v2", 200);
         return get(10);
       },
       "v2"},
      {"expired", [&] { return get(200); }, "(none)"},
      {"a wait", [&] { return std::to_string(holdUntil(500)); }, "500"},
      {"a shorter wait keeps the longer",
       [&] { return std::to_string(holdUntil(400)); }, "500"},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(s.run(), s.expected) << s.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest,
                         ::testing::Values("home", "database"));

// A database that cannot be used fails in about a second with the reason,
// naming the database and never the password.
TEST(PgSessionTest, FailuresAreBoundedAndNameNoPassword) {
  const std::string password = Server().Password();
  const std::string closed =
      std::to_string(tqtest::TinyproxyProcess::FreePort());
  struct Case {
    const char* name;
    std::string url;
    std::string words;  // in the message
  };
  const std::string good = Server().Url();
  std::string wrongPassword = good;
  wrongPassword.replace(wrongPassword.find(password), password.size(),
                        "not-the-" + password);
  const Case cases[] = {
      {"nothing listens",
       "postgresql://tq:" + password + "@127.0.0.1:" + closed +
           "/postgres?sslmode=disable",
       "database 127.0.0.1:" + closed + "/postgres: cannot connect"},
      {"wrong password", wrongPassword, "password authentication failed"},
      {"another CA",
       "postgresql://tq:" + password +
           "@127.0.0.1:" + std::to_string(Server().Port()) +
           "/postgres?sslmode=verify-full&sslrootcert=" +
           tqtest::SharedPki().server().certFile,
       "certificate verify failed"},
  };
  for (const Case& c : cases) {
    PgSession session(c.url);
    const auto start = std::chrono::steady_clock::now();
    const CKoError st = session.Connect(1000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_TRUE(st.IsError()) << c.name;
    EXPECT_LT(seconds, 1.5) << c.name;
    EXPECT_EQ(st.GetReason(), TqFailureReason::kStoreFailed) << c.name;
    EXPECT_NE(st.GetMessage().find(c.words), std::string::npos)
        << c.name << ": " << st.GetMessage();
    EXPECT_EQ(st.GetMessage().find(password), std::string::npos) << c.name;
  }
}

// A schema newer than this library's is refused, naming both versions.
TEST(PgSessionTest, ANewerSchemaIsRefused) {
  PgDatabase first(Server().Url());
  PgResultPtr r;
  ASSERT_FALSE(
      first.Run("bump", "INSERT INTO tq_schema VALUES (2)", {}, 5000, r)
          .IsError());
  PgDatabase second(Server().Url());
  const CKoError st =
      second.Run("list", "SELECT 1 FROM tq_credentials", {}, 5000, r);
  EXPECT_EQ(st.GetReason(), TqFailureReason::kStoreFailed);
  EXPECT_NE(st.GetMessage().find("schema version 2 is newer than version 1"),
            std::string::npos)
      << st.GetMessage();
  ASSERT_FALSE(
      first.Run("drop", "DELETE FROM tq_schema WHERE version = 2", {}, 5000, r)
          .IsError());
}

}  // namespace
