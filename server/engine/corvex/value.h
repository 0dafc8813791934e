// Corvex values and the string operations on them. Every text operation of the language lives
// here, so that a change in how the engine holds text (bytes today) touches one place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/engine/vocabulary.h"

namespace tarn::server::corvex {

// The marks under the language's short names (@AM, @VM, @SVM).
inline constexpr char kAm = kAttributeMark;
inline constexpr char kVm = kValueMark;
inline constexpr char kSvm = kSubValueMark;

// Where the last positional reads of one text stopped, so that a loop reading X<I>, S[I,1] or
// FIELD(S, d, I) for I = 1 to N starts each read where the one before ended instead of at the
// start of the text. Any change to the text forgets them.
struct Cursors {
  // Element reads: the byte where attribute `attr` starts, value `value` of it, and subvalue
  // `sub` of that value (0: nothing remembered at that level).
  long attr = 0;
  std::size_t attrAt = 0;
  long value = 0;
  std::size_t valueAt = 0;
  long sub = 0;
  std::size_t subAt = 0;
  // Characters: the byte where character `chr` (counting from 0) starts, and the character
  // count once a read has needed it (npos until then).
  std::size_t chr = 0;
  std::size_t chrAt = 0;
  std::size_t length = std::string_view::npos;
  // FIELD: the byte where occurrence `field` of delimiter byte `delimiter` starts.
  long field = 0;
  std::size_t fieldAt = 0;
  char delimiter = 0;
};

// A string with a cached numeric reading. Arithmetic results keep only the number until
// someone asks for the text, so a numeric loop never formats.
class Value {
 public:
  Value() = default;
  explicit Value(std::string text) : text_(std::move(text)) {}
  explicit Value(double n) : number_(n), hasText_(false), reading_(kNumeric) {}
  // Copies take the text, not the positions remembered in it: they are rebuilt when needed.
  Value(const Value& o)
      : text_(o.text_),
        number_(o.number_),
        hasText_(o.hasText_),
        reading_(o.reading_),
        file_(o.file_) {}
  Value& operator=(const Value& o) {
    if (this != &o) {
      text_ = o.text_;
      number_ = o.number_;
      hasText_ = o.hasText_;
      reading_ = o.reading_;
      file_ = o.file_;
      forget();
    }
    return *this;
  }
  // A move keeps the cursors: the bytes they point at move with the text unchanged.
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  ~Value() = default;

  [[gnu::always_inline]] void setNumber(double n) noexcept {
    number_ = n;
    hasText_ = false;
    reading_ = kNumeric;
    file_ = 0;
    forget();
  }
  void setText(std::string_view t) {
    text_.assign(t);
    hasText_ = true;
    reading_ = kUnread;
    file_ = 0;
    forget();
  }
  void setText(std::string&& t) {
    text_ = std::move(t);
    hasText_ = true;
    reading_ = kUnread;
    file_ = 0;
    forget();
  }
  // The text, for editing in place; the numeric reading and the remembered positions are dropped.
  std::string& editText() {
    if (!hasText_) formatInto(number_);
    reading_ = kUnread;
    file_ = 0;
    forget();
    return text_;
  }
  // Bytes of heap this value holds beyond its own size: what a call's memory budget counts.
  [[nodiscard]] std::size_t heapBytes() const noexcept {
    return (text_.capacity() > kInlineText ? text_.capacity() + 1 : 0) +
           (cursors_ ? sizeof(Cursors) : 0);
  }

  // Positional reads that remember where they stopped (see Cursors). `walked` grows by the
  // bytes each one had to look at, so a caller can tell a long read from a short one.
  [[nodiscard]] std::string_view element(long a, long v, long sv, std::size_t& walked) const;
  [[nodiscard]] std::string_view chars(long start, long length, std::size_t& walked) const;
  // The last n characters (S[n]).
  [[nodiscard]] std::string_view lastChars(long n, std::size_t& walked) const;
  [[nodiscard]] long length(std::size_t& walked) const;
  [[nodiscard]] std::string_view fieldOf(std::string_view delimiter, long occurrence, long count,
                                         std::size_t& walked) const;
  [[nodiscard]] const std::string& text() const {
    if (!hasText_) formatInto(number_);
    return text_;
  }
  // The numeric reading; false when the text is not a number. The empty string reads as 0.
  [[nodiscard, gnu::always_inline]] bool number(double& out) const noexcept {
    if (reading_ == kNumeric) [[likely]] {
      out = number_;
      return true;
    }
    if (reading_ == kUnread) read();
    out = number_;
    return reading_ == kNumeric;
  }
  // Numeric for comparisons: the empty string counts as text there.
  [[nodiscard]] bool comparesAsNumber(double& out) const noexcept {
    return number(out) && (!hasText_ || !text_.empty());
  }
  [[nodiscard]] bool truth() const noexcept;
  // Back to the empty text a new value holds, giving back any memory the text took.
  void clear() noexcept {
    if (text_.capacity() > kInlineText) {
      std::string().swap(text_);
    } else {
      text_.clear();
    }
    number_ = 0;
    hasText_ = true;
    reading_ = kUnread;
    file_ = 0;
    cursors_.reset();
  }
  // Takes o's content as a move would (o is left valid, its content unspecified): for a number
  // not yet written out, without touching either text, the common case of an argument going
  // into a CALL and back.
  void takeFrom(Value& o) noexcept {
    // A file variable goes by the full move, so its handle travels with it.
    if (!o.hasText_ && o.file_ == 0) {
      setNumber(o.number_);
      return;
    }
    *this = std::move(o);
  }
  // The bytes of text held now (0 for a number not yet written out).
  [[nodiscard]] std::size_t textBytes() const noexcept { return hasText_ ? text_.size() : 0; }
  // At least the length of the text, without formatting a number to find out.
  // 400: a double written out without an exponent takes at most 309 digits, a sign and a point
  // and fifteen decimals.
  [[nodiscard]] std::size_t sizeBound() const noexcept { return hasText_ ? text_.size() : 400; }
  // Appends the text to out without keeping a formatted copy of a number here.
  void appendTo(std::string& out) const;

