// clsTarnEnvironment: the root object. Opens connections, makes dynamic arrays, holds the locale
// settings that new connections copy, reports the library's identity and the last error.
#pragma once

#include <cstdint>

#include "tarn/frame/export.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnConnection;
class clsTarnDynamicArray;

class TARN_API clsTarnEnvironment : public Object {
 public:
  // A new environment: locale settings from the process locale, case-insensitive comparisons.
  [[nodiscard]] static Ref<clsTarnEnvironment> create();

  // Currency sign, decimal and grouping separators that new connections apply on the server.
  [[nodiscard]] String brCurrency() const { return currency_; }
  void brCurrency(const String& value) { currency_ = value; }
  [[nodiscard]] String brDecimal() const { return decimal_; }
  void brDecimal(const String& value) { decimal_ = value; }
  [[nodiscard]] String brGrouping() const { return grouping_; }
  void brGrouping(const String& value) { grouping_ = value; }
  // Case sensitivity of linked dynamic arrays' comparisons and of new connections.
  [[nodiscard]] bool brCasing() const { return casing_; }
  void brCasing(bool value);

  // The domain and data source of the most recent brOpenConnection ("" until then).
  [[nodiscard]] String brDomain() const { return domain_; }
  [[nodiscard]] String brDatabase() const;
  [[nodiscard]] const String& rsDatabaseText() const noexcept { return database_; }

  // The library's identity: "2.0.29", its description, type, name and copyright notice.
  [[nodiscard]] String brVersion() const;
  [[nodiscard]] String brDescription() const;
  [[nodiscard]] String brType() const;
  [[nodiscard]] String brName() const;
  [[nodiscard]] String brCopyright() const;

  // The last error number the library raised (0 when none); aVar, when given, receives it too.
  [[nodiscard]] std::int32_t brError() const;
  std::int32_t brError(Variant& aVar) const;

  // Shows the about box modally with this library's version, description, type and copyright
  // (a window under a display, a text box otherwise: see setAboutPresenter); returns when it is
  // closed. Throws what the presenter throws.
  void brAbout();

  // Opens a connection: a domain not beginning with "ODBC" (any case) becomes "ODBC"; "ODBC;"
  // selects a pass-through session. Throws TarnError (source clsTarnEnvironment.brOpenConnection
  // ('domain','dbms')) with the number of the first failure.
  [[nodiscard]] Ref<clsTarnConnection> brOpenConnection(const String& sDomain, const String& sDBMS);
  // Breaks the connection's tie to its command object and empties aConnection; the connection
  // closes its session when its last reference goes.
  void brCloseConnection(Ref<clsTarnConnection>& aConnection);

  // A new linked dynamic array holding sString (converted to text), or empty when omitted.
  [[nodiscard]] Ref<clsTarnDynamicArray> brOpenDynamicArray(
      const Variant& sString = Variant::missing());

  // The handle text naming the object's class and instance; brIsODBC is always True (the
  // library speaks ODBC only).
  [[nodiscard]] String brHandle() const;
  [[nodiscard]] bool brIsODBC() const { return true; }
  // A new unique id on every call: four hex parts joined by "-", no leading zeros.
  [[nodiscard]] String brUniqueId() const;

 private:
  friend class clsTarnDynamicArray;
  friend class clsTarnConnection;
  clsTarnEnvironment();

  [[nodiscard]] const String& rsInitialString() const { return staged_; }
  // 0: binary (case-sensitive) comparison; 1: text (case-insensitive) comparison.
  [[nodiscard]] std::int16_t rsCompareMode() const { return compareMode_; }

  String domain_;
  String database_;
  String staged_;
  String currency_;
  String grouping_;
  String decimal_;
  bool casing_ = false;
  std::int16_t compareMode_ = 1;
  String sOperation;
};

}  // namespace tarn
