#include "server/engine/store/postgres/pg_system.h"

#include <set>

#include "common/secret_text.h"
#include "server/engine/store/postgres/pg.h"
#include "server/engine/store/postgres/pg_account.h"

namespace tarn::server::store::postgres {
namespace {

// The layout of tarn_system and the account schemas; a newer build's database is not opened.
constexpr std::int64_t kLayout = 1;

// A lock row's port is live while its claim is the number's latest and the claiming session
// still holds the number's advisory lock. A claim never repeats, so a row left by an earlier
// holder of the number stays dead when a new session takes the number.
constexpr const char* kSystemSchema = R"sql(
CREATE SCHEMA IF NOT EXISTS tarn_system;
CREATE TABLE IF NOT EXISTS tarn_system.layout(version bigint NOT NULL);
CREATE TABLE IF NOT EXISTS tarn_system.accounts(name bytea PRIMARY KEY);
CREATE SEQUENCE IF NOT EXISTS tarn_system.claims;
CREATE TABLE IF NOT EXISTS tarn_system.ports(
  number bigint PRIMARY KEY,
  claim bigint NOT NULL,
  pid bigint NOT NULL,
  start bigint NOT NULL,
  host bytea NOT NULL,
  space bytea NOT NULL,
  account bytea NOT NULL);
CREATE OR REPLACE FUNCTION tarn_system.port_live(n bigint, c bigint) RETURNS boolean
LANGUAGE sql STABLE AS $f$
  SELECT EXISTS(SELECT 1 FROM tarn_system.ports WHERE number = n AND claim = c)
     AND EXISTS(SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted
                AND database = (SELECT oid FROM pg_database WHERE datname = current_database())
                AND classid = 1414680064::oid AND objid = n::oid AND objsubid = 2)
$f$;
)sql";

constexpr const char* kHeldNumbers =
    "SELECT objid::bigint FROM pg_locks WHERE locktype = 'advisory' AND granted "
    "AND database = (SELECT oid FROM pg_database WHERE datname = current_database()) "
    "AND classid = 1414680064::oid AND objsubid = 2";

Query systemQuery(const char* name, const char* sql, const char* types) {
  return schemaQuery("sys_", "", name, sql, types);
}

// The data source as messages may show it: keywords without the password when it holds one.
std::string withoutPassword(const std::string& conninfo) {
  PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), nullptr);
  if (parsed == nullptr) return secrets::masked(conninfo);
  bool secret = false;
  std::string shown;
  for (PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    if (std::string_view(o->keyword) == "password") {
      secret = true;
      continue;
    }
    if (!shown.empty()) shown += ' ';
    shown += std::string(o->keyword) + "=" + o->val;
  }
  PQconninfoFree(parsed);
  return secret ? shown : secrets::masked(conninfo);
}

class PgSystem final : public System {
 public:
  PgSystem(const std::string& conninfo, bool create)
      : location_(withoutPassword(conninfo)), session_(std::make_shared<Session>(conninfo)) {
    makeSchema(create);
    if (!accountExists(kSystemAccount)) {
      if (!create) throw missingSystem(location_);
      (void)openAccount(kSystemAccount, true);
    }
  }

  ~PgSystem() override = default;

  [[nodiscard]] const std::string& location() const noexcept override { return location_; }

  [[nodiscard]] bool accountExists(std::string_view name) override {
    return accountRegistered(*session_, name);
  }

  [[nodiscard]] std::vector<std::string> accounts() override {
    static const Query q =
        systemQuery("accounts", "SELECT name FROM tarn_system.accounts ORDER BY name", "");
    Result r = session_->run(q);
    std::vector<std::string> out;
    for (int i = 0; i < r.rows(); ++i) out.emplace_back(r.bytes(i, 0));
    return out;
  }

  [[nodiscard]] std::unique_ptr<Account> openAccount(std::string_view name, bool create) override {
    return openPgAccount(session_, std::string(name), create);
  }

