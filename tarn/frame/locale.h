// The process's locale settings, read once from the POSIX locale of the environment.
#pragma once

#include "tarn/frame/string.h"

namespace tarn {

struct LocaleSettings {
  String currency;  // currency sign
  String decimal;   // decimal separator
  String grouping;  // grouping (thousands) separator
};

// LANG / LC_* of the process environment through newlocale and nl_langinfo_l. Empty answers fall
// back to "$", "." and ",". Read on first use and kept for the life of the process.
[[nodiscard]] const LocaleSettings& platformLocale();

// Reads the settings of a named POSIX locale ("" means the environment's), with the same
// fall-backs; an unknown name gives the fall-backs.
[[nodiscard]] LocaleSettings readLocaleSettings(const char* name);

}  // namespace tarn
