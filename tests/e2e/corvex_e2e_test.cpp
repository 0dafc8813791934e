// Corvex subroutines through the whole stack: COMPILE and CATALOG as TCL commands or library
// members, the "L", "M" and "C" requests on the library's session and the rule-module members,
// over unixODBC to the driver and the engine.
#include <atomic>
#include <chrono>
#include <thread>

#include "tarn/connection/connection_internal.h"
#include "tarn/lists/rule_module_internal.h"
#include "tests/e2e/e2e_fixture.h"

namespace tarn {

namespace e2e {
namespace {

VariantArray args(std::vector<Variant> elements) {
  VariantArray a(0, static_cast<std::int32_t>(elements.size()));
  a.elements() = std::move(elements);
  return a;
}

class CorvexEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    bp_ = createFile(u"BP");
  }
  // Sends a request on the library's session; the reply data comes back.
  String request(const String& text) {
    String r = text;
    ConnectionInternals::session(*conn_)->rsCmd(r);
    return r;
  }
  String call(const String& module, const std::vector<String>& args) {
    String r = u"M" + AM + module + AM + decimalText(static_cast<int>(args.size()));
    for (const String& a : args) r += AM + decimalText(static_cast<int>(a.size())) + AM + a;
    return request(r);
  }
  // Writes the source lines as item `name` of BP.
  void writeSource(const String& name, const std::vector<String>& lines) {
    String source;
    for (const String& line : lines) source += (source.empty() ? u"" : AM) + line;
    bp_->brWrite(array(source), name);
  }
  // JOIN(A, B, C), through the library's own members: C becomes A-B and A becomes "seen".
  void makeJoin() {
    writeSource(u"JOIN", {u"SUBROUTINE JOIN(A, B, C)", u"C = A : \"-\" : B", u"A = \"seen\"",
                          u"RETURN", u"END"});
    ASSERT_TRUE(conn_->brCompile(u"BP", u"BP", u"JOIN"));
    ASSERT_TRUE(conn_->brCatalog(u"BP", u"BP", u"JOIN"));
  }
  void compileAndCatalog(const String& name, const String& source) {
    bp_->brWrite(array(source), name);
    const String account = toUpperAscii(accountName());
    conn_->brExecute(u"COMPILE " + account + u",BP, " + name + u" (o");
    EXPECT_EQ(conn_->brReturning()->brCString(), u"241");
    conn_->brExecute(u"CATALOG " + account + u",BP, " + name);
    EXPECT_EQ(conn_->brReturning()->brCString(), u"244");
  }
  String accountName() const {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string account = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : account)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return fromUtf8(account);
  }
  static String toUpperAscii(String s) {
    for (char16_t& c : s)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return s;
  }

  Ref<clsTarnFile> bp_;
};

// A subroutine as ported code writes it, with both LOCATE spellings, CASE, an array and a
// substring assignment: it compiles through TCL and runs through the whole stack.
TEST_F(CorvexEndToEnd, APortedSubroutineRunsInEitherSpelling) {
  compileAndCatalog(
      u"SORTIN", u"SUBROUTINE SORTIN(LIST, NEW, OUT)" + AM + u"DIM SEEN(2)" + AM +
                     u"LOCATE NEW IN LIST<1> BY 'AL' SETTING P ELSE INS NEW BEFORE LIST<1,P>" + AM +
                     u"LOCATE(NEW, LIST, 1; Q; 'AL') THEN SEEN(1) = Q" + AM + u"BEGIN CASE" + AM +
                     u"  CASE P = Q; SEEN(2) = 'same'" + AM + u"  CASE 1; SEEN(2) = 'differ'" + AM +
                     u"END CASE" + AM + u"OUT = SEEN(2) : '@' : SEEN(1); OUT[1,1] = 'S'");
  EXPECT_EQ(call(request(u"L" + AM + u"SORTIN"), {u"A" + VM + u"C", u"B", u""}),
            u"5" + AM + u"A" + VM + u"B" + VM + u"C" + AM + u"1" + AM + u"B" + AM + u"6" + AM +
                u"Same@2" + AM);
}

