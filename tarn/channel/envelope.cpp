#include "tarn/channel/envelope_internal.h"

#include <limits>

#include "tarn/frame/error.h"
#include "tarn/frame/numeric.h"

namespace tarn::envelope {

RequestBuilder& RequestBuilder::add(StringView text) {
  text_ += kAttributeMark;
  text_ += text;
  return *this;
}

RequestBuilder& RequestBuilder::add(std::int32_t number) {
  text_ += kAttributeMark;
  text_ += decimalText(number);
  return *this;
}

String buildRequest(char16_t code, std::initializer_list<Field> fields) {
  RequestBuilder b(code);
  for (const Field& f : fields) {
    std::visit([&b](auto v) { b.add(v); }, f);
  }
  return b.take();
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
