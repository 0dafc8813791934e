// tarn-copy-account: copies one account from a system to another, across stores or within one.
// Everything an account holds goes: its files with their dictionaries and data sections, every
// item byte for byte (compiled subroutines included: they are items), the index definitions
// (rebuilt from the copied items), the credentials' hash and the grants. Live state does not:
// locks, open marks, ports and counts of failed logons belong to the running system.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/store.h"

namespace {

using namespace tarn::server::store;

constexpr const char* kUsage =
    "usage: tarn-copy-account [--as NAME] FROM TO ACCOUNT\n"
    "  FROM, TO  systems as a data source's System= names them: a directory for the\n"
    "            embedded store, a postgresql:// URI or libpq keywords for PostgreSQL\n"
    "  ACCOUNT   the account to copy; --as gives the copy another name\n"
    "Copy an account while no port writes to it. The copy is made in one transaction: it is\n"
    "there whole or not at all. The target account must not hold any file yet.\n";

struct Totals {
  long files = 0, sections = 0, items = 0, indexes = 0;
};

// An account that a failed copy left behind holds its master dictionary and nothing else; such an
// account may be copied into again.
bool isEmpty(Account& account) {
  for (const Section& s : account.sections({}))
    if (!equalsNoCase(s.file, kMasterDictionary) || account.countItems(s) > 0) return false;
  return true;
}

void copySection(Account& from, const Section& source, Account& to, const Section& target,
                 Totals& totals) {
  from.forEachItem(source, [&](std::string_view id, std::string_view body) {
    to.writeItem(target, id, body);
    ++totals.items;
  });
  for (const Correlative& c : from.indexes().definitions(source)) {
    to.indexes().build(target, c, [&](const auto& visit) { to.forEachItem(target, visit); });
    ++totals.indexes;
  }
}

Totals copyAccount(System& fromSystem, System& toSystem, const std::string& name,
                   const std::string& as) {
  if (!fromSystem.accountExists(name))
    throw std::runtime_error("no account " + name + " in " + fromSystem.location());
  std::unique_ptr<Account> from = fromSystem.openAccount(name, false);
  std::unique_ptr<Account> to = toSystem.openAccount(as, !toSystem.accountExists(as));
  if (!isEmpty(*to))
    throw std::runtime_error("account " + as + " in " + toSystem.location() +
                             " already holds files; nothing copied");
  Totals totals;
  // The source's transaction keeps writers out while it is read (on the embedded store it is
  // also one snapshot); the target's makes the copy appear whole or not at all.
  Transaction reading(*from);
  Transaction writing(*to);
  std::optional<Section> masterDictionary;
  std::string lastFile;
  for (const Section& s : from->sections({})) {
    if (equalsNoCase(s.file, kMasterDictionary)) {
      masterDictionary = s;
      continue;
    }
    if (s.dictionary) {
      (void)to->createDictionary(s.file, s.modulo, s.caseFold);
    } else {
      (void)to->createDataSection(s.file, s.name, s.modulo, s.caseFold);
    }
    std::optional<Section> target = to->findSection(s.file, s.dictionary, s.name, true);
    if (!target) throw std::runtime_error("could not make " + s.file + " in the copy");
    if (s.file != lastFile) ++totals.files;
    lastFile = s.file;
    ++totals.sections;
    copySection(*from, s, *to, *target, totals);
  }
  // The master dictionary last and as it stands in the source: making the files above wrote
  // pointers of their own into the copy's.
  if (masterDictionary) {
    std::optional<Section> target = to->findSection(kMasterDictionary, false, {}, false);
    if (!target) throw std::runtime_error("the copy has no master dictionary");
    to->clearSection(*target);
    copySection(*from, *masterDictionary, *to, *target, totals);
    ++totals.files;
    ++totals.sections;
  }
  to->setCredentials(from->credentials());
  for (const std::string& other : from->grantees()) to->grant(other);
  writing.commit();
  reading.commit();
  return totals;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string as;
  if (args.size() >= 2 && args[0] == "--as") {
    as = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::optional<std::string> name = accountName(args[2]);
  std::optional<std::string> target = accountName(as.empty() ? args[2] : as);
  if (!name || !target) {
    std::fprintf(stderr, "tarn-copy-account: not an account name: %s\n",
                 (!name ? args[2] : as).c_str());
    return 2;
  }
  try {
    std::unique_ptr<System> from = openSystem(args[0]);
    std::unique_ptr<System> to = openSystem(args[1]);
    const Totals t = copyAccount(*from, *to, *name, *target);
    std::printf("copied %s as %s: %ld files, %ld sections, %ld items, %ld indexes\n", name->c_str(),
                target->c_str(), t.files, t.sections, t.items, t.indexes);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarn-copy-account: %s\n", e.what());
    return 1;
  }
}
