#include "server/engine/store/postgres/pg.h"

#include <unistd.h>

#include <cstring>
#include <fstream>

namespace tarn::server::store::postgres {
namespace {

// A dead server or network is noticed within about idle + interval * count seconds, on both
// ends: these are the client's settings, and kSessionSettings asks the same of the server's end
// so that a vanished client's session (and with it its port's locks) ends as soon.
constexpr const char* kKeepalives[][2] = {{"keepalives", "1"},
                                          {"keepalives_idle", "10"},
                                          {"keepalives_interval", "5"},
                                          {"keepalives_count", "3"}};

// Waiting for another session's lock for longer than this is reported as busy, as a SQLite
// store reports a writer that held the file past its wait.
constexpr const char* kSessionSettings =
    "SET lock_timeout='10s'; SET tcp_keepalives_idle=10; SET tcp_keepalives_interval=5; "
    "SET tcp_keepalives_count=3; SET tcp_user_timeout=25000; "
    "SET default_transaction_isolation='read committed'; LISTEN " TARN_PROTECTION_CHANNEL;

// The error classes in which the server or the network ended the session.
bool connectionGone(const char* state) {
  if (state == nullptr) return false;
  return std::strncmp(state, "08", 2) == 0 || std::strcmp(state, "57P01") == 0 ||
         std::strcmp(state, "57P02") == 0 || std::strcmp(state, "57P03") == 0;
}

StoreFailure failureOf(const char* state) {
  const std::string_view s(state);
  if (s == "53100") return StoreFailure::kFull;
  if (s == "25006") return StoreFailure::kReadOnly;
  if (s == "40001" || s == "40P01" || s == "55P03") return StoreFailure::kBusy;
  if (s == "XX001" || s == "XX002") return StoreFailure::kCorrupt;
  if (s.starts_with("58")) return StoreFailure::kIo;
  if (s == "23503") return StoreFailure::kNoSection;
  return StoreFailure::kOther;
}

// The server's message on one line: replies carry it as a field.
std::string trimmed(const char* message) {
  std::string out;
  for (const char* p = message ? message : ""; *p != '\0'; ++p) {
    const bool blank = *p == '\n' || *p == '\t' || *p == '\r' || *p == ' ';
    if (!blank)
      out.push_back(*p);
    else if (!out.empty() && out.back() != ' ')
      out.push_back(' ');
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

Params& Params::add(std::int64_t value) noexcept {
  unsigned char* out = integers_[n_];
  auto bits = static_cast<std::uint64_t>(value);
  for (int i = 7; i >= 0; --i, bits >>= 8) out[i] = static_cast<unsigned char>(bits & 0xFF);
  values_[n_] = reinterpret_cast<const char*>(out);
  lengths_[n_] = 8;
  formats_[n_++] = 1;
  return *this;
}

Params& Params::add(std::string_view bytes) noexcept {
  // A null pointer would bind SQL NULL: an empty key must stay an empty value.
  values_[n_] = bytes.empty() ? "" : bytes.data();
  lengths_[n_] = static_cast<int>(bytes.size());
  formats_[n_++] = 1;
  return *this;
}

Params& Params::addFolded(std::string_view name) {
  std::string& f = folded_.at(folds_++);
  f.assign(name);
  for (char& c : f)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return add(std::string_view(f));
}

Params& Params::null() noexcept {
  values_[n_] = nullptr;
  lengths_[n_] = 0;
  formats_[n_++] = 1;
  return *this;
}

std::string_view Result::bytes(int row, int column) const noexcept {
  return {PQgetvalue(r_.get(), row, column),
          static_cast<std::size_t>(PQgetlength(r_.get(), row, column))};
}

std::int64_t Result::integer(int row, int column) const noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r_.get(), row, column));
  const int size = PQgetlength(r_.get(), row, column);
  if (size == 1) return p[0];  // a boolean
  std::uint64_t bits = 0;
  for (int i = 0; i < size; ++i) bits = (bits << 8) | p[i];
  // Sign-extend the narrower integer types.
  if (size > 0 && size < 8 && (p[0] & 0x80) != 0) bits |= ~std::uint64_t{0} << (8 * size);
  return static_cast<std::int64_t>(bits);
}

std::int64_t Result::changed() const noexcept {
  const char* n = r_ ? PQcmdTuples(r_.get()) : "";
  return *n ? std::strtoll(n, nullptr, 10) : 0;
}

Session::Session(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &error);
  if (parsed == nullptr) {
    std::string message = error ? trimmed(error) : "out of memory";
    PQfreemem(error);
    throw StoreError(StoreFailure::kOther, "bad PostgreSQL connection string: " + message);
  }
  std::vector<const char*> keys, values;
  bool ownKeepalives = false, ownName = false;
  for (PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    keys.push_back(o->keyword);
    values.push_back(o->val);
    ownKeepalives = ownKeepalives || std::strncmp(o->keyword, "keepalives", 10) == 0;
    ownName = ownName || std::strcmp(o->keyword, "application_name") == 0;
  }
  // So that an administrator can tell the ports' sessions apart from others in pg_stat_activity.
  if (!ownName) {
    keys.push_back("application_name");
    values.push_back("tarn port");
  }
  if (!ownKeepalives) {
    for (const auto& kv : kKeepalives) {
      keys.push_back(kv[0]);
      values.push_back(kv[1]);
    }
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectdbParams(keys.data(), values.data(), 0);
  PQconninfoFree(parsed);
  if (conn_ == nullptr) throw StoreError(StoreFailure::kOther, "out of memory connecting");
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string message = trimmed(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreError(StoreFailure::kIo, "cannot connect to the PostgreSQL server: " + message);
  }
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  exec(kSessionSettings);
}

Session::~Session() {
  if (conn_ != nullptr) PQfinish(conn_);
}

std::uint64_t Session::protectionNotices() {
  ensureOpen();
  // Reads what the server has sent without waiting: no round trip on the hot path.
  if (PQconsumeInput(conn_) == 0) markLost(trimmed(PQerrorMessage(conn_)));
  while (PGnotify* n = PQnotifies(conn_)) {
    ++protectionNotices_;
    PQfreemem(n);
  }
  return protectionNotices_;
}

void Session::ensureOpen() const {
  if (!lost_.empty()) throw StoreError(StoreFailure::kLost, lost_);
}

void Session::markLost(const std::string& detail) {
  lost_ =
      "the connection to the PostgreSQL server was lost (" + detail + "); the port must reconnect";
  throw StoreError(StoreFailure::kLost, lost_);
}

void Session::check(PGresult* result, const std::string& context) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
  Result owned(result);
  fail(result, context);
}

