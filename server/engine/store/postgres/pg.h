// Thin owners over libpq as the PostgreSQL store uses it: one session (connection) per port,
// statements prepared once per session, every parameter and result in binary form so that the
// engine's bytes (marks 0xFB-0xFF are not valid UTF-8) pass untouched.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/engine/store/sql/sql_statements.h"
#include "server/engine/store/store.h"

namespace tarn::server::store::postgres {

// The first key of the session-level advisory lock that a port holds, two-int4 form (the second
// is the port number): 'T' 'R' 'N' 0. Every other advisory lock of the store is a one-bigint key,
// which never meets these.
inline constexpr int kPortLockSpace = 0x54524E00;

// The channel on which a change of any account's credentials or grants is announced; every
// session listens from its start, so that it never misses one.
#define TARN_PROTECTION_CHANNEL "tarn_protection"

// Type oids of the parameters the store binds.
inline constexpr Oid kInt8 = 20;
inline constexpr Oid kBytea = 17;

// Up to kMaxParams parameters of one execution. Bytes are not copied: they must outlive the call.
// Integers live inside the object, which therefore is never copied.
class Params {
 public:
  static constexpr int kMaxParams = 10;
  Params() = default;
  Params(const Params&) = delete;
  Params& operator=(const Params&) = delete;
  Params& add(std::int64_t value) noexcept;
  Params& add(std::string_view bytes) noexcept;
  // A copy of name folded to lower case in ASCII, as the folded columns keep names.
  Params& addFolded(std::string_view name);
  Params& null() noexcept;
  [[nodiscard]] int size() const noexcept { return n_; }
  [[nodiscard]] const char* const* values() const noexcept { return values_; }
  [[nodiscard]] const int* lengths() const noexcept { return lengths_; }
  [[nodiscard]] const int* formats() const noexcept { return formats_; }

 private:
  const char* values_[kMaxParams] = {};
  int lengths_[kMaxParams] = {};
  int formats_[kMaxParams] = {};
  unsigned char integers_[kMaxParams][8] = {};
  std::array<std::string, 2> folded_;  // no statement binds more than two names
  int n_ = 0, folds_ = 0;
};

struct ResultClearer {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};

// A result in binary form.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* r) : r_(r) {}
  [[nodiscard]] int rows() const noexcept { return r_ ? PQntuples(r_.get()) : 0; }
  [[nodiscard]] std::string_view bytes(int row, int column) const noexcept;
  // An int8, int4, int2 or boolean column.
  [[nodiscard]] std::int64_t integer(int row, int column) const noexcept;
  [[nodiscard]] const PGresult* get() const noexcept { return r_.get(); }
  // Rows changed by an INSERT, UPDATE or DELETE.
  [[nodiscard]] std::int64_t changed() const noexcept;

 private:
  std::unique_ptr<PGresult, ResultClearer> r_;
};

// The rows of a result one at a time, as the SQL stores' seam (sql_seam.h) reads them.
class Rows {
 public:
  explicit Rows(Result r) : r_(std::move(r)) {}
  [[nodiscard]] bool next() noexcept { return ++row_ < r_.rows(); }
  [[nodiscard]] std::int64_t integer(int column) const noexcept { return r_.integer(row_, column); }
  [[nodiscard]] std::string_view bytes(int column) const noexcept { return r_.bytes(row_, column); }

 private:
  Result r_;
  int row_ = -1;
};

// Adds one value of the seam (sql_seam.h) to p.
inline void addValue(Params& p, std::int64_t value) {
  p.add(value);
}
inline void addValue(Params& p, std::string_view bytes) {
  p.add(bytes);
}
inline void addValue(Params& p, sql::Text text) {
  p.add(text.text);
}
inline void addValue(Params& p, sql::Folded name) {
  p.addFolded(name.name);
}
inline void addValue(Params& p, sql::OrNull value) {
  if (value.present)
    p.add(value.bytes);
  else
    p.null();
}

// A statement of the store: a name unique in the session and its SQL.
struct Query {
  std::string name;
  std::string sql;
  std::vector<Oid> types;
};

// A statement on one schema: "@." in sql stands for the quoted schema, tag prefixes the name,
// and each letter of types gives a parameter's type: 'i' int8, 'b' bytea.
[[nodiscard]] Query schemaQuery(std::string_view tag, std::string_view schema,
                                std::string_view name, std::string_view sql,
                                std::string_view types);

