// What only the PostgreSQL store has to get right: ports in separate database sessions share
// locks, a port whose session ends loses its locks, and a lost connection is reported plainly.
// Runs when the engine suite runs on PostgreSQL; skipped on the SQLite store.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <memory>
#include <string>

#include "server/engine/session.h"
#include "server/engine/store/store.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class PostgresStore : public EngineTest {
 protected:
  void SetUp() override {
    if (!store::namesPostgres(system_.path())) GTEST_SKIP() << "runs on the PostgreSQL store";
    EngineTest::SetUp();
  }

  // Ends the database session of a port from outside, as the server does when a client's
  // machine vanishes or an administrator terminates it, and waits until the session is gone.
  void terminateSessionOf(const Port& port) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> admin(PQconnectdb(system_.path().c_str()),
                                                       &PQfinish);
    ASSERT_EQ(PQstatus(admin.get()), CONNECTION_OK) << PQerrorMessage(admin.get());
    const std::string sql =
        "SELECT pg_terminate_backend(pid, 60000) FROM pg_locks WHERE locktype='advisory' AND "
        "database=(SELECT oid FROM pg_database WHERE datname=current_database()) AND "
        "classid=1414680064 AND objsubid=2 AND objid=" +
        std::to_string(port.number());
    PGresult* r = PQexec(admin.get(), sql.c_str());
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQresultErrorMessage(r);
    // One session held the port, and it ended within the wait.
    EXPECT_EQ(PQntuples(r) == 1 ? std::string(PQgetvalue(r, 0, 0)) : "", "t");
    PQclear(r);
  }
};

TEST_F(PostgresStore, PortsInTwoSessionsSeeEachOthersLocks) {
  std::unique_ptr<Port> other = system_.open();
  const std::string f = openFile("CUST");
  const std::string g = openFile("CUST", other.get());
  ASSERT_EQ(run(req("W", {f, "1", "one"})).status, 0);
  ASSERT_EQ(run(req("r", {f, "1", "0"})).status, 0);
  EXPECT_EQ(run(req("r", {g, "1", "0"}), other.get()).status, status::kLocked);
  EXPECT_EQ(run(req("W", {g, "1", "theirs"}), other.get()).status, status::kLocked);
  EXPECT_EQ(run(req("F", {g}), other.get()).status, status::kLocked);
  EXPECT_EQ(run(req("U", {f, "1"})).status, 0);
  EXPECT_EQ(run(req("F", {g}), other.get()).status, 0);
  EXPECT_EQ(run(req("r", {f, "2", "0"})).status, status::kLocked);
  EXPECT_EQ(run(req("W", {f, "1", "mine"})).status, status::kLocked);
  EXPECT_EQ(run(req("f", {g}), other.get()).status, 0);
  EXPECT_EQ(run(req("W", {f, "1", "mine"})).status, 0);
  EXPECT_EQ(run(req("R", {g, "1", "0"}), other.get()).data, "mine");
}

TEST_F(PostgresStore, AnEndedSessionFreesItsLocksAndItsPortReportsTheLostConnection) {
  std::unique_ptr<Port> holder = system_.open();
  const std::string f = openFile("CUST");
  const std::string h = openFile("CUST", holder.get());
  ASSERT_EQ(run(req("W", {f, "1", "one"})).status, 0);
  ASSERT_EQ(run(req("r", {h, "1", "0"}), holder.get()).status, 0);
  ASSERT_EQ(run(req("r", {f, "1", "0"})).status, status::kLocked);

  terminateSessionOf(*holder);
  EXPECT_EQ(run(req("r", {f, "1", "0"})).data, "one");
  EXPECT_EQ(run(req("W", {f, "1", "mine"})).status, 0);

  for (int attempt = 0; attempt < 2; ++attempt) {
    Reply lost = run(req("R", {h, "1", "0"}), holder.get());
    EXPECT_EQ(lost.status, status::kStorageFailure);
    EXPECT_NE(lost.data.find("connection to the PostgreSQL server was lost"), std::string::npos)
        << lost.data;
  }
  holder.reset();
  std::unique_ptr<Port> again = system_.open();
  const std::string a = openFile("CUST", again.get());
  EXPECT_EQ(run(req("R", {a, "1", "0"}), again.get()).data, "mine");
}

// The store reads a section's ids a page of 16,384 at a time; a list of more than a page still
// comes whole, once each, in key order.
TEST_F(PostgresStore, AListLongerThanTheStoresPageComesWholeInKeyOrder) {
  constexpr int kItems = 16384 + 7;
  {
    auto account = store::openSystem(system_.path())->openAccount("SALES", false);
    const store::Section s = *account->findSection("CUST", false, {}, false);
    store::Transaction tx(*account);
    for (int i = 0; i < kItems; ++i) account->writeItem(s, std::to_string(100000 + i), "x");
    tx.commit();
  }
  const std::string list = run(req("S", {openFile("CUST")})).data;
  std::string all;
  for (Reply batch{}; batch.status != status::kEndOfList;) {  // the last batch comes with 36
    batch = run(req("n", {list}));
    ASSERT_TRUE(batch.status == 0 || batch.status == status::kEndOfList) << batch.status;
    all += (all.empty() ? "" : std::string(1, AM)) + batch.data;
  }
  std::string expected;
  for (int i = 0; i < kItems; ++i)
    expected += (i == 0 ? "" : std::string(1, AM)) + std::to_string(100000 + i);
  const auto diverge = std::mismatch(all.begin(), all.end(), expected.begin(), expected.end());
  EXPECT_TRUE(all == expected) << "the lists part at byte " << (diverge.first - all.begin())
                               << " of " << all.size() << " and " << expected.size();
}

}  // namespace
}  // namespace tarn::server::testing
