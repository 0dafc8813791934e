// Rule modules against the stand-in server: built only where the server has its language.
#include "tarn/connection/connection_internal.h"
#include "tarn/lists/rule_module_internal.h"
#include "tests/e2e/e2e_fixture.h"

namespace tarn {

namespace {
// Calls module number `number` with no arguments through the connection's own session.
void callBare(clsTarnConnection& conn, std::int32_t number) {
  String request = u"M" + String(1, kAM) + decimalText(number) + String(1, kAM) + u"0";
  ConnectionInternals::session(conn)->rsCmd(request);
}
}  // namespace

namespace e2e {
namespace {

class RuleModuleEndToEnd : public EndToEndTest {
 protected:
  // Writes the source lines as item `name` of BP (file BP, data section BP).
  void writeSource(const String& name, const std::vector<String>& lines) {
    if (!bp_) bp_ = createFile(u"BP");
    String source;
    for (const String& line : lines) source += (source.empty() ? u"" : AM) + line;
    bp_->brWrite(array(source), name);
  }
  // JOIN(A, B, C): C becomes A-B and A becomes "seen"; B is left alone.
  void makeJoin() {
    writeSource(u"JOIN", {u"SUBROUTINE JOIN(A, B, C)", u"C = A : \"-\" : B", u"A = \"seen\"",
                          u"RETURN", u"END"});
    ASSERT_TRUE(conn_->brCompile(u"BP", u"BP", u"JOIN"));
    ASSERT_TRUE(conn_->brCatalog(u"BP", u"BP", u"JOIN"));
  }

  Ref<clsTarnFile> bp_;
};

VariantArray args(std::vector<Variant> elements) {
  VariantArray a(0, static_cast<std::int32_t>(elements.size()));
  a.elements() = std::move(elements);
  return a;
}

TEST_F(RuleModuleEndToEnd, CalledRepeatedlyByEveryReference) {
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
}

TEST_F(RuleModuleEndToEnd, MarksAndNumbersComeBackWholeAsText) {
  ASSERT_NO_FATAL_FAILURE(makeJoin());
  auto module = conn_->brOpenRuleModule(u"JOIN");
  VariantArray a = args({u"x" + AM + u"y", 42, u"old", Variant::missing(), u"untouched"});
  ASSERT_TRUE(module->brCall(a));
  EXPECT_EQ(a.elements(), (std::vector<Variant>{u"seen", u"42", u"x" + AM + u"y-42",
                                                Variant::missing(), u"untouched"}));
}

TEST_F(RuleModuleEndToEnd, BadSourceFailsAndProgramIsNoSubroutine) {
  writeSource(u"BROKEN", {u"SUBROUTINE BROKEN(A)", u"A = = 1", u"END"});
  EXPECT_FALSE(conn_->brCompile(u"BP", u"BP", u"BROKEN"));

  writeSource(u"MAIN", {u"PROGRAM MAIN", u"X = 1", u"END"});
  ASSERT_TRUE(conn_->brCompile(u"BP", u"BP", u"MAIN"));
  auto module = conn_->brOpenRuleModule(u"MAIN", u"BP", u"BP");
  VariantArray a = args({u"x"});
  const TarnError e = errorOf([&] { module->brCall(a); });
  EXPECT_EQ(e.number(), serverStatusError(17));
  EXPECT_EQ(e.description(), u"Tried to call a main program as a subroutine");
  EXPECT_EQ(e.source(),
            u"Tarn Class Library (ODBC Only) (ODBC) clsTarnRuleModule.brRun BP,BP, MAIN");
}

TEST_F(RuleModuleEndToEnd, LastReferenceClosesTheModule) {
  ASSERT_NO_FATAL_FAILURE(makeJoin());
  auto module = conn_->brOpenRuleModule(u"JOIN", u"BP");
  const std::int32_t number = RuleModuleInternals::number(*module);
  auto copy = module;
  conn_->brCloseRuleModule(module);
  callBare(*conn_, number);  // still loaded: another reference holds it
  copy.reset();
  EXPECT_NE(errorOf([&] { callBare(*conn_, number); }).number(), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarn
