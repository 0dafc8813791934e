// One "machine" of the shared-store tests: a client process with its own home, ODBC configuration
// and system directory, driven one line at a time on stdin. Its DSN "Shared" names the one
// PostgreSQL database that every machine shares. Lines it takes, each answered by one line:
//   Q <request>              runs the request (".-" and the request, as the class library sends
//                            it) and answers the reply; "! <state> <message>" when ODBC fails
//   INC <handle> <n> <k>     k cycles of lock-read-increment-write on items 0..n-1 of the handle,
//                            retrying a lock another port holds; answers "OK <retries>"
//   RECONNECT                disconnects and connects again; answers "OK" or "! ..."
// In lines and answers '^' stands for an attribute mark and '|' for a line break.
#include <sql.h>
#include <sqlext.h>

#include <sched.h>
#include <iostream>
#include <string>

namespace {

std::string decode(std::string s) {
  for (char& c : s) {
    if (c == '^') c = '\xFE';
  }
  return s;
}

std::string encode(std::string s) {
  for (char& c : s) {
    if (c == '\xFE') c = '^';
    if (c == '\n') c = '|';
  }
  return s;
}

class Client {
 public:
  Client() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  }
  ~Client() {
    disconnect();
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  // "" when connected, else the failure.
  std::string connect() {
    disconnect();
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    SQLCHAR dsn[] = "DSN=Shared";
    if (!SQL_SUCCEEDED(SQLDriverConnect(dbc_, nullptr, dsn, SQL_NTS, nullptr, 0, nullptr,
                                        SQL_DRIVER_NOPROMPT))) {
      std::string why = failure(SQL_HANDLE_DBC, dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
      return why;
    }
    connected_ = true;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    return "";
  }

  void disconnect() {
    if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    if (connected_) SQLDisconnect(dbc_);
    if (dbc_ != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    stmt_ = SQL_NULL_HSTMT;
    dbc_ = SQL_NULL_HDBC;
    connected_ = false;
  }

  // The reply to a request, or "! state message".
  std::string request(const std::string& request) {
    if (stmt_ == SQL_NULL_HSTMT) return "! 08003 not connected";
    SQLFreeStmt(stmt_, SQL_CLOSE);
    std::string sql = ".-" + request;
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(sql.data()),
                                     static_cast<SQLINTEGER>(sql.size())))) {
      return failure(SQL_HANDLE_STMT, stmt_);
    }
    if (!SQL_SUCCEEDED(SQLFetch(stmt_))) return failure(SQL_HANDLE_STMT, stmt_);
    std::string reply;
    char buffer[65536];
    for (;;) {
      SQLLEN n = 0;
      SQLRETURN rc = SQLGetData(stmt_, 1, SQL_C_CHAR, buffer, sizeof buffer, &n);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) return failure(SQL_HANDLE_STMT, stmt_);
      if (n == SQL_NULL_DATA) break;
      const bool more = n == SQL_NO_TOTAL || n >= static_cast<SQLLEN>(sizeof buffer);
      reply.append(buffer, more ? sizeof buffer - 1 : static_cast<std::size_t>(n));
      if (!more) break;
    }
    return reply;
  }

 private:
  static std::string failure(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length);
    return "! " + std::string(reinterpret_cast<char*>(state)) + " " +
           reinterpret_cast<char*>(message);
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  bool connected_ = false;
};

// Lock-read-increment-write cycles; a refused lock (status 5) is tried again after a yield.
std::string increment(Client& client, const std::string& handle, long items, long cycles) {
  const std::string am(1, '\xFE');
  long retries = 0;
  for (long cycle = 0; cycle < cycles; ++cycle) {
    const std::string id = "N" + std::to_string(cycle % items);
    std::string reply;
    for (;;) {
      reply = client.request("r" + am + handle + am + id + am + "0");
      if (reply.compare(0, 4, "0005") != 0) break;
      ++retries;
      sched_yield();
    }
    long value = 0;
    if (reply.compare(0, 4, "0000") == 0) {
      value = std::stol(reply.substr(5));
    } else if (reply.compare(0, 4, "0002") != 0) {
      return "! lock-read of " + id + ": " + encode(reply);
    }
    reply = client.request("W" + am + handle + am + id + am + std::to_string(value + 1));
    if (reply.compare(0, 4, "0000") != 0) return "! write of " + id + ": " + encode(reply);
  }
  return "OK " + std::to_string(retries);
}

}  // namespace

int main() {
  Client client;
  std::string line;
  const std::string connected = client.connect();
  std::cout << (connected.empty() ? "OK" : connected) << std::endl;
  while (std::getline(std::cin, line)) {
    std::string answer;
    if (line.rfind("Q ", 0) == 0) {
      answer = encode(client.request(decode(line.substr(2))));
    } else if (line.rfind("INC ", 0) == 0) {
      std::string handle;
      long items = 0, cycles = 0;
      std::size_t a = line.find(' ', 4), b = line.find(' ', a + 1);
      handle = line.substr(4, a - 4);
      items = std::stol(line.substr(a + 1, b - a - 1));
      cycles = std::stol(line.substr(b + 1));
      answer = increment(client, handle, items, cycles);
    } else if (line == "RECONNECT") {
      const std::string why = client.connect();
      answer = why.empty() ? "OK" : why;
    } else {
      answer = "! unknown line";
    }
    std::cout << answer << std::endl;
  }
  return 0;
}
