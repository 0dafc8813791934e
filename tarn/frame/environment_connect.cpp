// The environment's members that reach past the frame: connections and the about box.
#include "tarn/about/about.h"
#include "tarn/connection/connection.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error_internal.h"

namespace tarn {

namespace {
constexpr char16_t kClassName[] = u"clsTarnEnvironment";

bool beginsWithOdbc(StringView s) {
  if (s.size() < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char16_t c = s[i];
    if (c >= u'a' && c <= u'z') c -= 32;
    if (c != u"ODBC"[i]) return false;
  }
  return true;
}
}  // namespace

Ref<clsTarnConnection> clsTarnEnvironment::brOpenConnection(const String& sDomain,
                                                            const String& sDBMS) {
  const String domain = beginsWithOdbc(sDomain) ? sDomain : String(u"ODBC");
  return withHandler(
      sOperation, kClassName,
      [&] { return u"brOpenConnection('" + domain + u"','" + sDBMS + u"')"; },
      [&]() -> Ref<clsTarnConnection> {
        domain_ = domain;
        database_ = sDBMS;
        Ref<clsTarnConnection> connection(new clsTarnConnection());
        connection->rsInitialize(Ref<clsTarnEnvironment>(this));
        return connection;
      });
}

void clsTarnEnvironment::brCloseConnection(Ref<clsTarnConnection>& aConnection) {
  withHandler(sOperation, kClassName, [] { return String(u"brCloseConnection"); },
              [&] {
                if (aConnection) aConnection->rsCloseTclObj();
                aConnection.reset();
              });
}

void clsTarnEnvironment::brAbout() {
  const Ref<frmTarnAbout> form = frmTarnAbout::load();
  form->setText(AboutControl::lblVersionText, brVersion());
  form->setText(AboutControl::lblDescText, brDescription());
  form->setText(AboutControl::lblTypeText, brType());
  form->setText(AboutControl::lblCopyrightText, brCopyright());
  form->Show();
}

}  // namespace tarn
