// The query verbs: LIST, SORT, COUNT, SUM, SELECT, SSELECT and ESTIMATE-COUNT. A sentence picks
// its items (the ids given, the active list, an index or the whole file), keeps those the
// criteria accept, orders them and hands them to the report or to the next active list.
#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "server/engine/tcl/query/report.h"
#include "server/engine/tcl/verbs.h"

namespace tarn::server::tcl {
namespace {

using query::Condition;
using query::Op;
using query::QueryError;
using query::Row;
using query::Sentence;

// An exception, because the store's scan takes a callback that has no way to say "enough".
struct Stop {};  // SAMPLE has its items

bool numeric(std::string_view s) {
  double d = 0;
  return parseNumeric(s, d);
}

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

// Index keys are ordered by their bytes. A criterion may walk them when its answer over the
// walked keys is the answer over the file: text (numbers order differently as bytes), and, on a
// port that ignores case, only bounds whose case variants bracket every match.
bool indexableBound(std::string_view v, bool caseSensitive, bool upper) {
  if (v.empty() || numeric(v)) return false;
  if (caseSensitive || !upper) return true;
  // [ \ ] ^ _ ` lie between 'Z' and 'a': folded up and down, a bound holding one no longer
  // brackets its case variants.
  for (char c : v)
    if (c >= '[' && c <= '`') return false;
  return true;
}

bool indexable(const Condition& c, bool cs) {
  // The index holds the stored values of one attribute; anything computed from them, and any
  // criterion that a missing key can satisfy (NO, WITHOUT, EVERY), needs the items themselves.
  if (c.field->kind != query::Field::Kind::kData || !c.field->correlative.empty() || c.every ||
      c.no || c.negate)
    return false;
  switch (c.op) {
    case Op::kEqual:
      for (std::string_view v : c.values) {
        // Ends-with and contains patterns have no key range; begins-with is a range from the
        // prefix.
        if (v.size() > 1 && v.front() == '[') return false;
        if (v.size() > 1 && v.back() == ']') v.remove_suffix(1);
        if (!indexableBound(v, cs, true)) return false;
      }
      return !c.values.empty();
    case Op::kGreater:
    case Op::kGreaterEqual:
      return c.values.size() == 1 && indexableBound(c.values[0], cs, false);
    case Op::kLess:
    case Op::kLessEqual:
      return c.values.size() == 1 && indexableBound(c.values[0], cs, true);
    case Op::kBetween:
      return indexableBound(c.values[0], cs, false) && indexableBound(c.values[1], cs, true);
    default:
      return false;
  }
}

// Every spelling of v that a case-insensitive comparison takes for v; nothing past 64 of them.
std::vector<std::string> caseVariants(std::string_view v) {
  std::vector<std::size_t> letters;
  for (std::size_t i = 0; i < v.size(); ++i)
    if ((v[i] >= 'A' && v[i] <= 'Z') || (v[i] >= 'a' && v[i] <= 'z')) letters.push_back(i);
  // Past 64 spellings one range walk from the upper-case to the lower-case form is cheaper.
  if (letters.size() > 6) return {};
  std::vector<std::string> out;
  for (std::size_t mask = 0; mask < (std::size_t{1} << letters.size()); ++mask) {
    std::string s(v);
    for (std::size_t k = 0; k < letters.size(); ++k) {
      char& c = s[letters[k]];
      c = (mask >> k) & 1 ? static_cast<char>(c >= 'a' ? c - 32 : c)
                          : static_cast<char>(c <= 'Z' ? c + 32 : c);
    }
    out.push_back(std::move(s));
  }
  return out;
}

class Walk {
 public:
  Walk(store::IndexStore& index, std::int64_t number, bool foldIds)
      : index_(index), number_(number), foldIds_(foldIds) {}

