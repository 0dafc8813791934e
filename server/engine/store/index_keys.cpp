#include "server/engine/store/index_keys.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <tuple>

#include "server/engine/conv/conversion.h"
#include "server/engine/store/store.h"

namespace tarn::server::store {
namespace {

// Key conversions do not depend on the port that writes: every port must derive the same keys
// from the same item, or entries could not be found again to be removed.
const NumberFormat& indexFormat() {
  static const NumberFormat format;
  return format;
}

}  // namespace

std::string Correlative::text() const {
  std::string out = "A" + std::to_string(attribute);
  if (!conversion.empty()) out += "(" + conversion + ")";
  return out;
}

std::optional<Correlative> parseCorrelative(std::string_view text) {
  text = trimBlanks(text);
  if (text.size() < 2 || (text.front() != 'A' && text.front() != 'a')) return std::nullopt;
  text.remove_prefix(1);
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 6) return std::nullopt;
  Correlative c;
  std::from_chars(text.data(), text.data() + digits, c.attribute);
  text.remove_prefix(digits);
  if (!text.empty()) {
    if (text.front() != '(' || text.back() != ')' || text.size() < 3) return std::nullopt;
    c.conversion = std::string(text.substr(1, text.size() - 2));
    if (c.conversion.find_first_of("()") != std::string::npos) return std::nullopt;
    if (!oconv("1", c.conversion, indexFormat())) return std::nullopt;
  }
  return c;
}

void indexKeys(const Correlative& c, std::string_view id, std::string_view body,
               std::vector<KeyValue>& out) {
  out.clear();
  std::string_view attribute = attributeOf(id, body, c.attribute);
  long vc = 1;
  while (true) {
    std::size_t mark = attribute.find(kValueMark);
    std::string_view value = attribute.substr(0, mark);
    if (!value.empty()) {
      std::string key;
      if (c.conversion.empty()) {
        key = value;
      } else if (std::optional<std::string> converted = oconv(value, c.conversion, indexFormat())) {
        key = std::move(*converted);
      } else {
        key = value;
      }
      if (key.size() > kMaxIndexKey) key.resize(kMaxIndexKey);
      if (!key.empty()) out.push_back({std::move(key), vc});
    }
    if (mark == std::string_view::npos) break;
    attribute.remove_prefix(mark + 1);
    ++vc;
  }
  std::sort(out.begin(), out.end());
}

void keyChanges(const Correlative& c, std::string_view id, const std::string* before,
                const std::string_view* after, bool keepKept, KeyChanges& changes) {
  changes.before.clear();
  changes.after.clear();
  if (before) indexKeys(c, id, *before, changes.before);
  if (after) indexKeys(c, id, *after, changes.after);
  changes.gone.clear();
  changes.added.clear();
  changes.kept.clear();
  const auto& [b, a] = std::tie(changes.before, changes.after);
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(changes.gone));
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(changes.added));
  if (keepKept)
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(changes.kept));
}

IndexEntries::Span IndexEntries::keep(std::string_view bytes) {
  Span span{static_cast<std::uint32_t>(arena_.size()), static_cast<std::uint32_t>(bytes.size())};
  arena_.append(bytes);
  return span;
}

std::uint64_t IndexEntries::head(std::string_view key) noexcept {
  std::uint64_t h = 0;
  for (std::size_t i = 0; i < 8; ++i)
    h = (h << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0u);
  return h;
}

IndexEntries::IndexEntries(const Correlative& c, bool foldIds, const ItemVisitor& forEachItem) {
  std::vector<KeyValue> keys;
  Section ids;
  ids.caseFold = foldIds;
  std::string scratch;
  forEachItem([&](std::string_view id, std::string_view body) {
    indexKeys(c, id, body, keys);
    if (keys.empty()) return;
    const std::string_view key = itemKey(ids, id, scratch);
    const Span item = keep(key);
    const Span spelled = key == id ? Span{} : keep(id);
    for (const KeyValue& k : keys) rows_.push_back({keep(k.key), item, spelled, k.vc, head(k.key)});
    if (arena_.size() > UINT32_MAX - (1u << 20))
      throw StoreError(StoreFailure::kFull, "too many index entries to build at once");
  });
  std::sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
    // Most keys differ in their first eight bytes, which are in the row: the arena is read only
    // for the keys that share them.
    if (a.head != b.head) return a.head < b.head;
    if (int d = view(a.key).compare(view(b.key))) return d < 0;
    if (int d = view(a.item).compare(view(b.item))) return d < 0;
    return a.vc < b.vc;
  });
}

}  // namespace tarn::server::store