// The statements of table (sql_statements.h) on schema into their slots, each named prefix and
// its number.
template <typename Id, std::size_t N, std::size_t M>
void prepareAll(const std::string& prefix, std::string_view schema,
                const sql::StatementText<Id> (&table)[M], std::array<Query, N>& slots) {
  for (const auto& t : table) {
    const auto n = static_cast<std::size_t>(t.id);
    slots[n] = schemaQuery(prefix, schema, std::to_string(n), t.sql, t.types);
  }
}

// Adds values to p, no more of them than q has parameters.
template <typename... Values>
void addValues(Params& p, const Query& q, const Values&... values) {
  ((p.size() < static_cast<int>(q.types.size()) ? addValue(p, values) : void()), ...);
}

// One connection to the server: a port's database session. Not for more than one thread.
class Session {
 public:
  // Connects with conninfo (a URI or keywords); keepalives are added unless it sets its own.
  // Throws StoreError.
  explicit Session(const std::string& conninfo);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Runs q (prepared on first use) with params; results come in binary. Throws StoreError.
  Result run(const Query& q, const Params& params = {});
  // The same with the values of sql_seam.h, bound by addValues.
  template <typename... Values>
  Result runWith(const Query& q, const Values&... values) {
    Params p;
    addValues(p, q, values...);
    return run(q, p);
  }
  // Runs first and then second in one round trip and one transaction (the caller's, or one of
  // their own); second takes its snapshot after first has run. Returns second's result.
  // Throws StoreError.
  Result runPair(const Query& first, const Params& firstParams, const Query& second,
                 const Params& secondParams);
  // Runs one or more statements without parameters. Throws StoreError.
  void exec(const char* sql);
  // Runs body in a transaction that begin (a BEGIN statement) opens, committed after it and
  // rolled back when it throws; in the caller's transaction instead when one is open and join is
  // set. Throws StoreError, or what body throws.
  void transaction(const char* begin, const std::function<void()>& body, bool join = false);
  // Runs a COPY ... FROM STDIN (FORMAT binary) with data, a whole binary copy stream.
  // Throws StoreError.
  void copyIn(const std::string& sql, std::string_view data);
  // Whether a transaction is open on the connection (also a failed one).
  [[nodiscard]] bool inTransaction() const noexcept;
  // A short tag, fixed for the session, that names the statements of one schema.
  [[nodiscard]] std::string tagFor(const std::string& schema);
  // The port claim this session holds; 0 until the system claims a port.
  [[nodiscard]] std::int64_t claim() const noexcept { return claim_; }
  void setClaim(std::int64_t claim) noexcept { claim_ = claim; }
  // How many protection changes (of any port, this one's included) have been announced since the
  // session began; asks the server nothing. Throws StoreError when the connection is lost.
  [[nodiscard]] std::uint64_t protectionNotices();
  // Quotes an identifier.
  [[nodiscard]] static std::string quote(std::string_view identifier);

 private:
  // Throws the loss again once the connection has been lost: a port never reconnects, since its
  // locks died with its session.
  void ensureOpen() const;
  [[noreturn]] void markLost(const std::string& detail);
  void prepare(const Query& q);
  // Throws the StoreError that result (or its absence) stands for unless it is a success.
  void check(PGresult* result, const std::string& context);
  // Throws the StoreError that a failed result (or none at all) stands for.
  [[noreturn]] void fail(const PGresult* result, const std::string& context);

  PGconn* conn_ = nullptr;
  std::string lost_;  // what the loss of the connection was reported as; empty while it holds
  std::int64_t claim_ = 0;
  std::uint64_t protectionNotices_ = 0;
  std::set<std::string> prepared_;
  std::vector<std::string> tags_;
};

// What tells this machine's processes apart from every other's: the kernel's boot id and the
// process id namespace. Two ports with the same identity can check each other's process.
[[nodiscard]] const std::string& processSpace();

// Whether a port of process, which runs in process space space, is known to be dead already
// although the server has not yet ended its session: its process is gone from this machine.
[[nodiscard]] bool processGone(std::string_view space, const ProcessIdentity& process);

// A 64-bit key for a transaction-level advisory lock: space, then the parts, hashed (FNV-1a).
// Collisions only make two unrelated operations wait for each other.
[[nodiscard]] std::int64_t lockKey(char space, std::string_view schema, std::int64_t number,
                                   std::string_view bytes = {}) noexcept;

}  // namespace tarn::server::store::postgres
