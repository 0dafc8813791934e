#include "tests/support/wire_fixture.h"

#include <memory>

#include "tests/support/odbc_env.h"

namespace tarn::wiretest {

namespace {
void ensureConfig() {
  // The driver manager reads its configuration once per process.
  static auto config = std::make_unique<testing::OdbcTestEnvironment>(
      std::vector<testing::OdbcDriverEntry>{{"Scripted", TARN_SCRIPTED_DRIVER_PATH}},
      std::vector<testing::OdbcDsnEntry>{{"Sales", "Scripted", {}}});
}

std::string counted(const std::string& field) {
  return std::to_string(field.size()) + AM + field + AM;
}
}  // namespace

std::string reply(int status, const std::string& data) {
  char head[8];
  std::snprintf(head, sizeof head, "%04d ", status);
  return head + data;
}

std::string tclReply(const std::string& captured, const std::string& returned) {
  return reply(0, counted(captured) + counted(returned));
}

String text(const std::string& bytes) {
  String s;
  for (unsigned char c : bytes) s.push_back(c);
  return s;
}

void WireTest::SetUp() {
  ensureConfig();
  scripted_reset();
  for (int i = 0; i < 4; ++i) queueTcl("");
  env_ = clsTarnEnvironment::create();
  conn_ = env_->brOpenConnection(u"ODBC", u"Sales");
  seen_ = scripted_statement_count();
  gLastError = 0;
}

void WireTest::TearDown() {
  if (conn_) env_->brCloseConnection(conn_);
  env_.reset();
}

void WireTest::queue(const std::string& replyBytes) {
  scripted_queue_reply(replyBytes.data(), replyBytes.size());
}

std::vector<std::string> WireTest::sent() {
  std::vector<std::string> out;
  const std::size_t n = scripted_statement_count();
  for (; seen_ < n; ++seen_) {
    std::size_t length = 0;
    const char* s = scripted_statement(seen_, &length);
    std::string statement(s, length);
    EXPECT_EQ(statement.substr(0, 2), ".-") << statement;
    out.push_back(statement.substr(2));
  }
  return out;
}

}  // namespace tarn::wiretest
