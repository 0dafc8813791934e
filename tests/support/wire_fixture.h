// The fixture of the library's wire tests: an environment and a connection opened through the
// real driver manager to the scripted driver, replies queued by the test, and the requests the
// library sent read back byte for byte (without the ".-" prefix).
#pragma once

#include <gtest/gtest.h>

#include "tests/support/expect_error.h"

#include <string>
#include <vector>

#include "tarn/tarncl.h"
#include "tests/support/scripted_driver.h"

namespace tarn::wiretest {

// Marks as they travel: single bytes of the wire code page.
inline const std::string AM = "\xFE";
inline const std::string VM = "\xFD";
inline const std::string SVM = "\xFC";

// A reply with a status (0 = success) and data, as the server writes it.
std::string reply(int status, const std::string& data = "");
// The reply of a TCL command: captured and returned output, each length-counted.
std::string tclReply(const std::string& captured, const std::string& returned = "");
// Text from wire bytes (each byte is one character of the code page's Latin-1 range).
String text(const std::string& bytes);

// The error a call throws; a failed expectation when it throws none.
using testing::errorOf;
using testing::kSource;

class WireTest : public ::testing::Test {
 protected:
  // Opens env_ and conn_ on the data source "Sales", answering the four locale commands, then
  // forgets what was sent so far.
  void SetUp() override;
  void TearDown() override;

  void queue(const std::string& replyBytes);
  void queueOk(const std::string& data = "") { queue(reply(0, data)); }
  void queueTcl(const std::string& captured, const std::string& returned = "") {
    queue(tclReply(captured, returned));
  }
  // The requests sent since the last call (or since SetUp), prefix removed; then forgets them.
  std::vector<std::string> sent();

  Ref<clsTarnEnvironment> env_;
  Ref<clsTarnConnection> conn_;

 private:
  std::size_t seen_ = 0;
};

}  // namespace tarn::wiretest