  // Calls visit(key, id) for each entry under exactly key.
  template <typename Visit>
  void exact(const std::string& key, Visit&& visit) {
    store::IndexHit hit;
    // "X" lands on the first key at or after key and gathers all its ids; a different key there
    // means no entry has exactly this one.
    if (index_.seek(number_, foldIds_, 'X', key, {}, 0, hit) != store::IndexSeek::kFound ||
        hit.key != key)
      return;
    std::string_view ids = hit.ids;
    for (;;) {
      std::size_t mark = ids.find(kAttributeMark);
      visit(std::string_view(hit.key), ids.substr(0, mark));
      if (mark == std::string_view::npos) break;
      ids.remove_prefix(mark + 1);
    }
  }
  // Calls visit(key, id) for each entry from the first at or after low while more(key).
  template <typename More, typename Visit>
  void range(const std::string& low, More&& more, Visit&& visit) {
    store::IndexHit hit;
    // "C" finds the first entry at or after low; each "N" steps one (key, id) entry on.
    if (index_.seek(number_, foldIds_, 'C', low, {}, 0, hit) != store::IndexSeek::kFound) return;
    while (more(std::string_view(hit.key))) {
      visit(std::string_view(hit.key), std::string_view(hit.ids));
      // Copies: the next seek overwrites hit, which it also reads its position from.
      const std::string key = hit.key, id = hit.ids;
      if (index_.seek(number_, foldIds_, 'N', key, id, hit.vc, hit) != store::IndexSeek::kFound)
        return;
    }
  }

 private:
  store::IndexStore& index_;
  std::int64_t number_;
  bool foldIds_;
};

class Runner {
 public:
  Runner(Interpreter& in, Sentence& s) : in_(in), s_(s), cs_(in.state().caseSensitive) {}
  void run();

 private:
  // anyOf is an OR of AND groups; a sentence without criteria keeps every item.
  bool passes(std::string_view id, std::string_view body) {
    if (s_.anyOf.empty()) return true;
    for (const auto& group : s_.anyOf) {
      bool all = true;
      for (const Condition& c : group) {
        if (!query::holds(c, s_.dictionary->value(*c.field, id, body), cs_)) {
          all = false;
          break;
        }
      }
      if (all) return true;
    }
    return false;
  }
  void consider(std::string_view id, std::string_view body);
  void keep(std::string_view id) {
    // Unsorted, SAMPLE stops at its count; sorted, it keeps the first of the order.
    if (s_.sample && !sorted() && static_cast<std::int64_t>(kept()) >= *s_.sample) throw Stop{};
    if (idsOnly_) {
      // Nothing but the ids is wanted: they go straight into the list's text.
      if (list_.count++ > 0) list_.ids.push_back(kAttributeMark);
      list_.ids += id;
      return;
    }
    // The caller fills in the row's values; keep only decides whether there is a row.
    rows_.emplace_back().id = id;
  }
  std::size_t kept() const { return idsOnly_ ? list_.count : rows_.size(); }
  bool sorted() const { return !s_.sort.empty() || s_.verb == "SSELECT" || s_.verb == "SORT"; }
  // Walks an index for the sentence's criteria; false when no criterion can use one.
  bool fromIndex();
  void fromIds(const std::vector<std::string>& ids);
  void explode();
  void order();
  void finish();

