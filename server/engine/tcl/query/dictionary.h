// Fields of a query sentence as a file's dictionary defines them: D, A/S and I items, @ID, the
// A<n> shorthand and the default listing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/corvex/program.h"
#include "server/engine/port_state.h"

namespace tarn::server::tcl::query {

// A failure that ends a sentence with a numbered message.
struct QueryError {
  int number;
  std::string text;
};

struct Field {
  enum class Kind { kData, kExpression };
  std::string name;  // as the sentence or the dictionary names it
  Kind kind = Kind::kData;
  long attribute = 0;       // kData: 0 is the item-id
  std::string correlative;  // A/S items: a code applied before the conversion
  std::string conversion;   // output conversion
  std::string heading;
  char justify = 'L';  // L, R or T
  int width = 10;
  // multi: the field holds several values; association: the name its associated fields share
  // (BY-EXP and JSON output keep their values together by position).
  bool multi = false;
  std::string association;
  // kExpression: the compiled expression and the fields it reads, in parameter order.
  // Shared: one compiled program serves every sentence that names the same expression.
  std::shared_ptr<const corvex::Program> program;
  std::vector<std::shared_ptr<const Field>> inputs;
};

// The fields of one file for one sentence: each name is read from the dictionary once.
class Dictionary {
 public:
  // target is the section the sentence reads; its file's dictionary defines the names.
  Dictionary(PortState& state, const OpenSection& target);

  // The field a word names, or nothing when it names none. Throws QueryError when the name is a
  // field whose definition is broken (an I item that does not compile).
  [[nodiscard]] std::shared_ptr<const Field> find(std::string_view name);
  // The item-id as a column: the @ID item when there is one, else the file's name at width 10.
  [[nodiscard]] std::shared_ptr<const Field> id();
  // The fields LIST shows when none are named: those the @ item names, else the dictionary's
  // D, A and S items of attributes 1 and up in attribute order (at most six).
  [[nodiscard]] std::vector<std::shared_ptr<const Field>> defaults();

  // The internal value of f for an item (values joined by value marks). Throws QueryError when
  // an expression fails.
  [[nodiscard]] std::string value(const Field& f, std::string_view id, std::string_view body);
  // The value shown: the conversion applied to each value.
  [[nodiscard]] std::string shown(const Field& f, std::string_view internal);
  // The internal form of a value typed in a criterion: the conversion's input direction when
  // it gives something, else the text as typed.
  [[nodiscard]] std::string internal(const Field& f, std::string_view typed);

  // The port whose dictionary rules (case, limits, number format) the fields follow.
  [[nodiscard]] PortState& state() noexcept { return state_; }

 private:
  std::shared_ptr<const Field> define(std::string_view name, std::string_view item, int depth);
  std::shared_ptr<const Field> lookup(std::string_view name, int depth);
  void compileExpression(Field& f, std::string_view expression, int depth);

  PortState& state_;
  OpenSection target_;
  std::optional<store::Section> dict_;
  std::map<std::string, std::shared_ptr<const Field>, std::less<>> known_;
  std::shared_ptr<const Field> id_;
};

// "A<n>" as a field number; nothing for other words. Throws QueryError past the port's limit.
[[nodiscard]] std::optional<long> attributeWord(std::string_view word, long limit);

}  // namespace tarn::server::tcl::query
