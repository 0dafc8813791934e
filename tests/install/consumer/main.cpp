#include <iostream>

#include "tarn/tarncl.h"

int main() {
  auto env = tarn::clsTarnEnvironment::create();
  auto a = env->brOpenDynamicArray(u"x");
  a->brReplaceStr(u"y", 2);
  const bool ok = env->brVersion() == u"2.0.29" && a->brCString() == tarn::String(u"x\u00FEy");
  std::cout << (ok ? "consumer ok" : "consumer wrong") << "\n";
  return ok ? 0 : 1;
}
