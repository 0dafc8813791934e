// The index upkeep and cruising of the SQL stores, written once: definitions, entry changes and
// probes as statements (sql_seam.h's IndexStatement) that each store's index store runs. What
// stays with a store is the bulk fill of a new index, where each has its own fast path. The
// store passes itself (Store below) so that the statements are called directly, as the
// account's are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/sql/sql_seam.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::sql {

// Store derives from SqlIndexStore<Store> and provides, as sql_seam.h's stores do,
//   Rows query(IndexStatement, values...) and std::int64_t run(IndexStatement, values...),
//   and build(): the definition through define(), then the entries in bulk.
template <typename Store>
class SqlIndexStore : public IndexStore {
 public:
  [[nodiscard]] std::optional<std::int64_t> find(const Section& s, const Correlative& c) override {
    const std::string text = c.text();
    auto r = store().query(IndexStatement::kFind, s.id, std::string_view(text));
    if (!r.next()) return std::nullopt;
    return r.integer(0);
  }

  [[nodiscard]] bool exists(std::int64_t number) override {
    return store().query(IndexStatement::kExists, number).next();
  }

  bool drop(const Section& s, const Correlative& c) override {
    std::optional<std::int64_t> number = find(s, c);
    if (!number) return false;
    store().run(IndexStatement::kClearEntries, *number);
    store().run(IndexStatement::kDrop, *number);
    return true;
  }

  [[nodiscard]] bool probe(Probe kind, std::int64_t number, std::string_view key,
                           std::string_view item, long vc, IndexHit& hit) override {
    const auto statement = static_cast<IndexStatement>(static_cast<int>(IndexStatement::kProbe) +
                                                       static_cast<int>(kind));
    auto r = store().query(statement, number, key, item, static_cast<std::int64_t>(vc));
    if (!r.next()) return false;
    hit.key.assign(r.bytes(0));
    hit.vc = static_cast<long>(r.integer(1));
    hit.ids.assign(r.bytes(2));
    return true;
  }

  void idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) override {
    auto r = store().query(IndexStatement::kIdsUnder, number, key);
    hit.ids.clear();
    hit.vc = 0;
    while (r.next()) {
      if (hit.vc++ > 0) hit.ids.push_back(kAttributeMark);
      hit.ids.append(r.bytes(0));
    }
  }

 protected:
  // The number of the index on s defined by c: the existing one emptied, else a new one.
  std::int64_t define(const Section& s, const Correlative& c) {
    if (std::optional<std::int64_t> existing = find(s, c)) {
      store().run(IndexStatement::kClearEntries, *existing);
      return *existing;
    }
    const std::string text = c.text();
    auto r = store().query(IndexStatement::kInsert, s.id, std::string_view(text));
    if (!r.next()) throw StoreError(StoreFailure::kOther, "index definition vanished");
    return r.integer(0);
  }

  void readDefinitions(const Section& s, std::vector<Definition>& out) override {
    out.clear();
    auto r = store().query(IndexStatement::kDefinitions, s.id);
    while (r.next())
      if (std::optional<Correlative> c = parseCorrelative(r.bytes(1)))
        out.push_back({r.integer(0), std::move(*c)});
  }

  void changeEntries(EntryChange change, std::int64_t number, const Section& s, std::string_view id,
                     const std::vector<KeyValue>& keys) override {
    const std::string_view item = itemKey(s, id, scratch_);
    const IndexStatement statement = change == EntryChange::kInsert ? IndexStatement::kInsertEntry
                                     : change == EntryChange::kDelete
                                         ? IndexStatement::kDeleteEntry
                                         : IndexStatement::kRespellEntry;
    // The spelling is kept only where folding changed it, as the items table keeps it.
    const OrNull spelling{id, item != id};
    for (const KeyValue& k : keys)
      store().run(statement, number, std::string_view(k.key), item, static_cast<std::int64_t>(k.vc),
                  spelling);
  }

  void clearEntries(std::int64_t number) override {
    store().run(IndexStatement::kClearEntries, number);
  }

  void dropDefinitions(const Section& s) override {
    store().run(IndexStatement::kDropEntriesOf, s.id);
    store().run(IndexStatement::kDropOf, s.id);
  }

 private:
  Store& store() { return static_cast<Store&>(*this); }

  std::string scratch_;
};

}  // namespace tarn::server::store::sql
