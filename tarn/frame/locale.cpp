#include "tarn/frame/locale.h"

#include <langinfo.h>
#include <locale.h>

namespace tarn {

namespace {

// nl_langinfo answers in the locale's own encoding; the names we ask for are short ASCII or
// UTF-8 texts in every locale that Debian ships.
String item(locale_t loc, nl_item what, const char16_t* fallback) {
  const char* text = loc ? nl_langinfo_l(what, loc) : "";
  String s = fromUtf8(text ? text : "");
  return s.empty() ? String(fallback) : s;
}

}  // namespace

LocaleSettings readLocaleSettings(const char* name) {
  locale_t loc = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
  if (!loc) {
    // A partly broken environment (one unknown LC_* value) should still yield what it can.
    loc = newlocale(LC_NUMERIC_MASK | LC_MONETARY_MASK, "C", static_cast<locale_t>(0));
  }
  LocaleSettings s;
  // CRNCYSTR carries a leading "-", "+" or "." saying where the sign goes; the sign follows it.
  String currency = item(loc, CRNCYSTR, u"");
  if (!currency.empty() && (currency[0] == u'-' || currency[0] == u'+' || currency[0] == u'.')) {
    currency.erase(0, 1);
  }
  s.currency = currency.empty() ? String(u"$") : currency;
  s.decimal = item(loc, RADIXCHAR, u".");
  s.grouping = item(loc, THOUSEP, u",");
  if (loc) freelocale(loc);
  return s;
}

const LocaleSettings& platformLocale() {
  static const LocaleSettings settings = readLocaleSettings("");
  return settings;
}

}  // namespace tarn
