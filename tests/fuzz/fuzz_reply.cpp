// Reply parsing under arbitrary bytes: the wire code page, the status/data split, the status
// value and the length-counted fields. Any crash, hang or broken invariant is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/envelope_internal.h"
#include "tarn/frame/error.h"

using namespace tarn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const String reply = codepage::decode(bytes);
  if (codepage::encode(reply) != bytes) std::abort();  // every byte has a character

  const envelope::SplitReply parts = envelope::splitReply(reply);
  if (parts.status.size() > envelope::kStatusWidth) std::abort();
  (void)envelope::statusValue(parts.status);

  String rest = parts.data;
  while (!rest.empty()) {
    const std::size_t before = rest.size();
    try {
      const String field = envelope::rsTakeCountedField(rest);
      if (field.size() >= before || rest.size() >= before) std::abort();  // always progresses
    } catch (const TarnError& e) {
      if (e.number() != err::kInvalidCall && e.number() != err::kTypeMismatch &&
          e.number() != err::kOverflow) {
        std::abort();
      }
      if (rest.size() != before) std::abort();  // a failed take leaves the reply alone
      break;
    }
  }
  return 0;
}