void Session::fail(const PGresult* result, const std::string& context) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string message = trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
  if (message.empty()) message = "no answer from the server";
  if (PQstatus(conn_) == CONNECTION_BAD || connectionGone(state)) {
    markLost(message);
  }
  throw StoreError(state ? failureOf(state) : StoreFailure::kOther, context + ": " + message);
}

void Session::prepare(const Query& q) {
  if (prepared_.count(q.name) != 0) return;
  PGresult* made = PQprepare(conn_, q.name.c_str(), q.sql.c_str(), static_cast<int>(q.types.size()),
                             q.types.data());
  check(made, q.sql);
  PQclear(made);
  prepared_.insert(q.name);
}

Result Session::runPair(const Query& first, const Params& firstParams, const Query& second,
                        const Params& secondParams) {
  ensureOpen();
  prepare(first);
  prepare(second);
  // In a pipeline the statements up to the sync form one implicit transaction (or belong to the
  // caller's), and in READ COMMITTED each takes its own snapshot.
  bool sent = PQenterPipelineMode(conn_) == 1;
  sent = sent &&
         PQsendQueryPrepared(conn_, first.name.c_str(), firstParams.size(), firstParams.values(),
                             firstParams.lengths(), firstParams.formats(), 1) == 1;
  sent = sent &&
         PQsendQueryPrepared(conn_, second.name.c_str(), secondParams.size(), secondParams.values(),
                             secondParams.lengths(), secondParams.formats(), 1) == 1;
  sent = sent && PQpipelineSync(conn_) == 1;
  std::vector<Result> results;
  if (sent) {
    // Each statement's result is followed by a null; the sync's result ends the pipeline.
    for (int nulls = 0; nulls < 2;) {
      PGresult* r = PQgetResult(conn_);
      if (r == nullptr) {
        ++nulls;
        if (PQstatus(conn_) == CONNECTION_BAD) break;
        continue;
      }
      nulls = 0;
      if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
        PQclear(r);
        break;
      }
      results.emplace_back(r);
    }
  }
  PQexitPipelineMode(conn_);
  // The first real failure is reported; statements after it only say they were skipped.
  for (const Result& r : results) {
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && status != PGRES_PIPELINE_ABORTED)
      fail(r.get(), second.sql);
  }
  if (results.size() != 2) fail(nullptr, second.sql);
  return std::move(results.back());
}

