// The driver's three handle kinds. Each entry point checks the handle's kind, clears its
// diagnostics and calls one member here; members report failures by throwing DiagnosticError.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/engine/port.h"
#include "server/odbc/connect_settings.h"
#include "server/odbc/diagnostics.h"
#include "server/odbc/text_out.h"

namespace tarn::server::odbc {

class Handle {
 public:
  explicit Handle(SQLSMALLINT type) noexcept : type_(type) {}
  // Wipes the tag so that a stale pointer is refused rather than used.
  virtual ~Handle() { tag_ = 0; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  // Returns whether h is a live handle of the given kind (SQL_HANDLE_ENV, _DBC or _STMT).
  [[nodiscard]] static bool isLive(const void* h, SQLSMALLINT type) noexcept {
    if (h == nullptr) return false;
    const auto* p = static_cast<const Handle*>(h);
    return p->tag_ == kLiveTag && p->type_ == type;
  }
  [[nodiscard]] SQLSMALLINT type() const noexcept { return type_; }
  [[nodiscard]] Diagnostics& diag() noexcept { return diag_; }

 private:
  static constexpr std::uint32_t kLiveTag = 0x54524E48;
  std::uint32_t tag_ = kLiveTag;
  SQLSMALLINT type_;
  Diagnostics diag_;
};

class Environment final : public Handle {
 public:
  Environment() noexcept : Handle(SQL_HANDLE_ENV) {}
  // Stores an environment attribute; HY024 for a value the driver cannot take.
  SQLRETURN setAttr(SQLINTEGER attribute, SQLPOINTER value);
  // Reads an environment attribute (all are 32-bit integers); HY092 for an unknown one.
  SQLRETURN getAttr(SQLINTEGER attribute, SQLPOINTER value) const;

  // Connections allocated on this environment and not yet freed.
  std::atomic<int> connections{0};

 private:
  SQLUINTEGER odbcVersion_ = SQL_OV_ODBC3;
  SQLUINTEGER pooling_ = SQL_CP_OFF;
  SQLUINTEGER poolMatch_ = SQL_CP_STRICT_MATCH;
  SQLUINTEGER outputNts_ = SQL_TRUE;
};

class Statement;

class Connection final : public Handle {
 public:
  explicit Connection(Environment& env) noexcept;
  ~Connection() override;

  // Logs on with the attributes of a connection string (DSN=, System=, Account=); charset is
  // how the client called, and decides whether text columns are described as wide.
  // Throws DiagnosticError: 08002 already connected, 08001 no system or the engine refused.
  SQLRETURN open(const std::vector<std::pair<std::string, std::string>>& attributes,
                 Charset charset);
  // SQLDriverConnect: logs on and echoes the connection string as the completed one (nothing is
  // ever prompted for), adding ";Encoding=UTF-8" when the data source chose UTF-8 and the
  // string did not say so, so that the client learns what to send; 01004 when it does not fit.
  SQLRETURN driverConnect(std::string_view connectionString, TextOut out, SQLSMALLINT* outLength,
                          Charset charset);
  // Frees the connection's statements and logs the port off. 08003 when not connected.
  SQLRETURN disconnect();

  // Runs one request (in the connection's encoding) on this connection's port and returns the
  // reply in the same encoding. Requests on one connection are serialised; different
  // connections run at once. Throws DiagnosticError 08003 when not connected, 22018 when a
  // UTF-8 connection sends bytes that are not well-formed UTF-8 and marks.
  // message receives the engine's words on a failed request (Port::message), in the same
  // encoding; empty when it has none.
  [[nodiscard]] std::string execute(std::string_view request, std::string* message = nullptr);
  // A reply, unless the port lost its database server: then 08S01 with the reply's text.
  [[nodiscard]] std::string checkAlive(std::string reply) const;
  // Stops the request running on another thread when it is a subroutine call; nothing else
  // is stopped. Never blocks on the running request.
  void cancel() noexcept;

  // Returns a new statement owned by this connection. 08003 when not connected.
  [[nodiscard]] Statement* allocStatement();
  // Frees a statement of this connection.
  void freeStatement(Statement* statement) noexcept;

  [[nodiscard]] bool connected() const noexcept { return port_ != nullptr; }
  [[nodiscard]] Charset clientCharset() const noexcept { return charset_; }
  // What the connection's ANSI texts are in (its Encoding= attribute).
  [[nodiscard]] Encoding encoding() const noexcept { return settings_.encoding; }
  // A wide statement text as this connection's ANSI text. Throws DiagnosticError 22018 for a
  // lone surrogate on a UTF-8 connection.
  [[nodiscard]] std::string fromWide(const std::uint16_t* text, std::size_t length) const;
  [[nodiscard]] const ConnectSettings& settings() const noexcept { return settings_; }
  [[nodiscard]] Environment& environment() noexcept { return env_; }

  // Connection attributes: integers are stored as given; the string ones (current catalog,
  // trace file, translate library) are answered from the account or as empty text.
  SQLRETURN setAttr(SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length);
  SQLRETURN getAttr(SQLINTEGER attribute, SQLPOINTER value, TextOut text, SQLINTEGER* length);
  // SQLGetInfo: the answers isql, pyodbc and the class library ask for; HY096 otherwise.
  SQLRETURN getInfo(SQLUSMALLINT type, SQLPOINTER value, TextOut text, SQLSMALLINT* length);