// rsCancel (SQLCancel on the session's statement) from another thread stops brCall with the
// stopped status, and the connection goes on serving.
TEST_F(CorvexEndToEnd, RsCancelStopsAnEndlessCallThroughTheLibrary) {
  compileAndCatalog(u"SPIN", u"SUBROUTINE SPIN(A)" + AM + u"LOOP" + AM + u"REPEAT");
  auto module = conn_->brOpenRuleModule(u"SPIN");
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done) {
      conn_->rsCancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  VariantArray a(0, 1);
  const TarnError e = errorOf([&] { module->brCall(a); });
  done = true;
  canceller.join();
  EXPECT_EQ(e.number(), serverStatusError(48)) << toUtf8(e.description());
  EXPECT_FALSE(conn_->brOconv(u"12345", u"MD2").empty());
}

TEST_F(CorvexEndToEnd, LibraryCallsByEveryReferenceKeepMarksAndNumbers) {
  ASSERT_NO_FATAL_FAILURE(makeJoin());
  const Variant none = Variant::missing();
  const struct { Variant file, base; } references[] = {{u"BP", u"BP"}, {u"BP", none}, {none, none}};
  for (const auto& r : references) {
    auto module = conn_->brOpenRuleModule(u"JOIN", r.file, r.base);
    for (int i = 0; i < 50; ++i) {
      VariantArray a = args({u"a" + decimalText(i), u"b", u""});
      ASSERT_TRUE(module->brCall(a));
      EXPECT_EQ(a.elements(), (std::vector<Variant>{u"seen", u"b", u"a" + decimalText(i) + u"-b"}));
    }
  }
  // Marks and numbers come back whole, as text; arguments past the subroutine's are left alone.
  VariantArray a = args({u"x" + AM + u"y", 42, u"old", Variant::missing(), u"untouched"});
  ASSERT_TRUE(conn_->brOpenRuleModule(u"JOIN")->brCall(a));
  EXPECT_EQ(a.elements(), (std::vector<Variant>{u"seen", u"42", u"x" + AM + u"y-42",
                                                Variant::missing(), u"untouched"}));
}

TEST_F(CorvexEndToEnd, BadSourceFailsAndProgramIsNoSubroutine) {
  writeSource(u"BROKEN", {u"SUBROUTINE BROKEN(A)", u"A = = 1", u"END"});
  EXPECT_FALSE(conn_->brCompile(u"BP", u"BP", u"BROKEN"));

  writeSource(u"MAIN", {u"PROGRAM MAIN", u"X = 1", u"END"});
  ASSERT_TRUE(conn_->brCompile(u"BP", u"BP", u"MAIN"));
  auto module = conn_->brOpenRuleModule(u"MAIN", u"BP", u"BP");
  VariantArray a = args({u"x"});
  const TarnError e = errorOf([&] { module->brCall(a); });
  EXPECT_EQ(e.number(), serverStatusError(17));
  EXPECT_EQ(e.description(), u"Tried to call a main program as a subroutine");
  EXPECT_EQ(e.source(), kSource + u"clsTarnRuleModule.brRun BP,BP, MAIN");
}

TEST_F(CorvexEndToEnd, LastReferenceClosesTheModule) {
  ASSERT_NO_FATAL_FAILURE(makeJoin());
  auto module = conn_->brOpenRuleModule(u"JOIN", u"BP");
  const String number = decimalText(RuleModuleInternals::number(*module));
  auto copy = module;
  conn_->brCloseRuleModule(module);
  call(number, {});  // still loaded: another reference holds it
  copy.reset();
  EXPECT_NE(errorOf([&] { call(number, {}); }).number(), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarn
