#include "server/engine/corvex/builtins.h"

#include <cmath>
#include <optional>
#include <string>

#include "server/engine/corvex/machine.h"

namespace tarn::server::corvex {

void callBuiltin(Fn fn, Value& out, const Value* const* a, int n, const NumberFormat& format) {
  auto num = [&](int k) { return k < n ? numberOf(*a[k]) : 0.0; };
  auto lng = [&](int k) { return k < n ? longOf(*a[k]) : 0L; };
  static const std::string kEmpty;
  auto txt = [&](int k) -> const std::string& { return k < n ? a[k]->text() : kEmpty; };
  switch (fn) {
    case Fn::kLen:
      out.setNumber(static_cast<double>(textLength(txt(0))));
      return;
    case Fn::kTrim:
      out.setText(trim(txt(0)));
      return;
    case Fn::kField:
      out.setText(field(txt(0), txt(1), lng(2), n > 3 ? lng(3) : 1));
      return;
    case Fn::kIndex:
      out.setNumber(static_cast<double>(indexOf(txt(0), txt(1), lng(2))));
      return;
    case Fn::kCount:
      out.setNumber(static_cast<double>(countOf(txt(0), txt(1))));
      return;
    case Fn::kDcount:
      out.setNumber(static_cast<double>(dcount(txt(0), txt(1))));
      return;
    case Fn::kExtract:
      out.setText(std::string(extract(txt(0), lng(1), lng(2), lng(3))));
      return;
    case Fn::kReplace:
    case Fn::kInsert: {
      // The last argument is the new text; the positions before it default to 0.
      long pos[3] = {0, 0, 0};
      for (int k = 1; k < n - 1; ++k) pos[k - 1] = lng(k);
      checkSize(static_cast<double>(txt(0).size()) + static_cast<double>(txt(n - 1).size()) +
                static_cast<double>(pos[0] + pos[1] + pos[2]));
      std::string s = txt(0);
      if (fn == Fn::kReplace) {
        replaceElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      } else {
        insertElement(s, pos[0], pos[1], pos[2], txt(n - 1));
      }
      out.setText(std::move(s));
      return;
    }
    case Fn::kDelete: {
      std::string s = txt(0);
      deleteElement(s, lng(1), lng(2), lng(3));
      out.setText(std::move(s));
      return;
    }
    case Fn::kOconv:
    case Fn::kIconv: {
      std::optional<std::string> got =
          fn == Fn::kOconv ? oconv(txt(0), txt(1), format) : iconv(txt(0), txt(1), format);
      out.setText(got ? std::move(*got) : std::string());
      return;
    }
    case Fn::kUpcase:
      out.setText(upcase(txt(0)));
      return;
    case Fn::kDowncase:
      out.setText(downcase(txt(0)));
      return;
    case Fn::kStr:
      checkSize(static_cast<double>(txt(0).size()) * num(1));
      out.setText(repeat(txt(0), lng(1)));
      return;
    case Fn::kSpace:
      checkSize(num(0));
      out.setText(repeat(" ", lng(0)));
      return;
    case Fn::kNum: {
      double d = 0;
      out.setNumber(a[0]->number(d) ? 1 : 0);
      return;
    }
    case Fn::kAlpha:
      out.setNumber(alphabetic(txt(0)) ? 1 : 0);
      return;
    case Fn::kInt:
      out.setNumber(std::trunc(num(0)));
      return;
    case Fn::kAbs:
      out.setNumber(std::fabs(num(0)));
      return;
    case Fn::kMod: {
      double d = num(1);
      if (d == 0) throw Failure{"MOD by zero"};
      out.setNumber(std::fmod(num(0), d));
      return;
    }
    case Fn::kSeq:
      out.setNumber(static_cast<double>(sequence(txt(0))));
      return;
    case Fn::kChar:
      out.setText(character(lng(0)));
      return;
    case Fn::kDate:
      out.setNumber(static_cast<double>(internalDateToday()));
      return;
    case Fn::kTime:
      out.setNumber(static_cast<double>(internalTimeNow()));
      return;
    case Fn::kConvert:
      out.setText(convertChars(txt(0), txt(1), txt(2)));
      return;
    case Fn::kChange:
      if (txt(2).size() > txt(1).size())
        checkSize(static_cast<double>(txt(0).size()) +
                  static_cast<double>(countOf(txt(0), txt(1))) *
                      static_cast<double>(txt(2).size() - txt(1).size()));
      out.setText(changeAll(txt(0), txt(1), txt(2)));
      return;
    case Fn::kNot:
      out.setNumber(a[0]->truth() ? 0 : 1);
      return;
    case Fn::kCount_:
      break;
  }
  throw Failure{"bad function"};
}

}  // namespace tarn::server::corvex
