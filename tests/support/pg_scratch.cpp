#include "tests/support/pg_scratch.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace tarn::testing {
namespace {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Connection connect(const std::string& conninfo) {
  Connection c(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(c.get()) != CONNECTION_OK) {
    throw std::runtime_error("test PostgreSQL: " + std::string(PQerrorMessage(c.get())));
  }
  return c;
}

void execute(PGconn* c, const std::string& sql) {
  std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c, sql.c_str()), &PQclear);
  if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error("test PostgreSQL: " + sql + ": " + PQerrorMessage(c));
  }
}

// A keyword value as a conninfo string writes it: quoted only when it must be.
std::string quoted(const char* value) {
  std::string_view v = value;
  if (!v.empty() && v.find_first_of(" \t'\\") == std::string_view::npos) return std::string(v);
  std::string out = "'";
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\'' || *p == '\\') out.push_back('\\');
    out.push_back(*p);
  }
  return out + "'";
}

// The server's settings (a URI or keywords) as keywords, with dbname replaced.
std::string withDatabase(const std::string& server, const std::string& database) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(server.c_str(), &error);
  if (options == nullptr) {
    std::string why = error != nullptr ? error : "out of memory";
    PQfreemem(error);
    throw std::runtime_error("test PostgreSQL: " + why);
  }
  std::string out;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr || std::string_view(o->keyword) == "dbname") continue;
    out += std::string(o->keyword) + "=" + quoted(o->val) + " ";
  }
  PQconninfoFree(options);
  return out + "dbname=" + database;
}

std::optional<std::string> resolve() {
  const char* value = std::getenv("TARN_TEST_POSTGRES");
  if (value == nullptr || *value == '\0') return std::nullopt;
  std::string text = value;
  if (text.find('=') != std::string::npos || text.rfind("postgres", 0) == 0) return text;
  // A cluster directory of pg_cluster.sh.
  std::ifstream in(text + "/keywords");
  std::string keywords;
  if (!std::getline(in, keywords) || keywords.empty()) {
    throw std::runtime_error("test PostgreSQL: no cluster keywords in " + text);
  }
  return keywords;
}

}  // namespace

const std::optional<std::string>& testPostgres() {
  static const std::optional<std::string> server = resolve();
  return server;
}

ScratchDatabase::ScratchDatabase(const std::string& server) : server_(server), owner_(getpid()) {
  static std::atomic<int> serial{0};
  name_ = "tarn_test_" + std::to_string(owner_) + "_" + std::to_string(++serial);
  Connection c = connect(server_);
  // A database left by an earlier process of the same number goes first, without a notice.
  execute(c.get(), "SET client_min_messages = warning");
  execute(c.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  execute(c.get(), "CREATE DATABASE " + name_);
  keywords_ = withDatabase(server_, name_);
}

ScratchDatabase::~ScratchDatabase() {
  if (getpid() != owner_) return;
  try {
    Connection c = connect(server_);
    execute(c.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception&) {
    // The cluster may already be gone (its cleanup ran first); it takes the database along.
  }
}

ScratchCluster::ScratchCluster(std::string script) : script_(std::move(script)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarn-cluster-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  parent_ = pattern;
  // The server runs as an unprivileged user when we are root: it must be able to enter.
  chmod(parent_.c_str(), 0755);
  keywords_ = run("start");
  while (!keywords_.empty() && keywords_.back() == '\n') keywords_.pop_back();
}

ScratchCluster::~ScratchCluster() {
  try {
    (void)run("stop");
  } catch (const std::exception&) {
    // Nothing more can be done here; the directory goes all the same.
  }
  std::error_code ec;
  std::filesystem::remove_all(parent_, ec);
}

void ScratchCluster::restart() {
  (void)run("restart");
}

std::string ScratchCluster::run(const std::string& command) {
  const std::string line = "'" + script_ + "' " + command + " '" + parent_ + "/pg'";
  std::FILE* out = popen(line.c_str(), "r");
  if (out == nullptr) throw std::runtime_error("cannot run " + line);
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
  if (pclose(out) != 0) throw std::runtime_error("failed: " + line);
  return text;
}

int endPortSession(const std::string& location, int port) {
  std::unique_ptr<PGconn, decltype(&PQfinish)> admin(PQconnectdb(location.c_str()), &PQfinish);
  if (PQstatus(admin.get()) != CONNECTION_OK)
    throw std::runtime_error(PQerrorMessage(admin.get()));
  // A port's session holds the advisory lock the store claims the port number with.
  const std::string sql =
      "SELECT pg_terminate_backend(pid, 60000) FROM pg_locks WHERE locktype='advisory' AND "
      "database=(SELECT oid FROM pg_database WHERE datname=current_database()) AND "
      "classid=1414680064 AND objsubid=2 AND objid=" +
      std::to_string(port);
  std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(admin.get(), sql.c_str()), &PQclear);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK)
    throw std::runtime_error(PQresultErrorMessage(r.get()));
  int ended = 0;
  for (int row = 0; row < PQntuples(r.get()); ++row) ended += *PQgetvalue(r.get(), row, 0) == 't';
  return ended;
}

}  // namespace tarn::testing
