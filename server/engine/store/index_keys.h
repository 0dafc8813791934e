// What an index holds of an item: the a-correlative that defines an index (A<n>, optionally
// followed by a conversion in parentheses) and the keys it derives from an item, one per
// non-empty value of attribute n. The same for every store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::server::store {

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

// What a change of one item does to one index: the entries to remove, the entries to add, and
// (where asked, for files that fold ids) the entries kept, whose id may be spelled anew. A
// rewrite usually leaves most keys as they were, so only the difference touches the index.
struct KeyChanges {
  std::vector<KeyValue> gone, added, kept;
  std::vector<KeyValue> before, after;  // the keys of each body, kept for their storage
};

// Fills changes for item id going from before (nullptr: it did not exist) to after (nullptr:
// deleted) under c.
void keyChanges(const Correlative& c, std::string_view id, const std::string* before,
                const std::string_view* after, bool keepKept, KeyChanges& changes);

// Walks a file's items, calling visit with each id and body; the views live only during the call.
using ItemVisitor = std::function<void(
    const std::function<void(std::string_view id, std::string_view body)>& visit)>;

// Every entry an index defined by c holds for the items forEachItem visits, sorted in entry
// order (key, item key, value count): the order that fills a b-tree at its end, page after page,
// where random inserts would split it all over. The bytes sit in one arena and the rows that are
// sorted are small and flat.
class IndexEntries {
 public:
  struct Entry {
    std::string_view key, item;
    std::string_view id;  // the item-id where folding changed it; empty otherwise
    long vc;
  };
  // Throws StoreError (full) past 4 GiB of keys and ids.
  IndexEntries(const Correlative& c, bool foldIds, const ItemVisitor& forEachItem);
  [[nodiscard]] std::size_t size() const noexcept { return rows_.size(); }
  [[nodiscard]] Entry operator[](std::size_t i) const noexcept {
    const Row& r = rows_[i];
    return {view(r.key), view(r.item), view(r.id), r.vc};
  }

 private:
  struct Span {
    std::uint32_t at = 0, size = 0;
  };
  struct Row {
    Span key, item, id;
    long vc;
    std::uint64_t head;  // the key's first eight bytes, big-endian, zero-padded: orders as they do
  };
  [[nodiscard]] static std::uint64_t head(std::string_view key) noexcept;
  Span keep(std::string_view bytes);
  [[nodiscard]] std::string_view view(Span s) const noexcept {
    return std::string_view(arena_).substr(s.at, s.size);
  }

  std::string arena_;
  std::vector<Row> rows_;
};

}  // namespace tarn::server::store
