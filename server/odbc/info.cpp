// SQLGetInfo answers: what a forward-only, read-only, single-row driver without SQL offers.
#include <cstring>
#include <variant>

#include "server/odbc/handles.h"

namespace tarn::server::odbc {
namespace {

using InfoValue = std::variant<std::monostate, std::string, SQLUSMALLINT, SQLUINTEGER>;

constexpr const char* kDriverVersion = "02.00.0029";

InfoValue answer(SQLUSMALLINT type, const Connection& c) {
  switch (type) {
    // Texts
    case SQL_DRIVER_NAME:
      return std::string("libtarnodbc.so");
    case SQL_DRIVER_VER:
      return std::string(kDriverVersion);
    case SQL_DRIVER_ODBC_VER:
      return std::string("03.52");
    case SQL_ODBC_VER:
      return std::string("03.52.0000");
    case SQL_DBMS_NAME:
      return std::string("Tarn");
    case SQL_DBMS_VER:
      return std::string(kDriverVersion);
    case SQL_DATA_SOURCE_NAME:
      return c.settings().dsn;
    case SQL_SERVER_NAME:
      return c.settings().system;
    case SQL_DATABASE_NAME:
    case SQL_USER_NAME:
      return c.settings().account;
    case SQL_DATA_SOURCE_READ_ONLY:
    case SQL_ACCESSIBLE_PROCEDURES:
    case SQL_ACCESSIBLE_TABLES:
    case SQL_PROCEDURES:
    case SQL_EXPRESSIONS_IN_ORDERBY:
    case SQL_ORDER_BY_COLUMNS_IN_SELECT:
    case SQL_OUTER_JOINS:
    case SQL_MULT_RESULT_SETS:
    case SQL_ROW_UPDATES:
    case SQL_COLUMN_ALIAS:
    case SQL_DESCRIBE_PARAMETER:
    case SQL_INTEGRITY:
    case SQL_LIKE_ESCAPE_CLAUSE:
    case SQL_MAX_ROW_SIZE_INCLUDES_LONG:
    case SQL_NEED_LONG_DATA_LEN:
    case SQL_CATALOG_NAME:
      return std::string("N");
    case SQL_MULTIPLE_ACTIVE_TXN:
      return std::string("Y");
    case SQL_IDENTIFIER_QUOTE_CHAR:
      return std::string("\"");
    case SQL_CATALOG_NAME_SEPARATOR:
    case SQL_SEARCH_PATTERN_ESCAPE:
    case SQL_SPECIAL_CHARACTERS:
    case SQL_KEYWORDS:
    case SQL_SCHEMA_TERM:
    case SQL_PROCEDURE_TERM:
    case SQL_COLLATION_SEQ:
      return std::string();
    case SQL_CATALOG_TERM:
      return std::string("account");
    case SQL_TABLE_TERM:
      return std::string("file");
    // 16-bit values
    case SQL_MAX_DRIVER_CONNECTIONS:
    case SQL_MAX_CONCURRENT_ACTIVITIES:
    case SQL_MAX_COLUMN_NAME_LEN:
    case SQL_MAX_CURSOR_NAME_LEN:
    case SQL_MAX_SCHEMA_NAME_LEN:
    case SQL_MAX_CATALOG_NAME_LEN:
    case SQL_MAX_TABLE_NAME_LEN:
    case SQL_MAX_COLUMNS_IN_SELECT:
    case SQL_MAX_COLUMNS_IN_TABLE:
    case SQL_MAX_COLUMNS_IN_GROUP_BY:
    case SQL_MAX_COLUMNS_IN_ORDER_BY:
    case SQL_MAX_COLUMNS_IN_INDEX:
    case SQL_MAX_TABLES_IN_SELECT:
    case SQL_MAX_USER_NAME_LEN:
    case SQL_MAX_PROCEDURE_NAME_LEN:
    case SQL_MAX_IDENTIFIER_LEN:
      return SQLUSMALLINT{0};
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR:
      return SQLUSMALLINT{SQL_CB_PRESERVE};
    case SQL_TXN_CAPABLE:
      return SQLUSMALLINT{SQL_TC_NONE};
    case SQL_CONCAT_NULL_BEHAVIOR:
      return SQLUSMALLINT{SQL_CB_NULL};
    case SQL_CORRELATION_NAME:
      return SQLUSMALLINT{SQL_CN_NONE};
    case SQL_NON_NULLABLE_COLUMNS:
      return SQLUSMALLINT{SQL_NNC_NON_NULL};
    case SQL_NULL_COLLATION:
      return SQLUSMALLINT{SQL_NC_LOW};
    case SQL_FILE_USAGE:
      return SQLUSMALLINT{SQL_FILE_NOT_SUPPORTED};
    case SQL_IDENTIFIER_CASE:
    case SQL_QUOTED_IDENTIFIER_CASE:
      return SQLUSMALLINT{SQL_IC_SENSITIVE};
    case SQL_GROUP_BY:
      return SQLUSMALLINT{SQL_GB_NOT_SUPPORTED};
    case SQL_CATALOG_LOCATION:
      return SQLUSMALLINT{0};
    case SQL_ODBC_API_CONFORMANCE:
      return SQLUSMALLINT{SQL_OAC_LEVEL1};
    case SQL_ODBC_SQL_CONFORMANCE:
      return SQLUSMALLINT{SQL_OSC_MINIMUM};
    case SQL_ODBC_SAG_CLI_CONFORMANCE:
      return SQLUSMALLINT{SQL_OSCC_NOT_COMPLIANT};
    // 32-bit values
    case SQL_GETDATA_EXTENSIONS:
      return SQLUINTEGER{SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND};
    case SQL_SCROLL_OPTIONS:
      return SQLUINTEGER{SQL_SO_FORWARD_ONLY};
    case SQL_SCROLL_CONCURRENCY:
      return SQLUINTEGER{SQL_SCCO_READ_ONLY};
    case SQL_FETCH_DIRECTION:
      return SQLUINTEGER{SQL_FD_FETCH_NEXT};
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1:
      return SQLUINTEGER{SQL_CA1_NEXT};
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2:
      return SQLUINTEGER{SQL_CA2_READ_ONLY_CONCURRENCY};
    case SQL_DEFAULT_TXN_ISOLATION:
    case SQL_TXN_ISOLATION_OPTION:
      return SQLUINTEGER{SQL_TXN_SERIALIZABLE};
    case SQL_ASYNC_MODE:
      return SQLUINTEGER{SQL_AM_NONE};
    case SQL_ODBC_INTERFACE_CONFORMANCE:
      return SQLUINTEGER{SQL_OIC_CORE};
    case SQL_SQL_CONFORMANCE:
      return SQLUINTEGER{SQL_SC_SQL92_ENTRY};
    case SQL_PARAM_ARRAY_ROW_COUNTS:
      return SQLUINTEGER{SQL_PARC_NO_BATCH};
    case SQL_PARAM_ARRAY_SELECTS:
      return SQLUINTEGER{SQL_PAS_NO_SELECT};
    case SQL_MAX_ASYNC_CONCURRENT_STATEMENTS:
    case SQL_MAX_ROW_SIZE:
    case SQL_MAX_STATEMENT_LEN:
    case SQL_MAX_CHAR_LITERAL_LEN:
    case SQL_MAX_BINARY_LITERAL_LEN:
    case SQL_MAX_INDEX_SIZE:
    case SQL_CONVERT_FUNCTIONS:
    case SQL_NUMERIC_FUNCTIONS:
    case SQL_STRING_FUNCTIONS:
    case SQL_SYSTEM_FUNCTIONS:
    case SQL_TIMEDATE_FUNCTIONS:
    case SQL_TIMEDATE_ADD_INTERVALS:
    case SQL_TIMEDATE_DIFF_INTERVALS:
    case SQL_BATCH_SUPPORT:
    case SQL_BATCH_ROW_COUNT:
    case SQL_BOOKMARK_PERSISTENCE:
    case SQL_STATIC_SENSITIVITY:
    case SQL_LOCK_TYPES:
    case SQL_POS_OPERATIONS:
    case SQL_POSITIONED_STATEMENTS:
    case SQL_STATIC_CURSOR_ATTRIBUTES1:
    case SQL_STATIC_CURSOR_ATTRIBUTES2:
    case SQL_DYNAMIC_CURSOR_ATTRIBUTES1:
    case SQL_DYNAMIC_CURSOR_ATTRIBUTES2:
    case SQL_KEYSET_CURSOR_ATTRIBUTES1:
    case SQL_KEYSET_CURSOR_ATTRIBUTES2:
    case SQL_CATALOG_USAGE:
    case SQL_SCHEMA_USAGE:
    case SQL_SUBQUERIES:
    case SQL_UNION:
    case SQL_OJ_CAPABILITIES:
    case SQL_ALTER_TABLE:
    case SQL_CREATE_TABLE:
    case SQL_DROP_TABLE:
    case SQL_INDEX_KEYWORDS:
    case SQL_INFO_SCHEMA_VIEWS:
    case SQL_SQL92_PREDICATES:
    case SQL_SQL92_RELATIONAL_JOIN_OPERATORS:
    case SQL_AGGREGATE_FUNCTIONS:
    case SQL_DATETIME_LITERALS:
    case SQL_CONVERT_VARCHAR:
    case SQL_CONVERT_CHAR:
    case SQL_CONVERT_LONGVARCHAR:
    case SQL_CONVERT_WCHAR:
    case SQL_CONVERT_WVARCHAR:
    case SQL_CONVERT_WLONGVARCHAR:
      return SQLUINTEGER{0};
    default:
      return std::monostate{};
  }
}

}  // namespace

SQLRETURN Connection::getInfo(SQLUSMALLINT type, SQLPOINTER value, TextOut text,
                              SQLSMALLINT* length) {
  InfoValue v = answer(type, *this);
  if (auto* s = std::get_if<std::string>(&v)) {
    bool truncated = false;
    SQLLEN n = text.write(*s, truncated);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(n);
    if (!truncated) return SQL_SUCCESS;
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  if (auto* u16 = std::get_if<SQLUSMALLINT>(&v)) {
    if (value != nullptr) std::memcpy(value, u16, sizeof *u16);
    if (length != nullptr) *length = sizeof *u16;
    return SQL_SUCCESS;
  }
  if (auto* u32 = std::get_if<SQLUINTEGER>(&v)) {
    if (value != nullptr) std::memcpy(value, u32, sizeof *u32);
    if (length != nullptr) *length = sizeof *u32;
    return SQL_SUCCESS;
  }
  throw DiagnosticError("HY096", "Information type out of range");
}

}  // namespace tarn::server::odbc
