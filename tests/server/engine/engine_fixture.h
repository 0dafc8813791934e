// Shared helpers for the engine tests: a throw-away system directory and request shorthands.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/port.h"
#include "server/engine/vocabulary.h"
#include "tests/support/odbc_env.h"
#include "tests/support/pg_scratch.h"

namespace tarn::server::testing {

inline constexpr char AM = '\xFE';
inline constexpr char VM = '\xFD';

// Joins an operation code and its fields with attribute marks.
inline std::string req(std::string_view op, std::initializer_list<std::string_view> fields = {}) {
  std::string out(op);
  for (std::string_view f : fields) {
    out.push_back(AM);
    out.append(f);
  }
  return out;
}

inline std::string joinMarks(std::initializer_list<std::string_view> parts, char mark = AM) {
  std::string out;
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) out.push_back(mark);
    first = false;
    out.append(p);
  }
  return out;
}

// Whether text has the given shape: '9' a digit, 'X' an upper-case hex digit, 'A' an upper-case
// letter, 'a' a lower-case letter, anything else itself.
inline bool hasShape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = false;
    switch (shape[i]) {
      case '9':
        ok = c >= '0' && c <= '9';
        break;
      case 'X':
        ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        break;
      case 'A':
        ok = c >= 'A' && c <= 'Z';
        break;
      case 'a':
        ok = c >= 'a' && c <= 'z';
        break;
      default:
        ok = c == shape[i];
    }
    if (!ok) return false;
  }
  return true;
}

struct Reply {
  int status = -1;
  std::string data;
};

// The "M" request for a module number and argument texts.
inline std::string callRequest(const std::string& module, const std::vector<std::string>& args) {
  std::string r = req("M", {module, std::to_string(args.size())});
  for (const std::string& a : args) r += AM + std::to_string(a.size()) + AM + a;
  return r;
}

// The argument texts of a good "M" reply.
inline std::vector<std::string> callResults(const std::string& data) {
  std::vector<std::string> out;
  std::string_view s = data;
  while (!s.empty()) {
    std::size_t mark = s.find(AM);
    std::size_t n = std::stoul(std::string(s.substr(0, mark)));
    out.emplace_back(s.substr(mark + 1, n));
    s.remove_prefix(std::min(s.size(), mark + 1 + n + 1));
  }
  return out;
}

inline Reply parseReply(const std::string& raw) {
  Reply r;
  EXPECT_GE(raw.size(), 5u) << raw;
  if (raw.size() < 5) return r;
  EXPECT_EQ(raw[4], ' ');
  r.status = std::stoi(raw.substr(0, 4));
  r.data = raw.substr(5);
  return r;
}

// The two length-counted outputs of an "E" reply.
struct TclReply {
  int status = -1;
  std::string captured;
  std::string returned;
};

inline TclReply parseTcl(const std::string& raw) {
  Reply r = parseReply(raw);
  TclReply t;
  t.status = r.status;
  std::string_view s = r.data;
  std::string* outs[] = {&t.captured, &t.returned};
  for (std::string* out : outs) {
    std::size_t mark = s.find(AM);
    if (mark == std::string_view::npos) {
      ADD_FAILURE() << "no length field in " << r.data;
      return t;
    }
    std::size_t n = std::stoul(std::string(s.substr(0, mark)));
    s.remove_prefix(mark + 1);
    EXPECT_GE(s.size(), n + 1) << "short counted field";
    *out = std::string(s.substr(0, n));
    s.remove_prefix(std::min(s.size(), n + 1));
  }
  EXPECT_TRUE(s.empty());
  return t;
}

// A TCL command with its stacked lines, or a request, on a port of the test's choosing.
inline TclReply tclOn(Port& p, std::initializer_list<std::string_view> lines) {
  return parseTcl(p.execute(req("E", lines)));
}
inline Reply runOn(Port& p, const std::string& request) {
  return parseReply(p.execute(request));
}

// A fresh system: a temporary directory, or with TARN_TEST_POSTGRES set a fresh database.
class TempSystem {
 public:
  TempSystem() {
    if (const auto& server = ::tarn::testing::testPostgres()) database_.emplace(*server);
  }
  // The System= value: the directory, or the database's libpq keywords.
  [[nodiscard]] const std::string& path() const {
    return database_ ? database_->keywords() : dir_.path();
  }
  // Logs on, making the system and account when they are new.
  [[nodiscard]] std::unique_ptr<Port> open(const std::string& account = "SALES",
                                           const Credentials& credentials = {}) const {
    return Port::open(config(account), credentials);
  }
  [[nodiscard]] PortConfig config(const std::string& account = "SALES") const {
    return {path(), account, {}, true};
  }

 private:
  ::tarn::testing::TempDir dir_;
  std::optional<::tarn::testing::ScratchDatabase> database_;
};

// One port on a fresh system, with a file CUST (dictionary and data) already made.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = system_.open();
    ASSERT_EQ(tcl("CREATE-FILE DICT CUST 7 (").status, 0);
    ASSERT_EQ(tcl("CREATE-FILE DATA CUST,CUST 11 (").status, 0);
  }
  Reply run(const std::string& request, Port* p = nullptr) {
    return parseReply((p ? p : port_.get())->execute(request));
  }
  TclReply tcl(const std::string& command, Port* p = nullptr) {
    return parseTcl((p ? p : port_.get())->execute(req("E", {command})));
  }
  std::string openFile(const std::string& reference, Port* p = nullptr) {
    Reply r = run(req("O", {reference}), p);
    EXPECT_EQ(r.status, 0) << reference;
    return r.data;
  }
  // The ids a selection leaves in the active list, blank-separated.
  std::string selected(const std::string& command) {
    TclReply t = tcl(command);
    EXPECT_EQ(t.status, 0) << command;
    EXPECT_TRUE(t.captured.rfind("Active list: ", 0) == 0) << command << " -> " << t.captured;
    Reply r = run(req("n", {run(req("S", {"-1"})).data}));
    EXPECT_EQ(r.status, status::kEndOfList);
    std::replace(r.data.begin(), r.data.end(), AM, ' ');
    return r.data;
  }

  TempSystem system_;
  std::unique_ptr<Port> port_;
};

}  // namespace tarn::server::testing
