#include "tarn/channel/envelope_internal.h"

#include <limits>

#include "tarn/frame/error.h"
#include "tarn/frame/numeric.h"

namespace tarn::envelope {

namespace {

// Digits straight into the request, without a temporary: a request is built for every exchange.
void appendNumber(String& text, std::int32_t number) {
  char16_t digits[12];
  char16_t* const end = digits + sizeof digits / sizeof digits[0];
  char16_t* p = end;
  std::uint32_t magnitude =
      number < 0 ? 0u - static_cast<std::uint32_t>(number) : static_cast<std::uint32_t>(number);
  do {
    *--p = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) *--p = u'-';
  text.append(p, end);
}

}  // namespace

bool holdsMark(StringView text) noexcept {
  for (const char16_t c : text) {
    if (c >= u'\u00FB' && c <= u'\u00FF') return true;
  }
  return false;
}

void refuseMarks(StringView text) {
  if (holdsMark(text)) throw TarnError(err::kBadParameters, String(), String());
}

RequestBuilder& RequestBuilder::add(StringView text) {
  text_ += kAttributeMark;
  text_ += text;
  return *this;
}

RequestBuilder& RequestBuilder::add(std::int32_t number) {
  text_ += kAttributeMark;
  appendNumber(text_, number);
  return *this;
}

void buildRequestInto(String& out, char16_t code, std::initializer_list<Field> fields) {
  std::size_t size = 1;
  for (const Field& f : fields) {
    const StringView* text = std::get_if<StringView>(&f);
    size += 1 + (text ? text->size() : 11);
  }
  out.clear();
  out.reserve(size);
  out += code;
  for (const Field& f : fields) {
    out += kAttributeMark;
    if (const StringView* text = std::get_if<StringView>(&f)) {
      out += *text;
    } else {
      appendNumber(out, std::get<std::int32_t>(f));
    }
  }
}

String buildRequest(char16_t code, std::initializer_list<Field> fields) {
  String out;
  buildRequestInto(out, code, fields);
  return out;
}

SplitReply splitReply(StringView reply) {
  SplitReply r;
  r.status = String(reply.substr(0, kStatusWidth));
  if (reply.size() > kDataStart) r.data = String(reply.substr(kDataStart));
  return r;
}

std::int32_t statusValue(StringView status) noexcept {
  std::size_t b = 0, e = status.size();
  while (b < e && status[b] == u' ') ++b;
  while (e > b && status[e - 1] == u' ') --e;
  if (b == e) return 0;
  bool negative = false;
  if (status[b] == u'+' || status[b] == u'-') {
    negative = status[b] == u'-';
    if (++b == e) return 0;
  }
  std::int64_t value = 0;
  for (std::size_t i = b; i < e; ++i) {
    const char16_t c = status[i];
    if (c < u'0' || c > u'9') return 0;
    value = value * 10 + (c - u'0');
    if (value > std::numeric_limits<std::int32_t>::max()) return 0;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

String rsTakeCountedField(String& s) {
  const std::size_t p = s.find(kAttributeMark);
  if (p == String::npos) throw TarnError::platform(err::kInvalidCall);
  const std::optional<double> length = parseNumericText(StringView(s).substr(0, p));
  if (!length) throw TarnError::platform(err::kTypeMismatch);
  const std::int32_t n = roundToInt32(*length);
  if (n < 0) throw TarnError::platform(err::kInvalidCall);
  s.erase(0, p + 1);
  const std::size_t count = static_cast<std::size_t>(n);
  String field = s.substr(0, count);
  if (s.size() > count + 1) {
    s.erase(0, count + 1);
  } else {
    s.clear();
  }
  return field;
}

}  // namespace tarn::envelope
