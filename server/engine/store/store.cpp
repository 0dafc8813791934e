#include "server/engine/store/store.h"

#include "server/engine/store/postgres/pg_system.h"
#include "server/engine/store/sqlite/sqlite_system.h"

namespace tarn::server::store {
namespace {

char upper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

}  // namespace

bool namesPostgres(std::string_view system) noexcept {
  if (system.starts_with("postgresql://") || system.starts_with("postgres://")) return true;
  // libpq keywords: the value starts with a lower-case word and '=', which no directory path
  // given to a data source does in practice.
  std::size_t i = 0;
  while (i < system.size() && ((system[i] >= 'a' && system[i] <= 'z') || system[i] == '_')) ++i;
  return i > 0 && i < system.size() && system[i] == '=';
}

StoreError missingSystem(const std::string& location) {
  return StoreError(StoreFailure::kMissing,
                    "No system in " + location +
                        ". Check System= in the data source, or connect once with "
                        "CreateAccount=Yes to create the system there.");
}

std::unique_ptr<System> openSystem(const std::string& system, bool create) {
  if (namesPostgres(system)) return postgres::openSystem(system, create);
  return std::make_unique<SqliteSystem>(system, create);
}

std::string Account::openMark(const LockOwner& owner) {
  return std::to_string(owner.port) + ":" + std::to_string(owner.process.pid) + ":" +
         std::to_string(owner.process.start);
}

std::vector<Correlative> IndexStore::definitions(const Section& s) {
  std::vector<Definition> read;
  readDefinitions(s, read);
  std::vector<Correlative> out;
  for (Definition& d : read) out.push_back(std::move(d.correlative));
  return out;
}

bool IndexStore::any(const Section& s) {
  readDefinitions(s, defs_);
  loadedFor_ = s.id;
  if (defs_.empty()) {
    indexed_.erase(s.id);
    return false;
  }
  indexed_.insert(s.id);
  return true;
}

const std::vector<IndexStore::Definition>& IndexStore::definitionsFor(const Section& s) {
  if (loadedFor_ != s.id) readDefinitions(s, defs_);
  loadedFor_ = 0;
  return defs_;
}

void IndexStore::itemChanged(const Section& s, std::string_view id, const std::string* before,
                             const std::string_view* after) {
  for (const Definition& d : definitionsFor(s)) {
    keyChanges(d.correlative, id, before, after, s.caseFold, changes_);
    changeEntries(EntryChange::kDelete, d.number, s, id, changes_.gone);
    changeEntries(EntryChange::kInsert, d.number, s, id, changes_.added);
    // A kept entry changes (and so dirties a page) only where the id's spelling may differ.
    if (s.caseFold) changeEntries(EntryChange::kRespell, d.number, s, id, changes_.kept);
  }
}

void IndexStore::sectionCleared(const Section& s) {
  loadedFor_ = 0;
  readDefinitions(s, defs_);
  for (const Definition& d : defs_) clearEntries(d.number);
}

void IndexStore::sectionDropped(const Section& s) {
  dropDefinitions(s);
  indexed_.erase(s.id);
  if (loadedFor_ == s.id) loadedFor_ = 0;
}

IndexSeek IndexStore::seek(std::int64_t number, bool foldIds, char code, std::string_view key,
                           std::string_view id, long vc, IndexHit& hit) {
  // A position whose id holds marks came from "X": it stands after (or before) the whole key.
  const bool wholeKey = id.find(kAttributeMark) != std::string_view::npos;
  Section ids;
  ids.caseFold = foldIds;
  const std::string_view item = itemKey(ids, id, scratch_);
  bool found = false;
  switch (code) {
    case 'C':
      found = probe(Probe::kAtOrAfterKey, number, key, {}, 0, hit);
      break;
    case 'N':
      found =
          probe(wholeKey ? Probe::kAfterKey : Probe::kAfterPosition, number, key, item, vc, hit);
      break;
    case 'P':
      found =
          probe(wholeKey ? Probe::kBeforeKey : Probe::kBeforePosition, number, key, item, vc, hit);
      break;
    case 'L':
      found = probe(key.empty() ? Probe::kLast : Probe::kAtOrBeforeKey, number, key, {}, 0, hit);
      break;
    case 'R':
      found = probe(Probe::kKey, number, key, {}, 0, hit);
      break;
    case 'V':
      found = probe(Probe::kKeyAndItem, number, key, item, vc, hit);
      break;
    case 'X':
      found = probe(Probe::kAtOrAfterKey, number, key, {}, 0, hit);
      if (found) idsUnder(number, std::string(hit.key), hit);
      break;
    default:
      return IndexSeek::kBadCode;
  }
  return found ? IndexSeek::kFound : IndexSeek::kNone;
}

std::string fileDefinition(std::int64_t modulo) {
  std::string out = "D";
  out += kAttributeMark;
  out += std::to_string(modulo);
  return out;
}

std::optional<std::string> accountName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return std::nullopt;
  std::string out;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.';
    if (!ok) return std::nullopt;
    out.push_back(upper(c));
  }
  return out;
}

std::string upperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

std::string_view itemKey(const Section& s, std::string_view id, std::string& scratch) {
  if (!s.caseFold) return id;
  scratch.assign(id);
  for (char& c : scratch) c = upper(c);
  return scratch;
}

}  // namespace tarn::server::store
