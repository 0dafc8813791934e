// The account objects of the store below the requests, on both stores: the port's own record of
// the item locks it holds, the holder a refused lock names, lists longer than a store's page; and
// what only the PostgreSQL store has to get right, a port whose database session ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/engine/session.h"
#include "server/engine/store/store.h"
#include "tests/server/engine/engine_fixture.h"

namespace tarn::server::testing {
namespace {

class Store : public EngineTest {
 protected:
  // An account object of its own port (each port opens its own), as the requests use one.
  struct Holder {
    std::unique_ptr<store::System> system;
    std::unique_ptr<store::Account> account;
    store::LockOwner owner;
    store::Section section;
  };
  Holder holder() {
    Holder h;
    h.system = store::openSystem(system_.path());
    const store::ProcessIdentity self = store::currentProcess();
    h.owner = {h.system->claimPort(self, "SALES"), self};
    h.account = h.system->openAccount("SALES", false);
    h.section = *h.account->findSection("CUST", false, {}, false);
    return h;
  }

  // Ends the database session of a port from outside, as the server does when a client's
  // machine vanishes or an administrator terminates it: one session held the port.
  void terminateSessionOf(const Port& port) {
    EXPECT_EQ(::tarn::testing::endPortSession(system_.path(), port.number()), 1);
  }
};

// Each way a lock ends must also end the port's own record of it, which lets a write skip the
// lock table: a stale record would let a transaction stage a write under a lock it gave up.
TEST_F(Store, APortsRecordOfItsItemLocksEndsWithEachRelease) {
  Holder mine = holder(), theirs = holder();
  const std::vector<std::pair<const char*, std::function<void()>>> releases = {
      {"unlockItem", [&] { mine.account->unlockItem(mine.section, "k1", mine.owner); }},
      {"releaseLocks", [&] { mine.account->releaseLocks(mine.owner); }},
      {"releaseAll", [&] { mine.account->releaseAll(mine.owner); }},
  };
  for (const auto& [name, release] : releases) {
    SCOPED_TRACE(name);
    // Item-ids fold in CUST: the record is kept under the stored key.
    ASSERT_EQ(mine.account->lockItem(mine.section, "k1", mine.owner), store::LockOutcome::kGranted);
    EXPECT_TRUE(mine.account->holdsItemLock(mine.section, "K1"));
    EXPECT_FALSE(mine.account->holdsItemLock(mine.section, "k2"));
    EXPECT_FALSE(theirs.account->holdsItemLock(theirs.section, "k1"));
    EXPECT_EQ(theirs.account->lockItem(theirs.section, "k1", theirs.owner),
              store::LockOutcome::kHeldElsewhere);
    EXPECT_EQ(theirs.account->lastHolder(), mine.owner.port);
    release();
    EXPECT_FALSE(mine.account->holdsItemLock(mine.section, "k1"));
    EXPECT_EQ(theirs.account->lockItem(theirs.section, "k1", theirs.owner),
              store::LockOutcome::kGranted);
    EXPECT_EQ(theirs.account->lastHolder(), 0);
    theirs.account->unlockItem(theirs.section, "k1", theirs.owner);
  }
}

// Sections are found without regard to letter case unless exactly is asked, the master
// dictionary holds no data sections, and a file's MD entry lives as long as its last section.
TEST_F(Store, SectionsAreFoundMadeAndDroppedAsTheCatalogueSays) {
  Holder h = holder();
  store::Account& a = *h.account;
  ASSERT_TRUE(a.createDataSection("CUST", "AAA", 1, true));
  ASSERT_TRUE(a.createDataSection("ORDERS", "OLD", 1, true));  // made first, yet not the default
  ASSERT_TRUE(a.createDataSection("ORDERS", "ORDERS", 1, true));
  const struct {
    const char* what;
    bool made;
  } creations[] = {
      {"a data section in MD", a.createDataSection("md", "X", 1, true)},
      {"a dictionary that exists", a.createDictionary("cust", 1, true)},
      {"a data section that exists", a.createDataSection("cust", "cust", 1, true)},
  };
  for (const auto& c : creations) EXPECT_FALSE(c.made) << c.what;
  EXPECT_EQ(a.sections("MD").size(), 1u) << "nothing made in MD";

  const struct {
    const char* file;
    bool dictionary;
    const char* section;
    bool exact;
    const char* found;  // the section's name, "" for a dictionary, nullptr for none
  } finds[] = {
      {"orders", false, "", false, "ORDERS"},  // the default: the one named like the file
      {"ORDERS", false, "", true, "ORDERS"},  {"cust", false, "aaa", false, "AAA"},
      {"CUST", false, "aaa", true, nullptr},  {"cust", false, "AAA", true, nullptr},
      {"CUST", false, "AAA", true, "AAA"},    {"cust", true, "", false, ""},
      {"md", true, "", false, "MD"},  // the master dictionary is its own dictionary
      {"NONE", false, "", false, nullptr},
  };
  for (const auto& f : finds) {
    SCOPED_TRACE(std::string(f.file) + "," + f.section + (f.exact ? " exactly" : ""));
    const std::optional<store::Section> s = a.findSection(f.file, f.dictionary, f.section, f.exact);
    ASSERT_EQ(s.has_value(), f.found != nullptr);
    if (s) {
      EXPECT_EQ(s->name, f.found);
    }
  }

  const store::Section md = *a.findSection("MD", false, {}, false);
  std::string entry;
  a.dropSections({*a.findSection("CUST", false, "AAA", false)});
  EXPECT_TRUE(a.readItem(md, "CUST", entry)) << "CUST has sections left";
  a.dropSections(a.sections("CUST"));
  EXPECT_FALSE(a.readItem(md, "CUST", entry));
  EXPECT_TRUE(a.sections("CUST").empty());
}

// Releasing a port's locks (RELEASE without a file) keeps its open marks, which keep a file it
// has open from being deleted under it; releasing everything (the port's end) drops both.
TEST_F(Store, ReleasingLocksKeepsOpenMarksAndReleasingAllDropsThem) {
  Holder mine = holder(), theirs = holder();
  mine.account->markOpen(mine.section, mine.owner);
  ASSERT_EQ(mine.account->lockItem(mine.section, "k1", mine.owner), store::LockOutcome::kGranted);
  mine.account->releaseLocks(mine.owner);
  EXPECT_EQ(theirs.account->lockItem(theirs.section, "k1", theirs.owner),
            store::LockOutcome::kGranted);
  EXPECT_TRUE(theirs.account->openElsewhere(theirs.section, theirs.owner));
  mine.account->releaseAll(mine.owner);
  EXPECT_FALSE(theirs.account->openElsewhere(theirs.section, theirs.owner));
}

// A port caches what another account's grants allow until that account's protection version
// moves: every change must move it, at once for the account object that made the change (its own
// commits are not another connection's), and for another port's object of the same account at
// once on SQLite and on PostgreSQL when the server's notice has arrived.
TEST_F(Store, EveryProtectionChangeMovesTheVersionEveryPortSees) {
  Holder mine = holder(), theirs = holder();
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"grant", [&] { mine.account->grant("EVIL"); }},
      {"revoke", [&] { mine.account->revoke("EVIL"); }},
      {"credentials", [&] { mine.account->setCredentials(store::StoredCredentials{"U", "h"}); }},
      {"no credentials", [&] { mine.account->setCredentials(std::nullopt); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    const std::uint64_t before = mine.account->protectionVersion();
    const std::uint64_t theirsBefore = theirs.account->protectionVersion();
    change();
    EXPECT_NE(mine.account->protectionVersion(), before);
    for (int wait = 0; ::tarn::testing::onPostgres() && wait < 500; ++wait) {
      if (theirs.account->protectionVersion() != theirsBefore) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(theirs.account->protectionVersion(), theirsBefore);
  }
}

TEST_F(Store, AnEndedSessionFreesItsLocksAndItsPortReportsTheLostConnection) {
  if (!store::namesPostgres(system_.path())) GTEST_SKIP() << "a port's database session";
  std::unique_ptr<Port> holder = system_.open();
  const std::string f = openFile("CUST");
  const std::string h = openFile("CUST", holder.get());
  ASSERT_EQ(run(req("W", {f, "1", "one"})).status, 0);
  ASSERT_EQ(run(req("r", {h, "1", "0"}), holder.get()).status, 0);
  ASSERT_EQ(run(req("r", {f, "1", "0"})).status, status::kLocked);

  terminateSessionOf(*holder);
  // The dead port's number goes to the next port, whose locks are not the dead claim's to sweep.
  std::unique_ptr<Port> next = system_.open();
  ASSERT_EQ(next->number(), holder->number());
  ASSERT_EQ(run(req("W", {f, "2", "two"})).status, 0);
  ASSERT_EQ(run(req("r", {openFile("CUST", next.get()), "2", "0"}), next.get()).status, 0);
  EXPECT_EQ(run(req("r", {f, "1", "0"})).data, "one");
  EXPECT_EQ(run(req("r", {f, "2", "0"})).status, status::kLocked);
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

// The PostgreSQL store reads a section's ids a page of 16,384 at a time; a list of more than a
// page still comes whole, once each, in key order.
TEST_F(Store, AListLongerThanTheStoresPageComesWholeInKeyOrder) {
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
