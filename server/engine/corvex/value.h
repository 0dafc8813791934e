// Corvex values and the string operations on them. Every text operation of the language lives
// here, so that a change in how the engine holds text (bytes today) touches one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/engine/vocabulary.h"

namespace tarn::server::corvex {

// The marks under the language's short names (@AM, @VM, @SVM).
inline constexpr char kAm = kAttributeMark;
inline constexpr char kVm = kValueMark;
inline constexpr char kSvm = kSubValueMark;

// A string with a cached numeric reading. Arithmetic results keep only the number until
// someone asks for the text, so a numeric loop never formats.
class Value {
 public:
  Value() = default;
  explicit Value(std::string text) : text_(std::move(text)) {}
  explicit Value(double n) : number_(n), hasText_(false), reading_(kNumeric) {}

  void setNumber(double n) noexcept {
    number_ = n;
    hasText_ = false;
    reading_ = kNumeric;
    file_ = 0;
  }
  void setText(std::string_view t) {
    text_.assign(t);
    hasText_ = true;
    reading_ = kUnread;
    file_ = 0;
  }
  void setText(std::string&& t) {
    text_ = std::move(t);
    hasText_ = true;
    reading_ = kUnread;
    file_ = 0;
  }
  // The text, for editing in place; the numeric reading is dropped.
  std::string& editText() {
    if (!hasText_) formatInto(number_);
    reading_ = kUnread;
    file_ = 0;
    return text_;
  }
  [[nodiscard]] const std::string& text() const {
    if (!hasText_) formatInto(number_);
    return text_;
  }
  // The numeric reading; false when the text is not a number. The empty string reads as 0.
  [[nodiscard]] bool number(double& out) const noexcept {
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
  // At least the length of the text, without formatting a number to find out.
  [[nodiscard]] std::size_t sizeBound() const noexcept { return hasText_ ? text_.size() : 400; }
  // Appends the text to out without keeping a formatted copy of a number here.
  void appendTo(std::string& out) const;

  // A file variable: the handle of an OPEN within the running call, 0 for ordinary values.
  [[nodiscard]] int file() const noexcept { return file_; }
  void setFile(int handle) {
    setText(std::string());
    file_ = handle;
  }

 private:
  enum Reading : std::uint8_t { kUnread, kNumeric, kText };
  void read() const noexcept;
  void formatInto(double n) const;

  mutable std::string text_;
  mutable double number_ = 0;
  mutable bool hasText_ = true;
  mutable Reading reading_ = kUnread;
  int file_ = 0;
};

// Numbers print as integers when they are whole, else with up to 15 significant digits and no
// exponent.
void formatNumber(double n, std::string& out);
// Strict numeric text: optional sign, digits, at most one decimal point, at least one digit.
[[nodiscard]] bool parseNumeric(std::string_view text, double& out) noexcept;
// -1, 0, 1: numerically when both read as numbers, else by bytes.
[[nodiscard]] int compareValues(const Value& a, const Value& b);

// Dynamic arrays: positions count from 1; v or s of 0 means "the whole higher level".
[[nodiscard]] std::string_view extract(std::string_view s, long a, long v, long sv) noexcept;
// Replaces the element, padding with marks as needed; a position of -1 appends at its level.
void replaceElement(std::string& s, long a, long v, long sv, std::string_view value);
// Inserts before the element (-1 appends).
void insertElement(std::string& s, long a, long v, long sv, std::string_view value);
void deleteElement(std::string& s, long a, long v, long sv);
// LOCATE: searches the attributes (a = 0), the values of attribute a (v = 0) or the subvalues
// of value a,v. order is "" or AL/AR/DL/DR. Sets pos to the match or to where it would go.
[[nodiscard]] bool locate(std::string_view needle, std::string_view s, long a, long v,
                          std::string_view order, long& pos);

// Character-level text functions.
[[nodiscard]] long textLength(std::string_view s) noexcept;
[[nodiscard]] std::string_view substring(std::string_view s, long start, long length) noexcept;
[[nodiscard]] std::string trim(std::string_view s);
[[nodiscard]] std::string field(std::string_view s, std::string_view delimiter, long occurrence,
                                long count);
[[nodiscard]] long indexOf(std::string_view s, std::string_view sub, long occurrence) noexcept;
[[nodiscard]] long countOf(std::string_view s, std::string_view sub) noexcept;
[[nodiscard]] long dcount(std::string_view s, std::string_view delimiter) noexcept;
[[nodiscard]] std::string upcase(std::string_view s);
[[nodiscard]] std::string downcase(std::string_view s);
[[nodiscard]] std::string repeat(std::string_view s, long times);
[[nodiscard]] bool alphabetic(std::string_view s) noexcept;
[[nodiscard]] long sequence(std::string_view s) noexcept;
[[nodiscard]] std::string character(long code);
[[nodiscard]] std::string convertChars(std::string_view from, std::string_view to,
                                       std::string_view s);
[[nodiscard]] std::string changeAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace tarn::server::corvex
