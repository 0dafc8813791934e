// The PostgreSQL that a suite's second run works against, and a fresh database on it per system.
// TARN_TEST_POSTGRES holds libpq keywords or a URI, or names a directory of
// tests/support/pg_cluster.sh whose keywords file says where the cluster listens. Unset, the suites
// run on the embedded SQLite store as before.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarn::testing {

// The connection to the test server's maintenance database, when the tests run on PostgreSQL.
[[nodiscard]] const std::optional<std::string>& testPostgres();
[[nodiscard]] inline bool onPostgres() {
  return testPostgres().has_value();
}

// Ends, from outside, the database session that holds port `port` of the system at `location`
// (libpq keywords), as the server does when a client's machine vanishes, and waits until it is
// gone. Returns how many sessions ended; throws std::runtime_error when the server refuses.
int endPortSession(const std::string& location, int port);

// A database of its own on the test server, dropped (with any sessions still on it) when the
// object that made it goes; copies of the process made by fork leave it alone.
class ScratchDatabase {
 public:
  // Throws std::runtime_error when the server refuses.
  explicit ScratchDatabase(const std::string& server);
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  // libpq keywords reaching the database: what a data source's System= names.
  [[nodiscard]] const std::string& keywords() const { return keywords_; }
  [[nodiscard]] const std::string& name() const { return name_; }

 private:
  std::string server_;
  std::string name_;
  std::string keywords_;
  pid_t owner_;
};

// A cluster of its own, started by tests/support/pg_cluster.sh into a fresh temporary directory
// and stopped (its directory removed) by the destructor: for a test that restarts the server, and
// for the benchmarks.
class ScratchCluster {
 public:
  // Throws std::runtime_error when the script fails.
  explicit ScratchCluster(std::string script);
  ~ScratchCluster();
  ScratchCluster(const ScratchCluster&) = delete;
  ScratchCluster& operator=(const ScratchCluster&) = delete;

  // libpq keywords reaching its maintenance database.
  [[nodiscard]] const std::string& keywords() const { return keywords_; }
  // Stops the server (fast: sessions are cut off) and starts it again.
  void restart();

 private:
  std::string run(const std::string& command);

  std::string script_;
  std::string parent_;
  std::string keywords_;
};

}  // namespace tarn::testing

// Leaves a test that is about SQLite files themselves out of the PostgreSQL run, with the reason.
#define TARN_SKIP_ON_POSTGRES(reason) \
  if (::tarn::testing::onPostgres()) GTEST_SKIP() << "SQLite store only: " << (reason)
