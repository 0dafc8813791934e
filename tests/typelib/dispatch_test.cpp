// Late-bound dispatch: ids, every kind, optional and by-reference parameters, the registry and
// the application objects, the dispatch errors, and library errors passing through unchanged.
#include <gtest/gtest.h>

#include "tarn/tarncl.h"
#include "tarn/typelib/dispatch.h"
#include "tests/support/expect_error.h"
#include "tests/support/wire_fixture.h"

namespace tarn::typelib {
namespace {

using testing::errorOf;
using Args = std::vector<Variant>;

Variant call(const Ref<Object>& o, std::string_view name, Kind kind, Args args = {}) {
  return invoke(o, name, kind, args);
}

Ref<Object> newArray(const String& text) {
  Ref<Object> a = createObject("TarnCLODBC.clsTarnDynamicArray");
  Args v{Variant(text)};
  invoke(a, "brCString", Kind::PropertyLet, v);
  return a;
}

TEST(TypelibIds, EveryMemberNameGivesItsIdInInterfaceOrderWhateverItsCase) {
  for (const ClassInfo& cls : library().classes) {
    std::int32_t last = 0;
    for (const Member& m : cls.members) {
      std::string upper = m.name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const std::string_view names[] = {m.name, upper};
      EXPECT_EQ(getIdsOfNames(cls, names), (std::vector<std::int32_t>{m.id, m.id}))
          << cls.name << "." << m.name;
      // Ids rise with the interface; a property's second kind repeats the id of its first.
      EXPECT_TRUE(m.id == last + 1 || m.id <= last) << cls.name << "." << m.name;
      last = std::max(last, m.id);
    }
  }
  const ClassInfo& da = *library().findClass("clsTarnDynamicArray");
  const std::string_view names[] = {"brCString", "brCopy", "brLen", "brIsODBC", "brNoSuch"};
  EXPECT_EQ(getIdsOfNames(da, names), (std::vector<std::int32_t>{1, 2, 4, 26, kUnknownId}));
}

TEST(TypelibInvoke, ReachesPropertiesMethodsAndByReferenceParameters) {
  Ref<Object> a = newArray(u"a\u00FEb\u00FDc\u00FEd");
  EXPECT_EQ(call(a, "brCString", Kind::PropertyGet), Variant(u"a\u00FEb\u00FDc\u00FEd"));
  EXPECT_EQ(call(a, "BRLEN", Kind::Method), Variant(std::int32_t{7}));
  EXPECT_EQ(call(a, "brLen", Kind::PropertyGet), Variant(std::int32_t{7}));  // get for a method
  // Optional parameters left out, given, and given as text that converts.
  EXPECT_EQ(call(a, "brExtractStr", Kind::Method, {Variant(2)}), Variant(u"b\u00FDc"));
  EXPECT_EQ(call(a, "brExtractStr", Kind::Method, {Variant(u"2"), Variant(2)}), Variant(u"c"));
  // By reference: nPosition comes back; sSub, also by reference, holds its converted value.
  a = newArray(u"x\u00FD4\u00FDz");
  Args loc{Variant(std::int32_t{4}), Variant(0), Variant(1)};
  EXPECT_EQ(invoke(a, "brLocateStr", Kind::Method, loc), Variant(true));
  EXPECT_EQ(loc[0], Variant(u"4"));
  EXPECT_EQ(loc[1], Variant(std::int32_t{2}));
  // Objects as arguments and results.
  Variant copy = call(a, "brCopy", Kind::Method);
  EXPECT_EQ(call(a, "brEqual", Kind::Method, {copy}), Variant(true));
  Args ins{copy, Variant(1)};
  invoke(a, "brInsert", Kind::Method, ins);
  EXPECT_EQ(call(a, "brDCount", Kind::Method, {Variant(u"\u00FE")}), Variant(std::int32_t{2}));
}

TEST(TypelibInvoke, ById) {
  Ref<Object> a = newArray(u"abc");
  const ClassInfo& cls = *classOf(*a);
  const std::string_view names[] = {"brLen", "brCString"};
  auto ids = getIdsOfNames(cls, names);
  EXPECT_EQ(invoke(a, ids[0], Kind::Method), Variant(std::int32_t{3}));
  Args v{Variant(u"xy")};
  invoke(a, ids[1], Kind::PropertyLet, v);
  EXPECT_EQ(invoke(a, ids[0], Kind::Method), Variant(std::int32_t{2}));
}

TEST(TypelibInvoke, DispatchErrorsCarryThePlatformNumbers) {
  Ref<Object> a = newArray(u"abc");
  Ref<Object> env = createObject("TarnCLODBC.clsTarnEnvironment");
  struct Case {
    const char* what;
    Ref<Object> target;
    std::string_view member;
    Kind kind;
    Args args;
    std::int32_t number;
  };
  const Case cases[] = {
      {"unknown member", a, "brNoSuch", Kind::Method, {}, kNotSupported},
      {"let of a read-only property",
       a,
       "brName",
       Kind::PropertyLet,
       {Variant(u"x")},
       kNotSupported},
      {"set of a let-only property",
       env,
       "brCurrency",
       Kind::PropertySet,
       {Variant(u"x")},
       kNotSupported},
      {"too many arguments", a, "brLen", Kind::Method, {Variant(1)}, kWrongArgCount},
      {"too few arguments", a, "brReplaceStr", Kind::Method, {Variant(u"x")}, kWrongArgCount},
      {"required argument missing",
       a,
       "brExtractStr",
       Kind::Method,
       {Variant::missing()},
       kArgNotOptional},
      {"text that is no number",
       a,
       "brExtractStr",
       Kind::Method,
       {Variant(u"one")},
       err::kTypeMismatch},
      {"object of another class", a, "brEqual", Kind::Method, {Variant(env)}, err::kTypeMismatch},
      {"number out of range", a, "brExtractStr", Kind::Method, {Variant(1e12)}, err::kOverflow},
      {"no object", nullptr, "brLen", Kind::Method, {}, err::kObjectNotSet},
  };
  for (const Case& c : cases) {
    Args args = c.args;
    TarnError e = errorOf([&] { invoke(c.target, c.member, c.kind, args); });
    EXPECT_EQ(e.number(), c.number) << c.what;
  }
  EXPECT_EQ(errorOf([&] { call(a, "brNoSuch", Kind::Method); }).description(),
            u"Object doesn't support this property or method");
}

TEST(TypelibRegistry, CreatesOnlyTheCreatableClasses) {
  for (const char* name : {"TarnCLODBC.clsTarnEnvironment", "TarnCLODBC.clsTarnDynamicArray",
                           "TarnCLODBC.clsTarnGlobalConstant"}) {
    Ref<Object> o = createObject(name);
    ASSERT_TRUE(o) << name;
    EXPECT_EQ("TarnCLODBC." + classOf(*o)->name, name);
  }
  for (const char* name : {"TarnCLODBC.clsTarnConnection", "TarnCLODBC.clsTarnFile",
                           "clsTarnEnvironment", "Other.clsTarnEnvironment", "TarnCLODBC."}) {
    EXPECT_EQ(errorOf([&] { (void)createObject(name); }).number(), kCannotCreate) << name;
  }
}

TEST(TypelibGlobals, ApplicationObjectsAnswerUnqualifiedNames) {
  EXPECT_EQ(appObject("clsTarnEnvironment"), appObject("CLSTARNENVIRONMENT"));  // one instance
  EXPECT_EQ(invokeGlobal("brAMChr", Kind::PropertyGet), Variant(u"\u00FE"));
  EXPECT_EQ(invokeGlobal("TarnSVMChr", Kind::PropertyGet), Variant(u"\u00FC"));
  EXPECT_EQ(invokeGlobal("brType", Kind::PropertyGet), Variant(u"ODBC32"));
  // Settings made unqualified stay on the predeclared instance.
  Args dec{Variant(u",")};
  invokeGlobal("brDecimal", Kind::PropertyLet, dec);
  EXPECT_EQ(call(appObject("clsTarnEnvironment"), "brDecimal", Kind::PropertyGet), Variant(u","));
  EXPECT_EQ(errorOf([] { invokeGlobal("brLen", Kind::Method); }).number(), kNotSupported);
  EXPECT_EQ(errorOf([] { (void)appObject("clsTarnDynamicArray"); }).number(), kCannotCreate);
}

class TypelibWireTest : public wiretest::WireTest {};

TEST_F(TypelibWireTest, ServerObjectsAreReachedLateBound) {
  using wiretest::AM;
  queueOk("7");
  Variant file = call(conn_, "brOpenFile", Kind::Method, {Variant(u""), Variant(u"CUST")});
  ASSERT_TRUE(file.isObject());
  EXPECT_EQ(classOf(*file.toObject())->name, "clsTarnFile");
  queueOk("Smith" + AM + "Main St");
  Variant item = call(file.toObject(), "brRead", Kind::Method, {Variant(u"42")});
  EXPECT_EQ(call(item.toObject(), "brExtractStr", Kind::Method, {Variant(2)}), Variant(u"Main St"));
  // A library error passes through as the direct call raises it, and brError sees it.
  queue(wiretest::reply(2));
  TarnError direct = errorOf([&] { (void)refCast<clsTarnFile>(file.toObject())->brRead(u"43"); });
  queue(wiretest::reply(2));
  TarnError late = errorOf([&] {
    call(file.toObject(), "brRead", Kind::Method, {Variant(u"43"), Variant(1)});
  });
  EXPECT_EQ(late.number(), err::kItemMissing);
  EXPECT_EQ(late.number(), direct.number());
  EXPECT_EQ(late.source(), u"Tarn Class Library (ODBC Only) (ODBC) clsTarnFile.brRead  CUST 43");
  EXPECT_EQ(late.description(), direct.description());
  Args out{Variant()};
  EXPECT_EQ(invoke(env_, "brError", Kind::Method, out), Variant(err::kItemMissing));
  EXPECT_EQ(out[0], Variant(err::kItemMissing));
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"O" + AM + " CUST", "R" + AM + "7" + AM + "42" + AM + "0",
                                      "R" + AM + "7" + AM + "43" + AM + "0",
                                      "R" + AM + "7" + AM + "43" + AM + "1"}));
  // A by-reference object argument comes back as nothing once the connection let it go.
  Args close{file};
  file = Variant();
  invoke(conn_, "brCloseFile", Kind::Method, close);
  EXPECT_FALSE(close[0].toObject());
}

}  // namespace
}  // namespace tarn::typelib
