// B-tree indexes over a file's items. An index is defined by an a-correlative (A<n>, optionally
// followed by a conversion in parentheses) and holds one entry per non-empty value of attribute
// n: (key, item, value count), in the byte order of the key, then of the item key, then of the
// value count. Entries live in one table per account and change in the same transaction as the
// item that produced them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/sqlite.h"

namespace tarn::server::store {

struct Section;

// Keys longer than this are indexed by their first kMaxIndexKey bytes; a lookup key longer than
// it is refused.
inline constexpr std::size_t kMaxIndexKey = 1024;

// A parsed a-correlative.
struct Correlative {
  long attribute = 0;      // 0 indexes the item-id itself
  std::string conversion;  // output conversion applied to each value; empty for none

  // The form stored and compared: "A" + number, then "(" conversion ")" when there is one.
  [[nodiscard]] std::string text() const;
};

// Accepts "A<n>" and "A<n>(code)", either letter case for the A, blanks around it tolerated.
// Nothing when the text is not such a correlative or the conversion code is not valid.
[[nodiscard]] std::optional<Correlative> parseCorrelative(std::string_view text);

// One entry an item contributes: its key and the 1-based position of the value it came from.
struct KeyValue {
  std::string key;
  long vc = 0;
  friend bool operator<(const KeyValue& a, const KeyValue& b) {
    return a.key != b.key ? a.key < b.key : a.vc < b.vc;
  }
  friend bool operator==(const KeyValue&, const KeyValue&) = default;
};

// The entries of one item under c, sorted; empty values give none.
void indexKeys(const Correlative& c, std::string_view id, std::string_view body,
               std::vector<KeyValue>& out);

// What a key operation found: the key, its value count and the item-id (for "X", every item-id
// under the key joined by attribute marks, with the count of them as the value count).
struct IndexHit {
  std::string key;
  long vc = 0;
  std::string ids;
};

enum class IndexSeek { kFound, kNone, kBadCode };

class IndexStore {
 public:
  // The tables this store keeps, created idempotently with the account's schema.
  [[nodiscard]] static const char* schema() noexcept;

  // Prepares its statements on db. Throws StoreError.
  explicit IndexStore(sqlite3* db);

  // --- definitions (inside the caller's transaction)
  // The number of the index on s defined by c, when there is one.
  [[nodiscard]] std::optional<std::int64_t> find(const Section& s, const Correlative& c);
  // Whether index number still exists.
  [[nodiscard]] bool exists(std::int64_t number);
  // Defines the index (or empties an existing one, keeping its number) and fills it from every
  // item that forEachItem visits. Returns its number.
  using ItemVisitor = std::function<void(
      const std::function<void(std::string_view id, std::string_view body)>& visit)>;
  std::int64_t build(const Section& s, const Correlative& c, const ItemVisitor& forEachItem);
  // Removes the definition and its entries; false when there was none.
  bool drop(const Section& s, const Correlative& c);

  // --- maintenance, called by the item paths inside their transaction
  // Whether any index is defined on s; the other maintenance calls do nothing when not.
  [[nodiscard]] bool any(const Section& s);
  // Whether the last any() for s found an index: a hint that lets writers skip a path that
  // cannot serve them, never a reason to skip maintenance.
  [[nodiscard]] bool seenIndexed(const Section& s) const;
  // The item id of s changed from before (nullptr: it did not exist) to after (nullptr: deleted).
  // Call it right after any(s) in the same transaction: it uses the definitions any() read.
  void itemChanged(const Section& s, std::string_view id, const std::string* before,
                   const std::string_view* after);
  // Every item of s went.
  void sectionCleared(const Section& s);
  // s itself goes: its definitions with their entries.
  void sectionDropped(const Section& s);

  // --- cruising
  // Runs key operation code on index number from position (key, id, vc). foldIds tells whether
  // the file's item-ids ignore letter case.
  [[nodiscard]] IndexSeek seek(std::int64_t number, bool foldIds, char code, std::string_view key,
                               std::string_view id, long vc, IndexHit& hit);

 private:
  struct Definition {
    std::int64_t number;
    Correlative correlative;
  };
  void loadDefinitions(const Section& s);
  // The definitions of s: those any() loaded just before, else read afresh.
  const std::vector<Definition>& definitions(const Section& s);
  void insertEntries(std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys);
  void respellEntries(std::int64_t number, const Section& s, std::string_view id,
                      const std::vector<KeyValue>& keys);
  void deleteEntries(std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys);
  // The first row of query into hit; query takes the index number and then params more of key,
  // item and value count.
  bool first(Statement& query, int params, std::int64_t number, std::string_view key,
             std::string_view item, long vc, IndexHit& hit);
  [[nodiscard]] std::string_view itemKey(bool foldIds, std::string_view id);

  std::vector<Definition> defs_;
  std::int64_t loadedFor_ = 0;  // the section whose definitions any() left in defs_
  std::set<std::int64_t> indexed_;
  std::string scratch_;
  std::vector<KeyValue> oldKeys_, newKeys_, gone_, added_, kept_;
  Statement defsOf_, findDef_, existsDef_, insertDef_, dropDef_, dropDefsOf_, clearEntries_,
      dropEntriesOf_, insertEntry_, respellEntry_, deleteEntry_;
  Statement atOrAfter_, afterPosition_, afterKey_, beforePosition_, beforeKey_, last_, atOrBefore_,
      exact_, exactItem_, idsUnder_;
};

}  // namespace tarn::server::store