Result Session::run(const Query& q, const Params& params) {
  ensureOpen();
  prepare(q);
  PGresult* r = PQexecPrepared(conn_, q.name.c_str(), params.size(), params.values(),
                               params.lengths(), params.formats(), 1);
  check(r, q.sql);
  return Result(r);
}

void Session::exec(const char* sql) {
  ensureOpen();
  PGresult* r = PQexec(conn_, sql);
  check(r, sql);
  PQclear(r);
}

void Session::transaction(const char* begin, const std::function<void()>& body, bool join) {
  if (join && inTransaction()) return body();
  exec(begin);
  try {
    body();
    exec("COMMIT");
  } catch (...) {
    if (inTransaction()) {
      try {
        exec("ROLLBACK");
      } catch (const StoreError&) {
        // A lost connection has ended the transaction already.
      }
    }
    throw;
  }
}

void Session::copyIn(const std::string& sql, std::string_view data) {
  ensureOpen();
  PGresult* r = PQexec(conn_, sql.c_str());
  if (r == nullptr || PQresultStatus(r) != PGRES_COPY_IN) check(r, sql);
  PQclear(r);
  constexpr std::size_t kChunk = 1 << 20;
  bool sent = true;
  for (std::size_t at = 0; sent && at < data.size(); at += kChunk) {
    const std::string_view piece = data.substr(at, kChunk);
    sent = PQputCopyData(conn_, piece.data(), static_cast<int>(piece.size())) == 1;
  }
  if (PQputCopyEnd(conn_, sent ? nullptr : "the client could not send the rows") != 1) {
    markLost(trimmed(PQerrorMessage(conn_)));
  }
  // The COPY's outcome; every result is drained before a failure is reported.
  PGresult* failed = nullptr;
  while (PGresult* done = PQgetResult(conn_)) {
    if (failed == nullptr && PQresultStatus(done) != PGRES_COMMAND_OK)
      failed = done;
    else
      PQclear(done);
  }
  if (failed != nullptr) check(failed, sql);
}

bool Session::inTransaction() const noexcept {
  const PGTransactionStatusType t = PQtransactionStatus(conn_);
  return t == PQTRANS_INTRANS || t == PQTRANS_INERROR || t == PQTRANS_ACTIVE;
}

std::string Session::tagFor(const std::string& schema) {
  for (std::size_t i = 0; i < tags_.size(); ++i)
    if (tags_[i] == schema) return "s" + std::to_string(i) + "_";
  tags_.push_back(schema);
  return "s" + std::to_string(tags_.size() - 1) + "_";
}

std::string Session::quote(std::string_view identifier) {
  std::string out = "\"";
  for (char c : identifier) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

const std::string& processSpace() {
  static const std::string space = [] {
    std::string boot;
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::getline(in, boot);
    char ns[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/pid", ns, sizeof ns - 1);
    // Without both there is nothing to compare safely: no other port ever matches.
    if (boot.empty() || n <= 0) return std::string();
    return boot + "/" + std::string(ns, static_cast<std::size_t>(n));
  }();
  return space;
}

bool processGone(std::string_view space, const ProcessIdentity& process) {
  return !space.empty() && space == processSpace() && !isAlive(process);
}

Query schemaQuery(std::string_view tag, std::string_view schema, std::string_view name,
                  std::string_view sql, std::string_view types) {
  Query q;
  q.name.append(tag).append(name);
  const std::string qualifier = Session::quote(schema) + ".";
  for (std::size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] == '@' && i + 1 < sql.size() && sql[i + 1] == '.') {
      q.sql += qualifier;
      ++i;
    } else {
      q.sql += sql[i];
    }
  }
  for (char t : types) q.types.push_back(t == 'i' ? kInt8 : kBytea);
  return q;
}

std::int64_t lockKey(char space, std::string_view schema, std::int64_t number,
                     std::string_view bytes) noexcept {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&h](unsigned char c) {
    h ^= c;
    h *= 1099511628211ull;
  };
  mix(static_cast<unsigned char>(space));
  for (char c : schema) mix(static_cast<unsigned char>(c));
  mix(0);
  for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>(number >> (8 * i)));
  for (char c : bytes) mix(static_cast<unsigned char>(c));
  return static_cast<std::int64_t>(h);
}

}  // namespace tarn::server::store::postgres
