#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "server/engine/text/utf8.h"
#include "server/odbc/handles.h"

namespace tarn::server::odbc {
namespace {

// A request's reply is one row of one column; a ".".request is the DAO shape, status and data.
constexpr ColumnDef kRequestColumns[] = {{"REPLY", SQL_VARCHAR}};
constexpr ColumnDef kDaoColumns[] = {{"STATUS", SQL_VARCHAR}, {"DATA", SQL_VARCHAR}};
constexpr std::size_t kStatusWidth = 4;

enum class Shape { kRequest, kDao, kInvalid };

Shape shapeOf(std::string_view text) noexcept {
  if (text.starts_with(".-")) return Shape::kRequest;
  if (text.starts_with(".")) return Shape::kDao;
  return Shape::kInvalid;
}

std::span<const ColumnDef> columnsOf(Shape shape) noexcept {
  if (shape == Shape::kRequest) return kRequestColumns;
  return kDaoColumns;
}

[[noreturn]] void syntaxError(std::string_view text) {
  std::string shown(text.substr(0, 40));
  throw DiagnosticError("42000",
                        "Syntax error or access violation: a statement is a request "
                        "beginning with \".-\" or \".\", not \"" +
                            shown + "\"");
}

// The request with \xFB..\xFF (either letter case) made the mark bytes and \\ one backslash;
// any other backslash stays as typed.
std::string withMarks(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() &&
               (text[i + 1] == 'x' || text[i + 1] == 'X') && hex(text[i + 2]) == 15 &&
               hex(text[i + 3]) >= 11) {
      out.push_back(static_cast<char>(0xF0 + hex(text[i + 3])));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool isCharType(SQLSMALLINT t) noexcept {
  return t == SQL_VARCHAR || t == SQL_CHAR || t == SQL_LONGVARCHAR || t == SQL_WVARCHAR ||
         t == SQL_WCHAR || t == SQL_WLONGVARCHAR;
}

}  // namespace

Statement::Statement(Connection& connection) noexcept
    : Handle(SQL_HANDLE_STMT), connection_(connection) {}

void Statement::close() noexcept {
  cursor_ = Cursor::kClosed;
  hasRow_ = false;
  columns_ = {};
  // Released, not kept: the next reply comes in a string of its own, and a large item's should
  // not stay behind it while the client takes the copy it fetched apart.
  std::string().swap(reply_);
  serverMessage_.clear();
  getColumn_ = 0;
  getOffset_ = 0;
  getDone_ = false;
}

SQLRETURN Statement::prepare(std::string_view text) {
  close();
  if (shapeOf(text) == Shape::kInvalid) syntaxError(text);
  prepared_.assign(text);
  hasPrepared_ = true;
  columns_ = columnsOf(shapeOf(text));
  return SQL_SUCCESS;
}

SQLRETURN Statement::execute() {
  if (!hasPrepared_) throw DiagnosticError("HY010", "Function sequence error");
  return execDirect(prepared_);
}

SQLRETURN Statement::execDirect(std::string_view text) {
  close();
  const Shape shape = shapeOf(text);
  if (shape == Shape::kInvalid) syntaxError(text);
  const std::size_t prefix = shape == Shape::kRequest ? 2 : 1;
  reply_ = connection_.settings().markEscapes
               ? connection_.execute(withMarks(text.substr(prefix)), &serverMessage_)
               : connection_.execute(text.substr(prefix), &serverMessage_);
  if (shape == Shape::kRequest) {
    columns_ = kRequestColumns;
    values_[0] = {0, reply_.size()};
  } else {
    columns_ = kDaoColumns;
    const std::size_t status = std::min(kStatusWidth, reply_.size());
    const std::size_t data = std::min(kStatusWidth + 1, reply_.size());
    values_[0] = {0, status};
    values_[1] = {data, reply_.size() - data};
  }
  hasRow_ = true;
  cursor_ = Cursor::kBeforeRow;
  return SQL_SUCCESS;
}

SQLRETURN Statement::emptyResult(std::span<const ColumnDef> columns) {
  close();
  columns_ = columns;
  hasRow_ = false;
  cursor_ = Cursor::kBeforeRow;
  return SQL_SUCCESS;
}

SQLRETURN Statement::fetch() {
  if (cursor_ == Cursor::kClosed) throw DiagnosticError("24000", "Invalid cursor state");
  SQLULEN* fetched = rowsFetched_;
  SQLUSMALLINT* status = rowStatus_;
  if (cursor_ != Cursor::kBeforeRow || !hasRow_) {
    cursor_ = Cursor::kAfterRow;
    if (fetched != nullptr) *fetched = 0;
    return SQL_NO_DATA;
  }
  cursor_ = Cursor::kOnRow;
  getColumn_ = 0;
  if (fetched != nullptr) *fetched = 1;
  if (status != nullptr) *status = SQL_ROW_SUCCESS;
  SQLRETURN rc = SQL_SUCCESS;
  if (!serverMessage_.empty()) {
    SQLINTEGER status = 0;
    std::from_chars(reply_.data(), reply_.data() + std::min(kStatusWidth, reply_.size()), status);
    diag().post("01000", serverMessage_, status);
    rc = SQL_SUCCESS_WITH_INFO;
  }
  for (std::size_t i = 0; i < bindings_.size() && i < columns_.size(); ++i) {
    const Binding& b = bindings_[i];
    if (b.target == nullptr && b.indicator == nullptr) continue;
    std::size_t offset = 0;
    const auto column = static_cast<SQLUSMALLINT>(i + 1);
    if (transfer(value(column), offset, columns_[i], b.cType, b.target, b.capacity, b.indicator) ==
        SQL_SUCCESS_WITH_INFO) {
      rc = SQL_SUCCESS_WITH_INFO;
    }
  }
  if (rc == SQL_SUCCESS_WITH_INFO && status != nullptr) *status = SQL_ROW_SUCCESS_WITH_INFO;
  return rc;
}

SQLRETURN Statement::numResultCols(SQLSMALLINT* count) const {
  if (count != nullptr) *count = static_cast<SQLSMALLINT>(columns_.size());
  return SQL_SUCCESS;
}

const ColumnDef& Statement::columnAt(SQLUSMALLINT column) const {
  if (column < 1 || column > columns_.size()) {
    throw DiagnosticError("07009", "Invalid descriptor index");
  }
  return columns_[column - 1];
}

SQLSMALLINT Statement::describedType(const ColumnDef& c) const noexcept {
  if (c.sqlType == SQL_VARCHAR && connection_.clientCharset() == Charset::kWide) {
    return SQL_WVARCHAR;
  }
  return c.sqlType;
}

std::string_view Statement::value(SQLUSMALLINT column) const noexcept {
  if (!hasRow_ || column < 1 || column > values_.size()) return {};
  const auto& [offset, length] = values_[column - 1];
  return std::string_view(reply_).substr(offset, length);
}

SQLLEN Statement::valueLength(SQLUSMALLINT column) const noexcept {
  return static_cast<SQLLEN>(value(column).size());
}

SQLLEN Statement::wideLength(SQLUSMALLINT column) const noexcept {
  if (connection_.encoding() == Encoding::kUtf8) {
    return static_cast<SQLLEN>(text::utf16Length(value(column)));
  }
  return valueLength(column);
}

SQLRETURN Statement::describeCol(SQLUSMALLINT column, TextOut name, SQLSMALLINT* nameLength,
                                 SQLSMALLINT* dataType, SQLULEN* columnSize,
                                 SQLSMALLINT* decimalDigits, SQLSMALLINT* nullable) {
  const ColumnDef& c = columnAt(column);
  bool truncated = false;
  SQLLEN n = name.write(c.name, truncated);
  if (nameLength != nullptr) *nameLength = static_cast<SQLSMALLINT>(n);
  if (dataType != nullptr) *dataType = describedType(c);
  if (columnSize != nullptr) *columnSize = static_cast<SQLULEN>(valueLength(column));
  if (decimalDigits != nullptr) *decimalDigits = 0;
  if (nullable != nullptr) *nullable = SQL_NO_NULLS;
  if (!truncated) return SQL_SUCCESS;
  diag().post("01004", "String data, right truncated");
  return SQL_SUCCESS_WITH_INFO;
}

SQLRETURN Statement::colAttribute(SQLUSMALLINT column, SQLUSMALLINT field, TextOut text,
                                  SQLSMALLINT* textLength, SQLLEN* number) {
  auto putNumber = [&](SQLLEN v) {
    if (number != nullptr) *number = v;
    return SQL_SUCCESS;
  };
  auto putText = [&](std::string_view s) {
    bool truncated = false;
    SQLLEN n = text.write(s, truncated);
    if (textLength != nullptr) *textLength = static_cast<SQLSMALLINT>(n);
    if (!truncated) return SQL_SUCCESS;
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  };
  if (field == SQL_COLUMN_COUNT || field == SQL_DESC_COUNT) {
    return putNumber(static_cast<SQLLEN>(columns_.size()));
  }
  const ColumnDef& c = columnAt(column);
  const SQLSMALLINT type = describedType(c);
  const bool wide = type == SQL_WVARCHAR;
  const SQLLEN length = wide ? wideLength(column) : valueLength(column);
  switch (field) {
    case SQL_COLUMN_NAME:
    case SQL_DESC_NAME:
    case SQL_DESC_LABEL:
    case SQL_DESC_BASE_COLUMN_NAME:
      return putText(c.name);
    case SQL_COLUMN_TYPE:
    case SQL_DESC_TYPE:
      return putNumber(type);
    case SQL_COLUMN_TYPE_NAME:
    case SQL_DESC_LOCAL_TYPE_NAME:
      return putText(type == SQL_WVARCHAR  ? "WVARCHAR"
                     : type == SQL_VARCHAR ? "VARCHAR"
                     : type == SQL_INTEGER ? "INTEGER"
                                           : "SMALLINT");
    // The reply's own length: the class library sizes its one SQLGetData by it.
    case SQL_COLUMN_LENGTH:
      return putNumber(wide ? length * 2 : length);
    case SQL_DESC_LENGTH:
    case SQL_COLUMN_PRECISION:
    case SQL_DESC_PRECISION:
    case SQL_COLUMN_DISPLAY_SIZE:
      return putNumber(length);
    case SQL_DESC_OCTET_LENGTH:
      return putNumber(wide ? length * 2 : length);
    case SQL_COLUMN_SCALE:
    case SQL_DESC_SCALE:
    case SQL_DESC_NUM_PREC_RADIX:
    case SQL_COLUMN_MONEY:
    case SQL_COLUMN_AUTO_INCREMENT:
      return putNumber(0);
    case SQL_COLUMN_NULLABLE:
    case SQL_DESC_NULLABLE:
      return putNumber(SQL_NO_NULLS);
    case SQL_COLUMN_UNSIGNED:
      return putNumber(isCharType(type) ? SQL_TRUE : SQL_FALSE);
    case SQL_COLUMN_UPDATABLE:
      return putNumber(SQL_ATTR_READONLY);
    case SQL_COLUMN_CASE_SENSITIVE:
      return putNumber(isCharType(type) ? SQL_TRUE : SQL_FALSE);
    case SQL_COLUMN_SEARCHABLE:
      return putNumber(SQL_PRED_NONE);
    case SQL_DESC_UNNAMED:
      return putNumber(SQL_NAMED);
    case SQL_COLUMN_TABLE_NAME:
    case SQL_COLUMN_OWNER_NAME:
    case SQL_COLUMN_QUALIFIER_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
      return putText("");
    case SQL_DESC_LITERAL_PREFIX:
    case SQL_DESC_LITERAL_SUFFIX:
      return putText(isCharType(type) ? "'" : "");
    default:
      throw DiagnosticError("HY091", "Invalid descriptor field identifier");
  }
}

SQLRETURN Statement::transfer(std::string_view v, std::size_t& offset, const ColumnDef& column,
                              SQLSMALLINT cType, SQLPOINTER target, SQLLEN capacity,
                              SQLLEN* indicator) {
  if (cType == SQL_C_DEFAULT) {
    cType = describedType(column) == SQL_WVARCHAR ? SQL_C_WCHAR : SQL_C_CHAR;
  }
  const std::string_view rest = v.substr(std::min(offset, v.size()));
  const auto remaining = static_cast<SQLLEN>(rest.size());
  auto truncatedInfo = [&] {
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  };
  switch (cType) {
    case SQL_C_CHAR: {
      if (indicator != nullptr) *indicator = remaining;
      if (target == nullptr || capacity <= 0) return remaining > 0 ? truncatedInfo() : SQL_SUCCESS;
      const SQLLEN k = std::min(remaining, capacity - 1);
      auto* out = static_cast<char*>(target);
      std::memcpy(out, rest.data(), static_cast<std::size_t>(k));
      out[k] = '\0';
      offset += static_cast<std::size_t>(k);
      return k < remaining ? truncatedInfo() : SQL_SUCCESS;
    }
    case SQL_C_WCHAR: {
      if (connection_.encoding() == Encoding::kUtf8) {
        return transferUtf8Wide(rest, offset, target, capacity, indicator);
      }
      if (indicator != nullptr) *indicator = remaining * 2;
      const SQLLEN room = capacity / 2;
      if (target == nullptr || room <= 0) return remaining > 0 ? truncatedInfo() : SQL_SUCCESS;
      const SQLLEN k = std::min(remaining, room - 1);
      auto* out = static_cast<std::uint16_t*>(target);
      bytesToWide(rest.substr(0, static_cast<std::size_t>(k)), out);
      out[k] = 0;
      offset += static_cast<std::size_t>(k);
      return k < remaining ? truncatedInfo() : SQL_SUCCESS;
    }
    case SQL_C_BINARY: {
      if (indicator != nullptr) *indicator = remaining;
      const SQLLEN k = target == nullptr ? 0 : std::min(remaining, std::max<SQLLEN>(capacity, 0));
      if (k > 0) std::memcpy(target, rest.data(), static_cast<std::size_t>(k));
      offset += static_cast<std::size_t>(k);
      return k < remaining ? truncatedInfo() : SQL_SUCCESS;
    }
    case SQL_C_SLONG:
    case SQL_C_LONG:
    case SQL_C_SBIGINT: {
      // Statuses and numeric replies; leading blanks are allowed, as in a status.
      std::string_view digits = rest;
      while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
      long long n = 0;
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      if (ec != std::errc() || end != digits.data() + digits.size()) {
        throw DiagnosticError("22018", "Invalid character value for the requested C type");
      }
      if (cType == SQL_C_SBIGINT) {
        if (target != nullptr) *static_cast<SQLBIGINT*>(target) = n;
        if (indicator != nullptr) *indicator = sizeof(SQLBIGINT);
      } else {
        if (n < INT32_MIN || n > INT32_MAX) {
          throw DiagnosticError("22003", "Numeric value out of range");
        }
        if (target != nullptr) *static_cast<SQLINTEGER*>(target) = static_cast<SQLINTEGER>(n);
        if (indicator != nullptr) *indicator = sizeof(SQLINTEGER);
      }
      offset = v.size();
      return SQL_SUCCESS;
    }
    default:
      throw DiagnosticError("07006", "Restricted data type attribute violation");
  }
}

SQLRETURN Statement::transferUtf8Wide(std::string_view rest, std::size_t& offset, SQLPOINTER target,
                                      SQLLEN capacity, SQLLEN* indicator) {
  const std::u16string wide = engineToWide(rest);
  const auto remaining = static_cast<SQLLEN>(wide.size());
  if (indicator != nullptr) *indicator = remaining * 2;
  const SQLLEN room = capacity / 2;
  SQLLEN k = target == nullptr || room <= 0 ? 0 : std::min(remaining, room - 1);
  // A surrogate pair is not split between two calls.
  if (k > 0 && k < remaining && wide[static_cast<std::size_t>(k - 1)] >= 0xD800 &&
      wide[static_cast<std::size_t>(k - 1)] <= 0xDBFF) {
    --k;
  }
  if (target != nullptr && room > 0) {
    auto* out = static_cast<char16_t*>(target);
    std::copy_n(wide.data(), k, out);
    out[k] = 0;
  }
  // Advance by the bytes of the k units taken: count characters back in engine text.
  std::size_t units = 0;
  std::size_t at = 0;
  bool mark = false;
  while (units < static_cast<std::size_t>(k) && at < rest.size()) {
    const char32_t c = text::nextChar(rest, at, mark);
    units += c != text::kInvalid && c > 0xFFFF ? 2 : 1;
  }
  offset += at;
  if (k < remaining) {
    diag().post("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLRETURN Statement::getData(SQLUSMALLINT column, SQLSMALLINT cType, SQLPOINTER target,
                             SQLLEN capacity, SQLLEN* indicator) {
  if (cursor_ != Cursor::kOnRow) throw DiagnosticError("24000", "Invalid cursor state");
  const ColumnDef& c = columnAt(column);
  if (column != getColumn_) {
    // Moving to another column discards what was left of the previous one.
    getColumn_ = column;
    getOffset_ = 0;
    getDone_ = false;
  }
  if (getDone_) return SQL_NO_DATA;
  SQLRETURN rc = transfer(value(column), getOffset_, c, cType, target, capacity, indicator);
  if (rc == SQL_SUCCESS) getDone_ = true;
  return rc;
}

SQLRETURN Statement::bindCol(SQLUSMALLINT column, SQLSMALLINT cType, SQLPOINTER target,
                             SQLLEN capacity, SQLLEN* indicator) {
  if (column < 1) throw DiagnosticError("07009", "Invalid descriptor index");
  if (bindings_.size() < column) bindings_.resize(column);
  bindings_[column - 1] = Binding{cType, target, capacity, indicator};
  return SQL_SUCCESS;
}

SQLRETURN Statement::rowCount(SQLLEN* count) const {
  if (count != nullptr) *count = hasRow_ ? 1 : (cursor_ == Cursor::kClosed ? -1 : 0);
  return SQL_SUCCESS;
}

SQLRETURN Statement::freeStmt(SQLUSMALLINT option) {
  switch (option) {
    case SQL_CLOSE:
      close();
      // A prepared statement keeps describing its columns until it runs again.
      if (hasPrepared_) columns_ = columnsOf(shapeOf(prepared_));
      return SQL_SUCCESS;
    case SQL_UNBIND:
      bindings_.clear();
      return SQL_SUCCESS;
    case SQL_RESET_PARAMS:
      return SQL_SUCCESS;
    default:
      throw DiagnosticError("HY092", "Invalid attribute/option identifier");
  }
}

SQLRETURN Statement::closeCursor() {
  if (cursor_ == Cursor::kClosed) throw DiagnosticError("24000", "Invalid cursor state");
  return freeStmt(SQL_CLOSE);
}

SQLRETURN Statement::setAttr(SQLINTEGER attribute, SQLPOINTER value) {
  const auto v = reinterpret_cast<SQLULEN>(value);
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC:
    case SQL_ATTR_APP_PARAM_DESC:
    case SQL_ATTR_IMP_ROW_DESC:
    case SQL_ATTR_IMP_PARAM_DESC:
      throw DiagnosticError("HYC00", "Optional feature not implemented");
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE:
    case SQL_ATTR_PARAMSET_SIZE:
      // One row is all a reply ever has.
      if (v != 1) {
        diag().post("01S02", "Option value changed");
        return SQL_SUCCESS_WITH_INFO;
      }
      return SQL_SUCCESS;
    case SQL_ATTR_CURSOR_TYPE:
      if (v != SQL_CURSOR_FORWARD_ONLY) {
        diag().post("01S02", "Option value changed");
        return SQL_SUCCESS_WITH_INFO;
      }
      return SQL_SUCCESS;
    case SQL_ATTR_CONCURRENCY:
      if (v != SQL_CONCUR_READ_ONLY) {
        diag().post("01S02", "Option value changed");
        return SQL_SUCCESS_WITH_INFO;
      }
      return SQL_SUCCESS;
    case SQL_ATTR_ROWS_FETCHED_PTR:
      rowsFetched_ = static_cast<SQLULEN*>(value);
      return SQL_SUCCESS;
    case SQL_ATTR_ROW_STATUS_PTR:
      rowStatus_ = static_cast<SQLUSMALLINT*>(value);
      return SQL_SUCCESS;
    default:
      attributes_[attribute] = v;
      return SQL_SUCCESS;
  }
}

SQLRETURN Statement::getAttr(SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER* length) {
  auto put = [&](SQLULEN v) {
    if (value != nullptr) std::memcpy(value, &v, sizeof v);
    if (length != nullptr) *length = sizeof v;
    return SQL_SUCCESS;
  };
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC:
      return put(reinterpret_cast<SQLULEN>(&descriptors_[0]));
    case SQL_ATTR_APP_PARAM_DESC:
      return put(reinterpret_cast<SQLULEN>(&descriptors_[1]));
    case SQL_ATTR_IMP_ROW_DESC:
      return put(reinterpret_cast<SQLULEN>(&descriptors_[2]));
    case SQL_ATTR_IMP_PARAM_DESC:
      return put(reinterpret_cast<SQLULEN>(&descriptors_[3]));
    case SQL_ATTR_ROW_NUMBER:
      return put(cursor_ == Cursor::kOnRow ? 1 : 0);
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE:
    case SQL_ATTR_PARAMSET_SIZE:
      return put(1);
    case SQL_ATTR_CURSOR_TYPE:
      return put(SQL_CURSOR_FORWARD_ONLY);
    case SQL_ATTR_CONCURRENCY:
      return put(SQL_CONCUR_READ_ONLY);
    case SQL_ATTR_CURSOR_SCROLLABLE:
      return put(SQL_NONSCROLLABLE);
    case SQL_ATTR_CURSOR_SENSITIVITY:
      return put(SQL_INSENSITIVE);
    case SQL_ATTR_ROWS_FETCHED_PTR:
      return put(reinterpret_cast<SQLULEN>(rowsFetched_));
    case SQL_ATTR_ROW_STATUS_PTR:
      return put(reinterpret_cast<SQLULEN>(rowStatus_));
    case SQL_ATTR_RETRIEVE_DATA:
      if (attributes_.count(attribute) == 0) return put(SQL_RD_ON);
      break;
    default:
      break;
  }
  if (auto it = attributes_.find(attribute); it != attributes_.end()) return put(it->second);
  switch (attribute) {
    case SQL_ATTR_QUERY_TIMEOUT:
    case SQL_ATTR_MAX_ROWS:
    case SQL_ATTR_NOSCAN:
    case SQL_ATTR_MAX_LENGTH:
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_ROW_BIND_TYPE:
    case SQL_ATTR_USE_BOOKMARKS:
    case SQL_ATTR_KEYSET_SIZE:
    case SQL_ATTR_SIMULATE_CURSOR:
    case SQL_ATTR_ENABLE_AUTO_IPD:
    case SQL_ATTR_METADATA_ID:
    case SQL_ATTR_PARAM_BIND_TYPE:
    case SQL_ATTR_ROW_BIND_OFFSET_PTR:
    case SQL_ATTR_ROW_OPERATION_PTR:
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR:
    case SQL_ATTR_PARAM_OPERATION_PTR:
    case SQL_ATTR_PARAM_STATUS_PTR:
    case SQL_ATTR_PARAMS_PROCESSED_PTR:
      return put(0);
    default:
      throw DiagnosticError("HY092", "Invalid attribute/option identifier");
  }
}

}  // namespace tarn::server::odbc
