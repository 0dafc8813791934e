// tarn-copy-account: copies one account from a system to another, across stores or within one.
// Everything an account holds goes: its files with their dictionaries and data sections, every
// item byte for byte (compiled subroutines included: they are items), the index definitions
// (rebuilt from the copied items), the credentials' hash and the grants. Live state does not:
// locks, open marks, ports and counts of failed logons belong to the running system. A copy never
// weakens protection: a protected target keeps its own credentials and grants, and a protected
// account is copied only into a system whose DM is protected.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret_text.h"
#include "server/engine/store/store.h"

namespace {

using namespace tarn::server::store;

constexpr const char* kUsage =
    "usage: tarn-copy-account [--as NAME] FROM TO ACCOUNT\n"
    "  FROM, TO  systems as a data source's System= names them: a directory for the\n"
    "            embedded store, a postgresql:// URI or libpq keywords for PostgreSQL\n"
    "  ACCOUNT   the account to copy; --as gives the copy another name\n"
    "Copy an account while no port writes to it. The copy is made in one transaction: it is\n"
    "there whole or not at all. The target account must not hold any file yet. Nothing is\n"
    "made before the source account is found; the TO system is made when it is not there.\n";

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

// Whether the copy may go ahead without weakening anything in the target system; throws why not.
void checkProtection(Account& from, System& toSystem, Account* existing, const std::string& as) {
  if (existing != nullptr && existing->credentials()) return;  // the target's own stay
  if (!from.credentials() || as == kSystemAccount) return;
  std::unique_ptr<Account> dm = toSystem.openAccount(kSystemAccount, false);
  if (!dm->credentials())
    throw std::runtime_error(
        "account " + from.name() + " is protected and DM in " + toSystem.location() +
        " is not: protect DM there first (PROTECT-ACCOUNT DM); nothing copied");
}

Totals copyAccount(System& fromSystem, System& toSystem, const std::string& name,
                   const std::string& as) {
  std::unique_ptr<Account> from = fromSystem.openAccount(name, false);
  std::unique_ptr<Account> existing;
  if (toSystem.accountExists(as)) {
    existing = toSystem.openAccount(as, false);
    if (!isEmpty(*existing))
      throw std::runtime_error("account " + as + " in " + toSystem.location() +
                               " already holds files; nothing copied");
  }
  checkProtection(*from, toSystem, existing.get(), as);
  const bool keepProtection = existing && existing->credentials();
  std::unique_ptr<Account> to = existing ? std::move(existing) : toSystem.openAccount(as, true);
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
  if (!keepProtection) {
    to->setCredentials(from->credentials());
    for (const std::string& other : from->grantees()) to->grant(other);
  }
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
                 tarn::secrets::masked(!name ? args[2] : as).c_str());
    return 2;
  }
  try {
    // The source is looked at before anything is made: a typo in it leaves nothing behind.
    std::unique_ptr<System> from = openSystem(args[0], false);
    if (!from->accountExists(*name))
      throw std::runtime_error("no account " + *name + " in " + from->location() +
                               "; nothing copied");
    std::unique_ptr<System> to;
    try {
      to = openSystem(args[1], false);
    } catch (const StoreError& e) {
      if (e.failure() != StoreFailure::kMissing) throw;
      // A new system's DM is unprotected, so a protected account could not go there anyway.
      if (from->openAccount(*name, false)->credentials())
        throw std::runtime_error("account " + *name + " is protected and " + args[1] +
                                 " holds no system yet: make it, protect its DM, then copy; "
                                 "nothing copied");
      to = openSystem(args[1], true);
    }
    const Totals t = copyAccount(*from, *to, *name, *target);
    std::printf("copied %s as %s: %ld files, %ld sections, %ld items, %ld indexes\n", name->c_str(),
                target->c_str(), t.files, t.sections, t.items, t.indexes);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarn-copy-account: %s\n", tarn::secrets::masked(e.what()).c_str());
    return 1;
  }
}
