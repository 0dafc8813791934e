// The request/reply envelope spoken over the session: requests are an operation code and fields
// joined by attribute marks; replies are a status, one separator and data.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <variant>

#include "tarn/frame/string.h"

namespace tarn::envelope {

inline constexpr char16_t kAttributeMark = u'\u00FE';
// Width of the status at the front of an API-mode reply, and where its data starts.
inline constexpr std::size_t kStatusWidth = 4;
inline constexpr std::size_t kDataStart = 5;

// True when text holds one of the marks 251-255 (U+00FB..U+00FF).
[[nodiscard]] bool holdsMark(StringView text) noexcept;
// Throws TarnError 1058 (bad parameters) when text holds a mark. Every item-id, file reference,
// attribute name and conversion code passes here before a request carries it: in any field but
// the last a mark would end the field early, and the server would act on another item. The
// marks are the structure of items by definition, so no stored id or name can contain one.
void refuseMarks(StringView text);

// One field of a request: a text travels unchanged, a number as decimal text.
using Field = std::variant<StringView, std::int32_t>;

// The request text: code, then each field preceded by one attribute mark.
[[nodiscard]] String buildRequest(char16_t code, std::initializer_list<Field> fields);
// The same text built in out, whose storage is reused; no field may view out itself.
void buildRequestInto(String& out, char16_t code, std::initializer_list<Field> fields);

// Builds a request field by field when the fields are not known up front.
class RequestBuilder {
 public:
  explicit RequestBuilder(char16_t code) : text_(1, code) {}
  RequestBuilder& add(StringView text);
  RequestBuilder& add(std::int32_t number);
  // The request built so far.
  [[nodiscard]] const String& text() const noexcept { return text_; }
  [[nodiscard]] String take() noexcept { return std::move(text_); }

 private:
  String text_;
};

// An API-mode reply taken apart: the first four characters (fewer when the reply is shorter)
// and everything from the sixth on (empty when there is nothing there).
struct SplitReply {
  String status;
  String data;
};
[[nodiscard]] SplitReply splitReply(StringView reply);

// The numeric value of a status: blanks around it are allowed; anything that is not an integer
// in the 32-bit range counts as 0 (success).
[[nodiscard]] std::int32_t statusValue(StringView status) noexcept;

// Takes one length-counted field off the front of s: the length up to the first attribute mark,
// then that many characters, then one separator character is skipped. s keeps the rest (or
// becomes empty). Throws TarnError 5 (invalid call) when s has no attribute mark or the length
// is negative, 13 (type mismatch) when the length is not a number, 6 when it overflows.
[[nodiscard]] String rsTakeCountedField(String& s);

// Where a character of a request (position from 1, in UTF-16 units) lies, in the words of the
// member that sent it: the part ("the item-id", "argument 2", "stacked input line 1") and the
// character's position within that part. A caller never sees the request text itself.
struct RequestPlace {
  String part;
  std::size_t position = 0;
};
[[nodiscard]] RequestPlace placeInRequest(StringView request, std::size_t position);

}  // namespace tarn::envelope
