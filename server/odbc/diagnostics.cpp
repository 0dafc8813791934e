#include "server/odbc/diagnostics.h"

#include "common/secret_text.h"

namespace tarn::server::odbc {
namespace {
constexpr std::string_view kPrefix = "[TarnCL][tarnodbc]";
}

void Diagnostics::clear() noexcept {
  records_.clear();
  reported_ = 0;
  returnCode_ = SQL_SUCCESS;
}

void Diagnostics::post(std::string_view state, std::string_view message,
                       SQLINTEGER native) noexcept {
  try {
    DiagRecord r;
    r.native = native;
    r.state.assign(state.substr(0, 5));
    // Every text the driver reports passes here: a password in it (a connection string, a
    // System= value an engine message quoted) never reaches the application.
    const std::string shown = secrets::masked(message);
    r.message.reserve(kPrefix.size() + shown.size());
    r.message.append(kPrefix).append(shown);
    records_.push_back(std::move(r));
  } catch (...) {
    // Out of memory while reporting: the caller's return code still tells the failure.
  }
}

const DiagRecord* Diagnostics::record(SQLSMALLINT number) const noexcept {
  if (number < 1 || static_cast<std::size_t>(number) > records_.size()) return nullptr;
  return &records_[static_cast<std::size_t>(number) - 1];
}

const DiagRecord* Diagnostics::takeNext() noexcept {
  if (reported_ >= records_.size()) return nullptr;
  return &records_[reported_++];
}

}  // namespace tarn::server::odbc