  // A file variable: the handle of an OPEN within the running call, 0 for ordinary values.
  [[nodiscard]] int file() const noexcept { return file_; }
  // The text is emptied so that printing a file variable shows nothing of the handle.
  void setFile(int handle) {
    setText(std::string());
    file_ = handle;
  }

 private:
  enum Reading : std::uint8_t { kUnread, kNumeric, kText };
  // Text up to this many bytes lives inside the string object itself (libstdc++).
  static constexpr std::size_t kInlineText = 15;
  void read() const noexcept;
  void formatInto(double n) const;
  void forget() noexcept {
    if (cursors_) [[unlikely]]
      *cursors_ = Cursors{};
  }
  Cursors& cursors() const;

  // Allocated on the first positional read only: most values are never read by position.
  mutable std::unique_ptr<Cursors> cursors_;
  // Mutable because reading a value fills its caches: the text of a number, the number of a text.
  // text_ is valid only when hasText_; number_ only when reading_ is kNumeric.
  mutable std::string text_;
  mutable double number_ = 0;
  mutable bool hasText_ = true;
  mutable Reading reading_ = kUnread;
  // Not mutable: only OPEN and SELECT ... TO set it.
  int file_ = 0;
};

// Numbers print as integers when they are whole, else with up to 15 significant digits and no
// exponent.
void formatNumber(double n, std::string& out);
// -1, 0, 1: numerically when both read as numbers, else by bytes.
[[nodiscard]] int compareValues(const Value& a, const Value& b);

// Dynamic arrays: positions count from 1; v or s of 0 means "the whole higher level".
// Negative positions read nothing; a position past the end reads "".
[[nodiscard]] std::string_view extract(std::string_view s, long a, long v, long sv) noexcept;
// Replaces the element, padding with marks as needed; a position of -1 appends at its level.
void replaceElement(std::string& s, long a, long v, long sv, std::string_view value);
// Inserts before the element (-1 appends).
void insertElement(std::string& s, long a, long v, long sv, std::string_view value);
// Removes the element and one of its marks; positions past the end change nothing.
void deleteElement(std::string& s, long a, long v, long sv);
// LOCATE: searches the attributes (a = 0), the values of attribute a (v = 0) or the subvalues
// of value a,v, from element `start` on. order is "" or AL/AR/DL/DR. Sets pos to the match or
// to where it would go, counted from the first element.
[[nodiscard]] bool locate(std::string_view needle, std::string_view s, long a, long v,
                          std::string_view order, long& pos, long start = 1);

// Character-level text functions.
[[nodiscard]] long textLength(std::string_view s) noexcept;
[[nodiscard]] std::string_view substring(std::string_view s, long start, long length) noexcept;
// Drops leading and trailing blanks and folds each inner run of blanks to one.
[[nodiscard]] std::string trim(std::string_view s);
[[nodiscard]] std::string field(std::string_view s, std::string_view delimiter, long occurrence,
                                long count);
// The number of characters in s (a mark is one), eight bytes at a time.
[[nodiscard]] std::size_t countChars(std::string_view s) noexcept;
// Occurrences may overlap ("AAA" holds "AA" twice); positions are characters from 1, 0 none.
[[nodiscard]] long indexOf(std::string_view s, std::string_view sub, long occurrence) noexcept;
[[nodiscard]] long countOf(std::string_view s, std::string_view sub) noexcept;
[[nodiscard]] long dcount(std::string_view s, std::string_view delimiter) noexcept;
// ASCII letters only: every other byte, marks and UTF-8 included, is left as it is.
[[nodiscard]] std::string upcase(std::string_view s);
[[nodiscard]] std::string downcase(std::string_view s);
[[nodiscard]] std::string repeat(std::string_view s, long times);
[[nodiscard]] bool alphabetic(std::string_view s) noexcept;
// The code point of the first character; a byte that starts no valid character gives its value.
[[nodiscard]] long sequence(std::string_view s) noexcept;
[[nodiscard]] std::string character(long code);
[[nodiscard]] std::string convertChars(std::string_view from, std::string_view to,
                                       std::string_view s);
[[nodiscard]] std::string changeAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace tarn::server::corvex
