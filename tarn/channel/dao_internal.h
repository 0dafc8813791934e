// A small data-access-object layer over ODBC: the engine, workspace 0, databases opened through
// an ODBC connect string, and pass-through recordsets whose fields are read as values. Its
// failures carry the numbers that layer has always used: 3151 when the connection fails, 3146
// when a call on it fails.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tarn/channel/code_page_internal.h"
#include "tarn/channel/odbc_handles_internal.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"

namespace tarn::dao {

inline constexpr std::int32_t dbOpenDynaset = 2;
inline constexpr std::int32_t dbOpenSnapshot = 4;
inline constexpr std::int32_t dbOpenForwardOnly = 8;
inline constexpr std::int32_t dbSQLPassThrough = 64;

namespace daoerr {
inline constexpr std::int32_t kInvalidArgument = 3001;
inline constexpr std::int32_t kNoCurrentRecord = 3021;
inline constexpr std::int32_t kCallFailed = 3146;
inline constexpr std::int32_t kConnectionFailed = 3151;
inline constexpr std::int32_t kInstallableIsam = 3170;
inline constexpr std::int32_t kItemNotFound = 3265;
}  // namespace daoerr

class SharedEnvironment;

// One column of the current row.
class Field {
 public:
  // The value: a string, or null for an SQL NULL. Throws 3021 when the recordset has no row.
  [[nodiscard]] const Variant& value() const;

 private:
  friend class Recordset;
  Variant value_;
  bool hasRow_ = false;
};

// The result of a pass-through query, positioned on its first row (or at its end when it has
// none). Its statement handle lives until Close or destruction.
class Recordset {
 public:
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;
  ~Recordset();

  // Number of columns of the result.
  [[nodiscard]] std::int32_t fieldCount() const noexcept {
    return static_cast<std::int32_t>(fields_.size());
  }
  // Column index (0-based); throws 3265 when there is no such column.
  [[nodiscard]] const Field& field(std::int32_t index) const;
  // True when the result has no current row.
  [[nodiscard]] bool eof() const noexcept { return eof_; }
  // Releases the statement; the fields keep their values.
  void close() noexcept;
  // The server's words the driver attached to the row (a failed request's); no state when none.
  [[nodiscard]] const OdbcDiagnostic& warning() const noexcept { return warning_; }

 private:
  friend class Database;
  Recordset() = default;
  void load(SQLHDBC dbc, const std::string& statement, const codepage::WireCodePage& codePage);

  odbc::StmtHandle stmt_;
  std::vector<Field> fields_;
  bool eof_ = true;
  OdbcDiagnostic warning_;
};

// An open ODBC connection. Closing (or destroying) it disconnects and frees its handles.
class Database {
 public:
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Executes source as a pass-through query (type dbOpenDynaset, dbOpenSnapshot or
  // dbOpenForwardOnly; options must include dbSQLPassThrough, else 3001). Throws 3146 when the
  // statement cannot be executed or its row read, 3146 too after Close.
  [[nodiscard]] std::unique_ptr<Recordset> openRecordset(StringView source, std::int32_t type,
                                                         std::int32_t options);
  // Disconnects; later openRecordset calls fail.
  void close() noexcept;

 private:
  friend class Workspace;
  Database() = default;

  std::shared_ptr<SharedEnvironment> env_;
  odbc::ConnHandle dbc_;
  codepage::WireCodePage codePage_;  // how texts travel, as the driver's completed string says
};

// Workspace 0 of the engine.
class Workspace {
 public:
  // Opens name through connect, which must begin "ODBC;" (any case; else 3170). The ODBC connect
  // string is what follows "ODBC;" when it names a DSN=, DRIVER= or FILEDSN=; otherwise name when
  // it names one of those itself, followed by the rest; otherwise "DSN=" + name + ";" + the rest.
  // readOnly asks the driver for a read-only connection; exclusive means nothing to an ODBC
  // source and is ignored. Throws 3151 "ODBC--connection to 'name' failed." when the connection
  // cannot be made.
  [[nodiscard]] std::unique_ptr<Database> openDatabase(StringView name, bool exclusive,
                                                       bool readOnly, StringView connect);

  // The ODBC connect string that openDatabase uses for (name, connect); throws 3170 as above.
  [[nodiscard]] static String connectString(StringView name, StringView connect);
};

// The process-wide engine, made on first use. Its ODBC environment lives while any database it
// opened is open.
class DBEngine {
 public:
  [[nodiscard]] static DBEngine& instance();
  // Workspace index; only 0 exists (3265 otherwise).
  [[nodiscard]] Workspace& workspace(std::int32_t index);

 private:
  DBEngine() = default;
  Workspace workspace0_;
};

}  // namespace tarn::dao
