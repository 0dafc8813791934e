#include "tests/channel/channel_test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "tests/support/scripted_driver.h"

namespace tarn::channeltest {

std::string ensureOdbcConfig() {
  // unixODBC reads ODBCSYSINI once per process, so one configuration serves every test here.
  static std::unique_ptr<testing::OdbcTestEnvironment> env = [] {
    auto e = std::make_unique<testing::OdbcTestEnvironment>(
        std::vector<testing::OdbcDriverEntry>{
            {"Scripted", TARN_SCRIPTED_DRIVER_PATH},
            {"Missing", "/nonexistent/tarn/libmissing_odbc_driver.so"},
        },
        std::vector<testing::OdbcDsnEntry>{
            {"Accounts", "Scripted", {}},
            {"Scripted", "Scripted", {}},
            {"Broken", "Missing", {}},
        });
    const std::filesystem::path fileDsns =
        std::filesystem::path(e->directory()) / "ODBCDataSources";
    std::filesystem::create_directories(fileDsns);
    for (const char* name : {"Accounts", "Ledger"}) {
      std::ofstream f(fileDsns / (std::string(name) + ".dsn"));
      f << "[ODBC]\nDRIVER=Scripted\nFROMFILE=" << name << "\n";
    }
    // The driver manager's own trace shows what it was asked, where no driver can.
    std::ofstream inst(e->directory() + "/odbcinst.ini", std::ios::app);
    inst << "[ODBC]\nTrace = Yes\nTraceFile = " << e->directory() << "/dm.trace\n";
    return e;
  }();
  return env->directory();
}

std::string driverManagerTrace() {
  std::ifstream f(ensureOdbcConfig() + "/dm.trace");
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void ScriptedTest::SetUp() {
  ensureOdbcConfig();
  scripted_reset();
  snapshot();
}

void ScriptedTest::snapshot() {
  for (int k = 1; k <= 3; ++k) {
    allocated_[k] = scripted_allocated(k);
    freed_[k] = scripted_freed(k);
  }
}

void ScriptedTest::expectAllHandlesFreed() {
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(scripted_allocated(k) - allocated_[k], scripted_freed(k) - freed_[k])
        << "handle kind " << k;
  }
}

Ref<clsTarnODBC> ScriptedTest::open(const String& database, const String& domain) {
  Ref<clsTarnODBC> session = clsTarnODBC::create();
  session->rsInitialize(domain, database);
  return session;
}

}  // namespace tarn::channeltest
