// Real ODBC clients against a DSN of the driver: unixODBC's isql (ANSI) and pyodbc (wide).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

#include "tests/server/odbc/odbc_fixture.h"

namespace tarn::testing {
namespace {

// Runs a shell command and returns its standard output, or nothing when it could not start.
std::optional<std::string> run(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  *status = pclose(pipe);
  return out;
}

// An instrumented driver needs the sanitizer runtime first in the client process, and the C++
// runtime loaded before the driver so that the runtime can intercept throws. The clients
// themselves are not instrumented, so their leaks are not ours to report.
std::string clientPrefix() {
#ifdef __SANITIZE_ADDRESS__
  std::string asan, cxx;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::size_t at = line.find('/');
    if (at == std::string::npos) continue;
    if (line.find("/libasan.so", at) != std::string::npos) asan = line.substr(at);
    if (line.find("/libstdc++.so", at) != std::string::npos) cxx = line.substr(at);
  }
  if (!asan.empty()) return "LD_PRELOAD='" + asan + " " + cxx + "' ASAN_OPTIONS=detect_leaks=0 ";
#endif
  return "";
}

bool available(const std::string& probe) {
  return std::system((probe + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(DriverClients, IsqlRunsARequestOnTheDsn) {
  if (!available("command -v isql")) GTEST_SKIP() << "isql is not installed";
  const DriverConfig& config = driverConfig();
  const std::string input = config.configDir + "/isql-input";
  std::ofstream(input) << ".-Z\xFE"
                          "22\n.Z\xFE"
                          "22\nnot a request\n";
  int status = 0;
  auto out = run(clientPrefix() + "isql -v -b -d, TarnTest < " + input + " 2>&1", &status);
  ASSERT_TRUE(out);
  EXPECT_TRUE(std::regex_search(*out, std::regex("(^|\n)0000 [0-9]+\n"))) << *out;
  EXPECT_TRUE(std::regex_search(*out, std::regex("(^|\n)0000,[0-9]+\n"))) << *out;
  EXPECT_NE(out->find("[tarnodbc]"), std::string::npos) << *out;

  // A terminal cannot type the marks: with MarkEscapes=Yes the driver reads \xFE (either case)
  // as one; without it the same text is sent as typed, and the request does not read.
  std::ofstream(input) << ".-Z\\xFE22\n.-Z\\xfe22\n";
  for (const bool escapes : {true, false}) {
    const std::string dsn = escapes ? "DSN=TarnTest;MarkEscapes=Yes" : "DSN=TarnTest";
    out = run(clientPrefix() + "isql -v -k '" + dsn + "' < " + input + " 2>&1", &status);
    ASSERT_TRUE(out);
    const std::regex answered("\\| 0000 [0-9]+");
    const auto n = std::distance(std::sregex_iterator(out->begin(), out->end(), answered),
                                 std::sregex_iterator());
    EXPECT_EQ(n, escapes ? 2 : 0) << *out;
  }
}

TEST(DriverClients, PyodbcRoundTripsMarksAsCharacters) {
  const std::string python = "/usr/bin/python3";
  if (!available(python + " -c 'import pyodbc'")) GTEST_SKIP() << "pyodbc is not installed";
  const DriverConfig& config = driverConfig();
  const std::string script = config.configDir + "/client.py";
  std::ofstream(script) << R"(import pyodbc
c = pyodbc.connect('DSN=TarnTest', autocommit=True)
cur = c.cursor()
md = cur.execute('.-O\u00feMD').fetchone()[0][5:]
cur.execute('.-W\u00fe%s\u00fePY.ITEM\u00fea\u00fdb\u00fec' % md).fetchall()
reply = cur.execute('.-R\u00fe%s\u00fePY.ITEM\u00fe0' % md).fetchone()[0]
status, data = cur.execute('.R\u00fe%s\u00fePY.ITEM\u00fe0' % md).fetchone()
print('OK' if reply == '0000 a\u00fdb\u00fec' and (status, data) == ('0000', 'a\u00fdb\u00fec')
      else 'BAD ' + ascii((reply, status, data)))
)";
  int status = 0;
  auto out = run(clientPrefix() + python + " " + script + " 2>&1", &status);
  ASSERT_TRUE(out);
  EXPECT_EQ(status, 0) << *out;
  EXPECT_EQ(*out, "OK\n");
}

}  // namespace
}  // namespace tarn::testing