 private:
  Environment& env_;
  std::mutex portMutex_;  // one thread at a time on the port
  std::unique_ptr<Port> port_;
  // The port while a request runs, for cancel from another thread: the port cannot go while
  // it is set, because execute holds portMutex_ until it is cleared.
  std::mutex runningMutex_;
  Port* running_ = nullptr;
  std::mutex statementsMutex_;
  std::vector<std::unique_ptr<Statement>> statements_;
  ConnectSettings settings_;
  Charset charset_ = Charset::kAnsi;
  std::map<SQLINTEGER, SQLULEN> attributes_;
};

// One result column as SQLDescribeCol tells it.
struct ColumnDef {
  std::string_view name;
  SQLSMALLINT sqlType;  // SQL_VARCHAR is described as SQL_WVARCHAR to wide clients
};

class Statement final : public Handle {
 public:
  explicit Statement(Connection& connection) noexcept;

  [[nodiscard]] Connection& connection() noexcept { return connection_; }
  [[nodiscard]] const Connection& connection() const noexcept { return connection_; }

  // Keeps the text for SQLExecute; 42000 unless it begins with "." (a request).
  SQLRETURN prepare(std::string_view text);
  // Runs the prepared text. HY010 when nothing is prepared.
  SQLRETURN execute();
  // Runs text: ".-" + request gives one row of one column (the whole reply), "." + request one
  // row of two (status, data). Anything else: 42000.
  SQLRETURN execDirect(std::string_view text);
  // Opens an empty result with the given columns (the catalog functions).
  SQLRETURN emptyResult(std::span<const ColumnDef> columns);

  SQLRETURN fetch();
  SQLRETURN numResultCols(SQLSMALLINT* count) const;
  SQLRETURN describeCol(SQLUSMALLINT column, TextOut name, SQLSMALLINT* nameLength,
                        SQLSMALLINT* dataType, SQLULEN* columnSize, SQLSMALLINT* decimalDigits,
                        SQLSMALLINT* nullable);
  // SQLColAttribute and SQLColAttributes: the 2.x and 3.x field identifiers alike. The length
  // fields give the value's true byte length once a request has run.
  SQLRETURN colAttribute(SQLUSMALLINT column, SQLUSMALLINT field, TextOut text,
                         SQLSMALLINT* textLength, SQLLEN* number);
  // Returns the value of a column of the current row, in pieces when the buffer is short
  // (01004, the rest on the next call, SQL_NO_DATA once all of it has gone).
  SQLRETURN getData(SQLUSMALLINT column, SQLSMALLINT cType, SQLPOINTER target, SQLLEN capacity,
                    SQLLEN* indicator);
  SQLRETURN bindCol(SQLUSMALLINT column, SQLSMALLINT cType, SQLPOINTER target, SQLLEN capacity,
                    SQLLEN* indicator);
  SQLRETURN rowCount(SQLLEN* count) const;
  // SQL_CLOSE, SQL_UNBIND and SQL_RESET_PARAMS (SQL_DROP frees the handle, at the entry point).
  SQLRETURN freeStmt(SQLUSMALLINT option);
  // 24000 when no cursor is open.
  SQLRETURN closeCursor();
  SQLRETURN setAttr(SQLINTEGER attribute, SQLPOINTER value);
  SQLRETURN getAttr(SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER* length);

 private:
  enum class Cursor { kClosed, kBeforeRow, kOnRow, kAfterRow };
  struct Binding {
    SQLSMALLINT cType = 0;
    SQLPOINTER target = nullptr;
    SQLLEN capacity = 0;
    SQLLEN* indicator = nullptr;
  };
  // The implicit descriptors the driver manager asks for; nothing reads through them.
  struct Descriptor {
    char unused = 0;
  };

  void close() noexcept;
  [[nodiscard]] const ColumnDef& columnAt(SQLUSMALLINT column) const;
  [[nodiscard]] SQLSMALLINT describedType(const ColumnDef& c) const noexcept;
  [[nodiscard]] std::string_view value(SQLUSMALLINT column) const noexcept;
  [[nodiscard]] SQLLEN valueLength(SQLUSMALLINT column) const noexcept;
  // The value's length in UTF-16 units, as a wide client receives it.
  [[nodiscard]] SQLLEN wideLength(SQLUSMALLINT column) const noexcept;
  // SQL_C_WCHAR of engine text (UTF-8 connections): offset counts bytes of the value.
  SQLRETURN transferUtf8Wide(std::string_view rest, std::size_t& offset, SQLPOINTER target,
                             SQLLEN capacity, SQLLEN* indicator);
  SQLRETURN transfer(std::string_view value, std::size_t& offset, const ColumnDef& column,
                     SQLSMALLINT cType, SQLPOINTER target, SQLLEN capacity, SQLLEN* indicator);

  Connection& connection_;
  std::string prepared_;
  bool hasPrepared_ = false;
  std::span<const ColumnDef> columns_;
  std::string reply_;
  // The engine's words on the reply's failure: the fetch of its row hands them to the client as
  // a warning (01000, native code the status), leaving the reply's bytes as the protocol has them.
  std::string serverMessage_;
  std::array<std::pair<std::size_t, std::size_t>, 2> values_{};  // offset and length by column
  Cursor cursor_ = Cursor::kClosed;
  bool hasRow_ = false;
  SQLUSMALLINT getColumn_ = 0;
  std::size_t getOffset_ = 0;
  bool getDone_ = false;
  std::vector<Binding> bindings_;
  SQLULEN* rowsFetched_ = nullptr;
  SQLUSMALLINT* rowStatus_ = nullptr;
  std::map<SQLINTEGER, SQLULEN> attributes_;
  std::array<Descriptor, 4> descriptors_{};
};

}  // namespace tarn::server::odbc
