// What the channel tests share: a private ODBC configuration naming the scripted driver, and
// error capture.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/expect_error.h"

#include <string>

#include "tarn/channel/odbc_session_internal.h"
#include "tarn/connection/connection.h"
#include "tarn/frame/error.h"
#include "tarn/frame/object.h"
#include "tests/support/odbc_env.h"

namespace tarn {

namespace channeltest {

// Data sources of the private configuration: Accounts and Scripted name the scripted driver,
// Broken names a driver whose library does not exist; the file data sources Accounts and Ledger
// (in the configuration's default file data source directory) name the scripted driver too.
// Returns the configuration's directory.
std::string ensureOdbcConfig();
// What the driver manager's trace holds so far.
std::string driverManagerTrace();

// The bytes as a string, for readable comparisons of wire text.
inline std::string bytes(const char* s, std::size_t n) {
  return std::string(s, n);
}

using testing::errorOf;

// A session test on the scripted driver, which counts the handles it hands out and takes back.
class ScriptedTest : public ::testing::Test {
 protected:
  explicit ScriptedTest(const char16_t* domain) : domain_(domain) {}
  void SetUp() override;
  // From here on, expectAllHandlesFreed counts only what is allocated after this call.
  void snapshot();
  // Every handle the driver handed out since the last snapshot has been taken back.
  void expectAllHandlesFreed();
  [[nodiscard]] Ref<clsTarnODBC> open(const String& database) const {
    return open(database, domain_);
  }
  [[nodiscard]] static Ref<clsTarnODBC> open(const String& database, const String& domain);
  [[nodiscard]] TarnError openFails(const String& database) const {
    return errorOf([&] { (void)open(database); });
  }

 private:
  String domain_;
  long allocated_[4] = {}, freed_[4] = {};
};

}  // namespace channeltest
}  // namespace tarn
