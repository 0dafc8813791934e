#include <iostream>

#include "tarn/tarncl.h"

int main() {
  auto env = tarn::clsTarnEnvironment::create();
  auto a = env->brOpenDynamicArray(u"x");
  a->brReplaceStr(u"y", 2);
  bool ok = env->brVersion() == u"2.0.29" && a->brCString() == tarn::String(u"x\u00FEy") &&
            tarn::tclQuote(u"a\"b") == u"'a\"b'";
  // The library's exception type is caught by its own type across the library boundary.
  try {
    (void)tarn::tclQuote(u"x\u00FEy");
    ok = false;
  } catch (const tarn::TarnError& e) {
    ok = ok && e.number() == tarn::libraryError(1058);
  }
  std::cout << (ok ? "consumer ok" : "consumer wrong") << "\n";
  return ok ? 0 : 1;
}