  [[nodiscard]] int claimPort(const ProcessIdentity& process, std::string_view account) override {
    static const Query held = systemQuery("held", kHeldNumbers, "");
    static const Query tryLock =
        systemQuery("try", "SELECT pg_try_advisory_lock(1414680064, $1::int4)", "i");
    static const Query record =
        systemQuery("record",
                    "INSERT INTO tarn_system.ports "
                    "VALUES($1, nextval('tarn_system.claims'), $2, $3, $4, $5, $6) "
                    "ON CONFLICT(number) DO UPDATE SET claim = excluded.claim, pid = excluded.pid, "
                    "start = excluded.start, host = excluded.host, space = excluded.space, "
                    "account = excluded.account RETURNING claim",
                    "iiibbb");
    std::set<std::int64_t> taken;
    {
      Result r = session_->run(held);
      for (int i = 0; i < r.rows(); ++i) taken.insert(r.integer(i, 0));
    }
    // Another session may take a free number between the look and the try: then the next one.
    for (std::int64_t n = 1;; ++n) {
      if (taken.count(n) != 0) continue;
      if (session_->run(tryLock, Params().add(n)).integer(0, 0) == 0) continue;
      const std::string host = hostName();
      Result r = session_->run(record, Params()
                                           .add(n)
                                           .add(process.pid)
                                           .add(process.start)
                                           .add(host)
                                           .add(processSpace())
                                           .add(account));
      session_->setClaim(r.integer(0, 0));
      return static_cast<int>(n);
    }
  }

  void releasePort(int number) noexcept override {
    static const Query forget = systemQuery(
        "forget", "DELETE FROM tarn_system.ports WHERE number = $1 AND claim = $2", "ii");
    static const Query unlock =
        systemQuery("unlock", "SELECT pg_advisory_unlock(1414680064, $1::int4)", "i");
    try {
      session_->run(forget, Params().add(std::int64_t{number}).add(session_->claim()));
      session_->run(unlock, Params().add(std::int64_t{number}));
      session_->setClaim(0);
    } catch (...) {
      // A lost session has given the number back already; any other failure leaves it to the
      // session's end.
    }
  }

  void movePort(int number, std::string_view account) override {
    static const Query q =
        systemQuery("move", "UPDATE tarn_system.ports SET account = $2 WHERE number = $1", "ib");
    session_->run(q, Params().add(std::int64_t{number}).add(account));
  }

  [[nodiscard]] std::vector<PortEntry> ports() override {
    static const Query q =
        systemQuery("ports",
                    "SELECT number, pid, start, account, space FROM tarn_system.ports "
                    "WHERE tarn_system.port_live(number, claim) ORDER BY number",
                    "");
    Result r = session_->run(q);
    std::vector<PortEntry> out;
    for (int i = 0; i < r.rows(); ++i) {
      PortEntry e{static_cast<int>(r.integer(i, 0)),
                  {r.integer(i, 1), r.integer(i, 2)},
                  std::string(r.bytes(i, 3))};
      if (processGone(r.bytes(i, 4), e.process)) continue;
      out.push_back(std::move(e));
    }
    return out;
  }

 private:
  // Made once per database, under a lock so that machines starting together do not collide.
  void makeSchema(bool create) {
    static const Query exists =
        systemQuery("exists", "SELECT to_regclass('tarn_system.layout') IS NOT NULL", "");
    static const Query layout = systemQuery("layout", "SELECT version FROM tarn_system.layout", "");
    if (session_->run(exists).integer(0, 0) == 0) {
      if (!create) throw missingSystem(location_);
      session_->transaction("BEGIN", [&] {
        session_->exec(
            ("SELECT pg_advisory_xact_lock(" + std::to_string(lockKey('Y', "tarn_system", 0)) + ")")
                .c_str());
        session_->exec(kSystemSchema);
        session_->exec(("INSERT INTO tarn_system.layout SELECT " + std::to_string(kLayout) +
                        " WHERE NOT EXISTS (SELECT 1 FROM tarn_system.layout)")
                           .c_str());
      });
    }
    Result r = session_->run(layout);
    if (r.rows() == 0 || r.integer(0, 0) > kLayout)
      throw StoreError(
          StoreFailure::kCorrupt,
          location_ + ": the tarn_system schema was made by a newer build; not opened");
  }

  std::string location_;
  std::shared_ptr<Session> session_;
};

}  // namespace

std::unique_ptr<System> openSystem(const std::string& conninfo, bool create) {
  return std::make_unique<PgSystem>(conninfo, create);
}

}  // namespace tarn::server::store::postgres
