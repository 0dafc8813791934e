// A tour of TarnCL: the environment and dynamic arrays; it grows with the library.
#include <iostream>

#include "tarn/tarncl.h"

using tarn::String;
using tarn::toUtf8;

namespace {
// Shows marks as ^ ] \ so the structure is readable on a terminal.
std::string show(const String& s) {
  std::string out;
  for (char16_t c : s) {
    if (c == tarn::kAM) out += '^';
    else if (c == tarn::kVM) out += ']';
    else if (c == tarn::kSVM) out += '\\';
    else out += toUtf8(String(1, c));
  }
  return out;
}
}  // namespace

int main() {
  auto env = tarn::clsTarnEnvironment::create();
  std::cout << "== The environment\n"
            << "name        " << toUtf8(env->brName()) << "\n"
            << "version     " << toUtf8(env->brVersion()) << "\n"
            << "type        " << toUtf8(env->brType()) << "\n"
            << "description " << toUtf8(env->brDescription()) << "\n"
            << "currency    '" << toUtf8(env->brCurrency()) << "'  decimal '"
            << toUtf8(env->brDecimal()) << "'  grouping '" << toUtf8(env->brGrouping()) << "'\n"
            << "casing      " << (env->brCasing() ? "case-sensitive" : "case-insensitive") << "\n"
            << "handle      " << toUtf8(env->brHandle()) << "\n"
            << "unique ids  " << toUtf8(env->brUniqueId()) << "  " << toUtf8(env->brUniqueId())
            << "\n";

  std::cout << "\n== A dynamic array\n";
  auto item = env->brOpenDynamicArray(u"Smith");
  std::cout << "start            " << show(item->brCString()) << "\n";
  item->brReplaceStr(u"12 High Street", 2);
  item->brReplaceStr(u"555-0100", 3, 1);
  item->brReplaceStr(u"555-0199", 3, 2);
  std::cout << "built            " << show(item->brCString()) << "  (" << item->brLen()
            << " characters)\n";
  std::cout << "phone 2          " << toUtf8(item->brExtractStr(3, 2)) << "\n";
  item->brInsertStr(u"Jane", 1, 1);
  std::cout << "insert (1,1)     " << show(item->brCString()) << "\n";
  item->brDelete(3, 1);
  std::cout << "delete (3,1)     " << show(item->brCString()) << "\n";
  item->brReplaceStr(u"note", -1);
  std::cout << "append attribute " << show(item->brCString()) << "\n";

  try {
    auto conn = env->brOpenConnection(u"ODBC", u"TarnDemo");
  } catch (const tarn::TarnError& e) {
    std::cout << "\n== Errors carry a number, a source and a description\n"
              << "number      " << e.number() << "\n"
              << "source      " << toUtf8(e.source()) << "\n"
              << "description " << toUtf8(e.description()) << "\n"
              << "brError     " << env->brError() << "\n";
  }
  return 0;
}