  Interpreter& in_;
  Sentence& s_;
  const bool cs_;
  std::vector<Row> rows_;
  std::vector<const Row*> ordered_;  // rows_ in the sentence's order, once ordered
  std::vector<std::string> values_;  // every row's values, in the order of rows_ as kept
  bool bounded_ = false;             // what is kept will be printed: the reply limit holds
  bool idsOnly_ = false;
  IdList list_;  // the ids, when they are all that is kept
  std::size_t kept_ = 0;
  bool needsBody_ = false;
};

void Runner::consider(std::string_view id, std::string_view body) {
  query::countItemsRead(1);
  if (!passes(id, body)) return;
  keep(id);
  if (idsOnly_) return;
  Row& r = rows_.back();
  r.values = &values_;
  r.first = static_cast<std::uint32_t>(values_.size());
  r.keyCount = static_cast<std::uint32_t>(s_.sort.size());
  for (const query::SortKey& k : s_.sort)
    values_.push_back(s_.dictionary->value(*k.field, id, body));
  for (const query::Column& c : s_.columns) {
    values_.push_back(s_.dictionary->value(*c.field, id, body));
    kept_ += values_.back().size() + 1;
  }
  // Neither the items' size nor a repeated id may make a listing hold more than a reply.
  if (bounded_) {
    kept_ += id.size() + 1;
    if (kept_ + in_.capturedBytes() > in_.state().limits.replyBytes)
      throw QueryError{msg::kOverLimit,
                       cat({"The listing is over the reply limit of ",
                            std::to_string(in_.state().limits.replyBytes), " bytes."})};
  }
}

void Runner::fromIds(const std::vector<std::string>& ids) {
  store::Account& a = *s_.target.account;
  std::string body;
  for (const std::string& id : ids) {
    body.clear();
    if (a.readItem(s_.target.section, id, body)) consider(id, body);
  }
}

bool Runner::fromIndex() {
  // With OR, an item may pass through a group the index cannot answer; only one AND group can be
  // narrowed by one of its criteria.
  if (s_.anyOf.size() != 1) return false;
  store::Account& a = *s_.target.account;
  for (const Condition& c : s_.anyOf[0]) {
    if (!indexable(c, cs_)) continue;
    std::optional<std::int64_t> number =
        a.indexes().find(s_.target.section, store::Correlative{c.field->attribute, {}});
    if (!number) continue;
    Walk walk(a.indexes(), *number, s_.target.section.caseFold);
    // With this criterion alone and nothing else to show, the key answers for the item.
    const bool keyOnly = s_.anyOf[0].size() == 1 && !needsBody_;
    std::vector<std::string> found;
    std::string lastKey;
    bool lastMatch = false;
    std::size_t matchingKeys = 0;
    bool truncated = false;
    auto visit = [&](std::string_view key, std::string_view id) {
      // Entries come key by key: each key is judged once for all the items under it.
      if (found.empty() || key != lastKey) {
        lastKey.assign(key);
        // A key cut at the index's limit cannot answer alone: the items are read then.
        truncated = truncated || key.size() >= store::kMaxIndexKey;
        lastMatch = !keyOnly || key.size() >= store::kMaxIndexKey ||
                    (c.op == Op::kBetween
                         ? query::matchesOne(key, c.op, c.values[0], c.values[1], cs_)
                         : std::any_of(c.values.begin(), c.values.end(), [&](const std::string& v) {
                             return query::matchesOne(key, c.op, v, {}, cs_);
                           }));
        if (lastMatch) ++matchingKeys;
      }
      // An item with the same value twice has adjacent entries under the key.
      if (lastMatch && (found.empty() || found.back() != id)) found.emplace_back(id);
    };
    if (c.op == Op::kEqual) {
      for (const std::string& v : c.values) {
        if (v.back() == ']') {
          const std::string prefix = v.substr(0, v.size() - 1);
          // Upper case sorts before lower case as bytes, so every case spelling of the prefix lies
          // between the upper-case and the lower-case form; the criterion sorts out the rest.
          const std::string high = cs_ ? prefix : lowerAscii(prefix);
          walk.range(
              cs_ ? prefix : store::upperAscii(prefix),
              [&](std::string_view key) { return key.substr(0, high.size()) <= high; }, visit);
          continue;
        }
        std::vector<std::string> spellings = cs_ ? std::vector<std::string>{v} : caseVariants(v);
        if (spellings.empty()) {
          const std::string high = lowerAscii(v);
          walk.range(
              store::upperAscii(v), [&](std::string_view key) { return key <= high; }, visit);
        } else {
          for (const std::string& k : spellings) walk.exact(k, visit);
        }
      }
    } else {
      const bool low = c.op == Op::kGreater || c.op == Op::kGreaterEqual || c.op == Op::kBetween;
      const bool high = c.op == Op::kLess || c.op == Op::kLessEqual || c.op == Op::kBetween;
      const std::string& lowBound = c.values[0];
      const std::string& highBound = c.op == Op::kBetween ? c.values[1] : c.values[0];
      const std::string start = low ? (cs_ ? lowBound : store::upperAscii(lowBound)) : "";
      const std::string stop = high ? (cs_ ? highBound : lowerAscii(highBound)) : "";
      walk.range(
          start, [&](std::string_view key) { return !high || key <= std::string_view(stop); },
          visit);
    }
    // Under one key the adjacent check above already removed repeats.
    if (matchingKeys > 1) {
      // An item under several keys counts once, where it came first.
      std::unordered_set<std::string> seen;
      std::vector<std::string> unique;
      for (std::string& id : found)
        if (seen.insert(id).second) unique.push_back(std::move(id));
      found = std::move(unique);
    }
    if (keyOnly && !truncated) {
      for (const std::string& id : found) keep(id);
    } else {
      // Otherwise every candidate is read and judged by all the criteria, not just the indexed one.
      fromIds(found);
    }
    return true;
  }
  return false;
}

void Runner::explode() {
  // The first BY-EXP key gives one row per value; the columns of its association (and the field
  // itself) show that value alone.
  std::size_t k = 0;
  while (k < s_.sort.size() && !s_.sort[k].exploded) ++k;
  if (k == s_.sort.size()) return;
  std::vector<Row> out;
  out.reserve(rows_.size());
  for (Row& r : rows_) {
    // A copy: the values grow below, which may move the one this is read from.
    const std::string all = r.key(k);
    std::string_view values = all;
    long position = 1;
    for (;;) {
      std::size_t mark = values.find(kValueMark);
      // Each exploded row gets values of its own, so that narrowing its key leaves the others.
      Row copy = r;
      copy.first = static_cast<std::uint32_t>(values_.size());
      const std::size_t perRow = s_.sort.size() + s_.columns.size();
      for (std::size_t v = 0; v < perRow; ++v) values_.push_back((*r.values)[r.first + v]);
      copy.key(k) = std::string(values.substr(0, mark));
      copy.exploded = position;
      out.push_back(std::move(copy));
      if (mark == std::string_view::npos) break;
      values.remove_prefix(mark + 1);
      ++position;
    }
  }
  rows_ = std::move(out);
}

void Runner::order() {
  // The rows stay where they are; the order is a list of them.
  ordered_.reserve(rows_.size());
  for (const Row& r : rows_) ordered_.push_back(&r);
  const bool byKeys = !s_.sort.empty();
  if (!byKeys && s_.verb != "SSELECT" && s_.verb != "SORT") return;
  const char idJustify = s_.dictionary->id()->justify;
  // A multi-valued key sorts by its first value unless exploded.
  auto keyOf = [&](std::uint32_t r, std::size_t i) {
    std::string_view v = rows_[r].key(i);
    return query::sortValue(s_.sort[i].exploded ? v : v.substr(0, v.find(kValueMark)));
  };
  // The full order, for the pairs the first key's number leaves undecided.
  auto less = [&](std::uint32_t x, std::uint32_t y) {
    for (std::size_t i = 0; i < s_.sort.size(); ++i) {
      int c = query::compareSortValues(keyOf(x, i), keyOf(y, i), s_.sort[i].field->justify, cs_);
      if (c != 0) return s_.sort[i].descending ? c > 0 : c < 0;
    }
    // Ties by id, as the dictionary justifies it, exactly as stored; then in the order found.
    int c = query::compareSortValues(query::sortValue(rows_[x].id), query::sortValue(rows_[y].id),
                                     idJustify, true);
    if (c != 0) return c < 0;
    if (rows_[x].exploded != rows_[y].exploded) return rows_[x].exploded < rows_[y].exploded;
    return x < y;
  };
  // The first key's number sits beside the row number, so that most comparisons of a numeric
  // sort touch one small contiguous array and parse nothing.
  struct Slot {
    double number;
    std::uint32_t row;
    bool numeric;
  };
  const bool descending = byKeys && s_.sort[0].descending;
  std::vector<Slot> slots(rows_.size());
  for (std::uint32_t r = 0; r < rows_.size(); ++r) {
    const query::SortValue v = byKeys ? keyOf(r, 0) : query::sortValue(rows_[r].id);
    slots[r] = {v.number, r, v.numeric};
  }
  // A merge sort: numbers beside text do not order transitively ("3" < "10" < "2a" < "3"),
  // and std::sort may run off the array on such an order; a merge cannot.
  std::stable_sort(slots.begin(), slots.end(), [&](const Slot& a, const Slot& b) {
    if (a.numeric && b.numeric && a.number != b.number)
      return descending ? a.number > b.number : a.number < b.number;
    return less(a.row, b.row);
  });
  ordered_.clear();
  for (const Slot& slot : slots) ordered_.push_back(&rows_[slot.row]);
}

void Runner::run() {
  store::Account& a = *s_.target.account;
  const store::Section& sec = s_.target.section;
  const std::string& verb = s_.verb;
  std::optional<IdList> active;
  // The active list is the item list of the next sentence that reads items, once.
  if (s_.ids.empty() && verb != "ESTIMATE-COUNT" && in_.state().activeList) {
    active = std::move(in_.state().activeList);
    in_.state().activeList.reset();
  }
  const bool plain = s_.anyOf.empty() && s_.ids.empty() && !active && !s_.sample;
  if (plain && (verb == "ESTIMATE-COUNT" || verb == "COUNT")) {
    // Nothing to judge: the store counts without reading a body.
    const std::string n = std::to_string(a.countItems(sec));
    if (verb == "COUNT") {
      in_.print(cat({"Count: ", n, " items."}));
      in_.note(msg::kCounted);
    } else {
      in_.print(n);
    }
    return;
  }
  if (plain && verb == "SELECT" && s_.sort.empty()) {
    IdList list;
    list.count = a.appendIds(sec, list.ids);
    in_.print(cat({"Active list: ", std::to_string(list.count), " items selected."}));
    in_.note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    // No items make no list: the next sentence reads the file, not nothing.
    in_.state().activeList.reset();
    if (list.count > 0) in_.state().activeList = std::move(list);
    return;
  }
  if ((verb == "LIST" || verb == "SORT") && s_.columns.empty())
    for (const auto& f : s_.dictionary->defaults()) s_.columns.push_back({f, false, false});
  needsBody_ = !s_.sort.empty() || !s_.columns.empty();
  idsOnly_ = !needsBody_ && (verb == "SELECT" || verb == "COUNT" || verb == "ESTIMATE-COUNT");
  bounded_ = !s_.columns.empty() || verb == "LIST" || verb == "SORT";
  try {
    if (!s_.ids.empty()) {
      fromIds(s_.ids);
    } else if (active) {
      std::vector<std::string> ids;
      std::string_view rest = active->ids;
      // An empty list has empty ids text, which would otherwise read as one empty item-id.
      while (active->count > 0) {
        std::size_t mark = rest.find(kAttributeMark);
        ids.emplace_back(rest.substr(0, mark));
        if (mark == std::string_view::npos) break;
        rest.remove_prefix(mark + 1);
      }
      fromIds(ids);
    } else if (!fromIndex()) {
      // Every item is a row unless a criterion says otherwise: room for them all up front.
      if (s_.anyOf.empty() && !idsOnly_) {
        // Capped: a listing may still stop early at the reply limit.
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(a.countItems(sec)), 1 << 22);
        rows_.reserve(n);
        values_.reserve(n * (s_.sort.size() + s_.columns.size()));
      }
      a.forEachItem(sec, [&](std::string_view id, std::string_view body) { consider(id, body); });
    }
  } catch (const Stop&) {
  }
  explode();
  order();
  if (s_.sample && static_cast<std::int64_t>(ordered_.size()) > *s_.sample)
    ordered_.resize(static_cast<std::size_t>(*s_.sample));
  finish();
}

void Runner::finish() {
  const std::string& verb = s_.verb;
  const std::string count = std::to_string(idsOnly_ ? list_.count : ordered_.size());
  if (verb == "COUNT") {
    in_.print(cat({"Count: ", count, " items."}));
    in_.note(msg::kCounted);
  } else if (verb == "ESTIMATE-COUNT") {
    in_.print(count);
  } else if (verb == "SUM") {
    const query::Field& f = *s_.columns[0].field;
    double total = 0;
    for (const Row* row : ordered_) total += query::sumOfValues(row->cell(0));
    in_.print(
        cat({"Total ", f.heading, ": ", s_.dictionary->shown(f, query::formatNumber(total))}));
    in_.note(msg::kCounted);
  } else if (verb == "LIST" || verb == "SORT") {
    query::printReport(in_, s_, ordered_);
  } else {
    IdList list = std::move(list_);
    for (const Row* row : ordered_) {
      const Row& r = *row;
      if (list.count++ > 0) list.ids.push_back(kAttributeMark);
      list.ids += r.id;
    }
    in_.print(cat({"Active list: ", count, " items selected."}));
    in_.note(list.count > 0 ? msg::kSelected : msg::kNoItems);
    // No items make no list: the next sentence reads the file, not nothing.
    in_.state().activeList.reset();
    if (list.count > 0) in_.state().activeList = std::move(list);
  }
}

}  // namespace

namespace verbs {

void query(Interpreter& in, const Invocation& call) {
  try {
    Sentence s = query::parseSentence(in.state(), call.verb, call.cmd.words);
    Runner(in, s).run();
  } catch (const QueryError& e) {
    // Over the reply limit the whole run stops (status 40), not only this sentence.
    if (e.number == msg::kOverLimit) {
      in.overLimit(e.text);
    } else {
      in.message(e.number, e.text);
    }
  }
}

}  // namespace verbs
}  // namespace tarn::server::tcl
