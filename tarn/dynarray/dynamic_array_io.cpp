#include "tarn/dynarray/dynamic_array_io.h"

#include <ostream>

namespace tarn {

std::string printable(StringView text) {
  String shown(text);
  for (char16_t& c : shown) {
    if (c == kAM) {
      c = u'^';
    } else if (c == kVM) {
      c = u']';
    } else if (c == kSVM) {
      c = u'\\';
    }
  }
  return toUtf8(shown);
}

std::ostream& operator<<(std::ostream& out, const clsTarnDynamicArray& array) {
  return out << printable(array.brCString());
}

}  // namespace tarn
