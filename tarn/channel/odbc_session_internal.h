// clsTarnODBC: the one pipe between a connection and the database server. Internal: no client
// sees it, and this header is not installed.
#pragma once

#include <memory>
#include <string>

#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/odbc_handles_internal.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn {

class clsTarnConnection;
namespace dao {
class Database;
}

// A session opens one ODBC connection (API mode: one environment, connection and statement
// handle) or one pass-through database (DAO mode) and sends requests through it, one at a time.
// Apartment-threaded: used from one thread, no locks. The members are public because the class
// itself is internal; every class that sends requests calls rsCmd.
class clsTarnODBC : public Object {
 public:
  // A session that is not connected yet.
  [[nodiscard]] static Ref<clsTarnODBC> create();
  ~clsTarnODBC() override;

  // Opens the session on aConn's brDomain and brDatabase: a fifth domain character ";" selects
  // DAO mode, anything else API mode. Throws TarnError (source clsTarnODBC.<sOperation>): 1281
  // when a handle cannot be allocated, 1284..1287 by SQL state when the connect fails (also when
  // it only succeeds with information, and also when the driver settled on another wire encoding
  // than the connection string asked for: Encoding=UTF-8 or Windows-1252, with words saying
  // so), the DAO error's own number in DAO mode; the error keeps the failing call's SQL state and
  // message. On failure the session stays not connected and every handle it allocated has been
  // freed.
  void rsInitialize(clsTarnConnection& aConn);
  // The same on a domain and database text given directly.
  void rsInitialize(const String& domain, const String& database);

  // Sends sCmd and leaves the reply data in sCmd. A non-zero status raises 1024 + status after
  // sCmd holds the data. A request the wire encoding cannot carry (a lone surrogate in UTF-8, a
  // character without a byte under Strict=Yes) raises 5 naming the character and its position,
  // and nothing is sent. Throws 1281 when not connected (operation "rsCmd " + sCmd) or when the
  // request cannot be executed or has no reply (keeping the ODBC diagnostic); in DAO mode the DAO
  // error's number.
  // Replies are taken as the driver gives them: no row or an SQL NULL is "no reply" (1281); a
  // column length shorter than the reply cuts it there, a negative one reads nothing; NUL bytes
  // are data; a reply shorter than five characters has only the status it holds (possibly "",
  // which counts as 0) and empty data. In DAO mode a result with no row raises 3021, a NULL
  // status 94 (invalid use of Null), and NULL data fields add nothing.
  void rsCmd(String& sCmd);
  // As rsCmd(sCmd), but when vStatus is supplied (not missing) it receives the status text as a
  // string and a non-zero status raises nothing.
  void rsCmd(String& sCmd, Variant& vStatus);

  // Asks the driver to stop the request running on this session (SQLCancel); safe from another
  // thread while rsCmd waits, which is the only time it matters. Nothing when not connected.
  void rsCancel() noexcept;

  // True once rsInitialize succeeded, until teardown.
  [[nodiscard]] bool rsConnected() const noexcept { return connected_; }
  // True for a session on the ODBC API, false for a pass-through database.
  [[nodiscard]] bool rsApiMode() const noexcept { return apiMode_; }
  // The operation text of the last failure, for error sources.
  [[nodiscard]] const String& rsOperation() const noexcept { return sOperation; }

 private:
  clsTarnODBC();

  void openApi();
  void openDao();
  void sendApi(String& sCmd, String& status);
  void sendDao(String& sCmd, String& status);
  void command(String& sCmd, Variant* vStatus);
  // Raises library code number under this class, keeping the failing ODBC call's diagnostic.
  [[noreturn]] void raise(std::int32_t number, OdbcDiagnostic diagnostic = {});

  std::unique_ptr<dao::Database> database_;
  String databaseName_;
  bool connected_ = false;
  bool apiMode_ = true;
  String domain_;
  odbc::EnvHandle env_;
  odbc::ConnHandle dbc_;
  odbc::StmtHandle stmt_;
  std::string wire_;                 // the last request's and reply's bytes (API mode)
  // The server's words on the last reply's failure, which the driver hands over as a warning of
  // the fetch (beside the reply, whose bytes the protocol fixes); no state when it sent none.
  OdbcDiagnostic serverNote_;
  codepage::WireCodePage codePage_;  // how texts travel, as agreed with the driver at connect
  String sOperation;
};

}  // namespace tarn
