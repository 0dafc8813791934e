#include "tarn/channel/envelope_internal.h"

#include <algorithm>
#include <limits>
#include <span>

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

namespace {

// The parts of each request, in field order; the last one runs to the end of the request, marks
// and all, where the request's last field may hold marks.
StringView partName(char16_t code, std::size_t field) {
  static constexpr StringView kFile[] = {u"the file name"};
  static constexpr StringView kRead[] = {u"the file number", u"the item-id",
                                         u"the attribute number"};
  static constexpr StringView kWrite[] = {u"the file number", u"the item-id", u"the item"};
  static constexpr StringView kWriteV[] = {u"the file number", u"the item-id",
                                           u"the attribute number", u"the attribute"};
  static constexpr StringView kItem[] = {u"the file number", u"the item-id"};
  static constexpr StringView kIndex[] = {u"the file name", u"the a-correlative"};
  static constexpr StringView kKey[] = {u"the key code", u"the index number", u"the key",
                                        u"the item-id", u"the value count"};
  static constexpr StringView kModule[] = {u"the module name"};
  static constexpr StringView kConvert[] = {u"the conversion code", u"the value"};
  std::span<const StringView> parts;
  switch (code) {
    case u'O':
      parts = kFile;
      break;
    case u'R':
    case u'r':
      parts = kRead;
      break;
    case u'W':
    case u'w':
      parts = kWrite;
      break;
    case u'V':
    case u'v':
      parts = kWriteV;
      break;
    case u'D':
    case u'U':
      parts = kItem;
      break;
    case u'I':
      parts = kIndex;
      break;
    case u'K':
      parts = kKey;
      break;
    case u'L':
      parts = kModule;
      break;
    case u'1':
    case u'2':
      parts = kConvert;
      break;
    default:
      return {};
  }
  if (parts.empty()) return {};
  return parts[std::min(field, parts.size()) - 1];
}

}  // namespace

RequestPlace placeInRequest(StringView request, std::size_t position) {
  RequestPlace place;
  if (request.empty() || position < 2 || position > request.size()) {
    place.part = u"the request";
    place.position = position;
    return place;
  }
  const char16_t code = request[0];
  // Field k (from 1) begins after the k-th mark; count the marks before the position.
  std::size_t field = 0;
  std::size_t start = 1;
  for (std::size_t i = 1; i < position - 1; ++i) {
    if (request[i] == kAttributeMark) {
      ++field;
      start = i + 1;
    }
  }
  if (field == 0) field = 1;
  const StringView named = partName(code, field);
  if (!named.empty()) {
    // A part that runs to the end counts from its own start, across the marks it holds.
    const std::size_t fields = code == u'V' || code == u'v'   ? 4
                               : code == u'W' || code == u'w' ? 3
                                                              : 0;
    if (fields != 0 && field >= fields) {
      std::size_t seen = 0;
      start = 1;
      for (std::size_t i = 1; i < request.size() && seen < fields; ++i) {
        if (request[i] == kAttributeMark && ++seen == fields) start = i + 1;
      }
    }
    place.part = String(named);
  } else if (code == u'E') {
    place.part = field == 1 ? String(u"the command line")
                            : u"stacked input line " + fromUtf8(std::to_string(field - 1));
  } else if (code == u'M') {
    // Module number, count, then a length and a text for each argument.
    place.part =
        field >= 4 ? u"argument " + fromUtf8(std::to_string((field - 2) / 2)) : String(u"the call");
  } else {
    place.part = u"field " + fromUtf8(std::to_string(field)) + u" of the request";
  }
  place.position = position - start;  // start is the part's first index, from 0
  return place;
}

}  // namespace tarn::envelope
