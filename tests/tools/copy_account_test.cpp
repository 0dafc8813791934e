// tarn-copy-account as its users run it: an account made with every kind of content is copied
// between systems and compared, store call by store call, with its original.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/engine/store/store.h"
#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::server::store {
namespace {

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome copyAccount(const std::string& arguments) {
  Outcome r;
  FILE* p = popen((std::string(TARN_COPY_ACCOUNT_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) r.output.append(buffer, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string quoted(const std::string& s) {
  return "'" + s + "'";
}

// A system's directory under a test's temporary directory.
std::string under(const ::tarn::testing::TempDir& dir, const char* name) {
  return dir.path() + "/" + name;
}

// Every byte value, the marks among them, in bodies; ids with high and control bytes.
std::string everyByte() {
  std::string out;
  for (int i = 0; i < 256; ++i) out.push_back(static_cast<char>(i));
  return out;
}

const StoredCredentials kDmCredentials{"root", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$ZG0"};

// A system whose DM is protected, as one must be before it holds a protected account.
std::unique_ptr<System> guardedSystem(const std::string& where) {
  std::unique_ptr<System> system = openSystem(where, true);
  system->openAccount(kSystemAccount, false)->setCredentials(kDmCredentials);
  return system;
}

void fill(System& system) {
  std::unique_ptr<Account> a = system.openAccount("SALES", true);
  ASSERT_TRUE(a->createDataSection("CUST", "CUST", 7, true));
  ASSERT_TRUE(a->createDataSection("CUST", "ARCHIVE", 3, true));
  ASSERT_TRUE(a->createDataSection("Exact", "Exact", 1, false));
  const Section cust = *a->findSection("CUST", false, {}, true);
  const Section dict = *a->findSection("CUST", true, {}, true);
  const Section exact = *a->findSection("Exact", false, {}, true);
  a->writeItem(cust, "all", everyByte());
  a->writeItem(cust, "mixedCase", std::string("Smith\xFE") + "London\xFDParis\xFCNice");
  a->writeItem(cust, std::string("\x01\x80\xC3\xA9\xFA", 5), "");
  for (int i = 0; i < 40; ++i)
    a->writeItem(cust, "c" + std::to_string(i), "N" + std::to_string(i % 7) + "\xFE" + "x");
  a->writeItem(dict, "$GREET", "object code stands here");
  a->writeItem(exact, "a", "lower");
  a->writeItem(exact, "A", "upper");
  const Section archive = *a->findSection("CUST", false, "ARCHIVE", true);
  a->writeItem(archive, "old", "kept");
  auto byItems = [&](const Section& s) {
    return [&a, s](const auto& visit) { a->forEachItem(s, visit); };
  };
  a->indexes().build(cust, *parseCorrelative("A1"), byItems(cust));
  a->indexes().build(cust, *parseCorrelative("A0(MCU)"), byItems(cust));
  a->setCredentials(StoredCredentials{"clerk", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA"});
  a->grant("AUDIT");
}

// Every entry of an index in order, as (key, id, vc) text.
std::vector<std::string> walk(IndexStore& indexes, std::int64_t number, bool fold) {
  std::vector<std::string> out;
  IndexHit hit;
  for (IndexSeek r = indexes.seek(number, fold, 'C', "", "", 0, hit); r == IndexSeek::kFound;
       r = indexes.seek(number, fold, 'N', hit.key, hit.ids, hit.vc, hit))
    out.push_back(hit.key + "|" + hit.ids + "|" + std::to_string(hit.vc));
  return out;
}

void expectSameAccount(System& left, const std::string& leftName, System& right,
                       const std::string& rightName) {
  std::unique_ptr<Account> a = left.openAccount(leftName, false);
  std::unique_ptr<Account> b = right.openAccount(rightName, false);
  std::vector<Section> as = a->sections({}), bs = b->sections({});
  ASSERT_EQ(as.size(), bs.size());
  for (std::size_t i = 0; i < as.size(); ++i) {
    SCOPED_TRACE(as[i].file + "," + as[i].name);
    EXPECT_EQ(bs[i].file, as[i].file);
    EXPECT_EQ(bs[i].name, as[i].name);
    EXPECT_EQ(bs[i].dictionary, as[i].dictionary);
    EXPECT_EQ(bs[i].caseFold, as[i].caseFold);
    EXPECT_EQ(bs[i].modulo, as[i].modulo);
    std::vector<std::pair<std::string, std::string>> ai, bi;
    a->forEachItem(as[i], [&](auto id, auto body) { ai.emplace_back(id, body); });
    b->forEachItem(bs[i], [&](auto id, auto body) { bi.emplace_back(id, body); });
    EXPECT_EQ(ai, bi);
    std::vector<Correlative> ac = a->indexes().definitions(as[i]);
    std::vector<Correlative> bc = b->indexes().definitions(bs[i]);
    ASSERT_EQ(ac.size(), bc.size());
    for (std::size_t k = 0; k < ac.size(); ++k) {
      EXPECT_EQ(bc[k].text(), ac[k].text());
      EXPECT_EQ(walk(b->indexes(), *b->indexes().find(bs[i], bc[k]), bs[i].caseFold),
                walk(a->indexes(), *a->indexes().find(as[i], ac[k]), as[i].caseFold));
    }
  }
  ASSERT_TRUE(b->credentials());
  EXPECT_EQ(b->credentials()->user, a->credentials()->user);
  EXPECT_EQ(b->credentials()->hash, a->credentials()->hash);
  EXPECT_EQ(b->grantees(), a->grantees());
}

TEST(CopyAccount, CopiesEveryByteFileIndexAndCredentialBetweenSystems) {
  ::tarn::testing::TempDir dir;
  const std::string from = under(dir, "from"), to = under(dir, "to");
  fill(*guardedSystem(from));
  (void)guardedSystem(to);
  Outcome r = copyAccount(quoted(from) + " " + quoted(to) + " sales");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "copied SALES as SALES: 3 files, 6 sections, 49 items, 2 indexes\n");
  expectSameAccount(*openSystem(from), "SALES", *openSystem(to), "SALES");

  // Within one system under another name, and through PostgreSQL when a server is at hand.
  std::string last = from;
  if (tarn::testing::onPostgres()) {
    tarn::testing::ScratchDatabase database(*tarn::testing::testPostgres());
    const std::string& pg = database.keywords();
    (void)guardedSystem(pg);
    ASSERT_EQ(copyAccount(quoted(from) + " " + quoted(pg) + " SALES").status, 0);
    ASSERT_EQ(copyAccount("--as BACK " + quoted(pg) + " " + quoted(from) + " SALES").status, 0);
    expectSameAccount(*openSystem(from), "SALES", *openSystem(pg), "SALES");
  } else {
    ASSERT_EQ(copyAccount("--as BACK " + quoted(to) + " " + quoted(from) + " SALES").status, 0);
  }
  expectSameAccount(*openSystem(from), "SALES", *openSystem(from), "BACK");
}

TEST(CopyAccount, RefusesWhatItCannotDoAndChangesNothing) {
  ::tarn::testing::TempDir dir;
  const std::string from = under(dir, "from"), open = under(dir, "open");
  fill(*guardedSystem(from));
  (void)openSystem(open, true);  // its DM is unprotected
  struct Case {
    std::string arguments;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {quoted(from) + " " + quoted(from) + " SALES", 1, "already holds files; nothing copied"},
      {quoted(from) + " " + quoted(under(dir, "to")) + " NOBODY", 1, "no account NOBODY"},
      {quoted(under(dir, "typo")) + " " + quoted(under(dir, "to")) + " SALES", 1, "No system in"},
      {quoted(from) + " " + quoted(under(dir, "to")) + " 'BAD NAME'", 2, "not an account name"},
      {quoted(from) + " SALES", 2, "usage: tarn-copy-account"},
      // A protected account never lands where DM is open: that would leave a way in.
      {quoted(from) + " " + quoted(under(dir, "to")) + " SALES", 1, "protect its DM"},
      {quoted(from) + " " + quoted(open) + " SALES", 1, "protect DM there first"},
  };
  for (const Case& c : cases) {
    Outcome r = copyAccount(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
  expectSameAccount(*openSystem(from), "SALES", *openSystem(from), "SALES");
  EXPECT_FALSE(std::filesystem::exists(under(dir, "to")));
  EXPECT_FALSE(std::filesystem::exists(under(dir, "typo")));
  EXPECT_EQ(openSystem(open)->accounts(), std::vector<std::string>{"DM"});
}

// A copy onto an empty account that is protected already keeps that account's protection.
TEST(CopyAccount, NeverWeakensTheTargetsProtection) {
  ::tarn::testing::TempDir dir;
  const std::string from = under(dir, "from"), to = under(dir, "to");
  fill(*guardedSystem(from));
  {
    std::unique_ptr<Account> plain = openSystem(from)->openAccount("PLAIN", true);
    ASSERT_TRUE(plain->createDataSection("F", "F", 1, true));
  }
  const StoredCredentials owner{"owner", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$b3du"};
  for (const char* source : {"PLAIN", "SALES"}) {
    SCOPED_TRACE(source);
    std::filesystem::remove_all(to);
    {
      std::unique_ptr<System> target = guardedSystem(to);
      std::unique_ptr<Account> a = target->openAccount("VAULT", true);
      a->setCredentials(owner);
      a->grant("KEEPER");
    }
    Outcome r = copyAccount("--as VAULT " + quoted(from) + " " + quoted(to) + " " + source);
    ASSERT_EQ(r.status, 0) << r.output;
    std::unique_ptr<Account> vault = openSystem(to)->openAccount("VAULT", false);
    ASSERT_TRUE(vault->credentials());
    EXPECT_EQ(vault->credentials()->hash, owner.hash);
    EXPECT_EQ(vault->grantees(), std::vector<std::string>{"KEEPER"});
  }
}

}  // namespace
}  // namespace tarn::server::store
