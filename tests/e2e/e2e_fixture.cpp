#include "tests/e2e/e2e_fixture.h"

#include <memory>
#include <optional>

#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::e2e {

// The system every test's account lives in: a directory, or on PostgreSQL a database.
const std::string& EndToEndTest::systemLocation() {
  static testing::TempDir dir;
  static std::optional<testing::ScratchDatabase> database;
  static const std::string location = [] {
    if (!testing::onPostgres()) return dir.path();
    database.emplace(*testing::testPostgres());
    return database->keywords();
  }();
  static auto config = std::make_unique<testing::OdbcTestEnvironment>(
      std::vector<testing::OdbcDriverEntry>{{"Tarn", TARN_ODBC_DRIVER_PATH},
                                            {"Missing", "/nonexistent/libtarnodbc.so"}},
      std::vector<testing::OdbcDsnEntry>{
          {"Tarn", "Tarn", {{"System", location}}},
          {"TarnNoDriver", "Missing", {{"System", location}}},
          {"TarnUtf8", "Tarn", {{"System", location}, {"Encoding", "UTF-8"}}}});
  return location;
}

void EndToEndTest::SetUp() {
  (void)systemLocation();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  // An account of its own per test: no test sees another's files or locks.
  std::string account = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : account) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  dataSource_ = fromUtf8("DSN=Tarn;Account=" + account);
  env_ = clsTarnEnvironment::create();
  conn_ = env_->brOpenConnection(u"ODBC", dataSource_);
}

void EndToEndTest::TearDown() {
  if (conn_) env_->brCloseConnection(conn_);
}

Ref<clsTarnConnection> EndToEndTest::connectAgain(const String& attributes) {
  return env_->brOpenConnection(u"ODBC", dataSource_ + attributes);
}

Ref<clsTarnFile> EndToEndTest::createFile(const String& name) {
  conn_->brExecute(u"CREATE-FILE DICT " + name + u" 7 (");
  conn_->brExecute(u"CREATE-FILE DATA " + name + u"," + name + u" 11 (");
  return conn_->brOpenFile(u"", name);
}

void EndToEndTest::defineAttribute(const String& file, const String& name, int number) {
  auto dict = conn_->brOpenFile(u"DICT", file);
  dict->brWrite(array(u"A" + AM + decimalText(number) + AM + name), name);
}

Ref<clsTarnDynamicArray> EndToEndTest::array(const String& text) {
  auto a = env_->brOpenDynamicArray();
  a->brCString(text);
  return a;
}

}  // namespace tarn::e2e
