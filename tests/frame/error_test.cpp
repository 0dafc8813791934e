#include <gtest/gtest.h>

#include "tarn/frame/enums.h"
#include "tarn/frame/error_internal.h"
#include "tarn/frame/handle.h"

namespace tarn {
namespace {

TEST(HandleTest, FieldsArePaddedAndKeepTheirRightmostDigits) {
  EXPECT_EQ(rsFormatHandle(TarnClassConn, 0x0012F3A0), u"B66BF2000012F3A0");
  EXPECT_EQ(rsFormatHandle(TarnClassTCL, 0), u"B66B030300000000");
  EXPECT_EQ(rsFormatHandle(TarnClassSL, -1), u"B66B0113FFFFFFFF");
  EXPECT_EQ(rsFormatHandle(0x12345, 0xABC), u"B66B234500000ABC");
}

TEST(MessageTableTest, LibraryCodesSelectTheirTexts) {
  EXPECT_EQ(rsErrorText(serverStatusError(2)), u"Item is missing");
  EXPECT_EQ(serverStatusError(2), -2147220478);
  EXPECT_EQ(rsErrorText(serverStatusError(36)), u"End of List");
  EXPECT_EQ(rsErrorText(libraryError(1281)), u"Unidentified Internal Error");
  EXPECT_EQ(rsErrorText(libraryError(65535)), u"Error message unavailable");
  const String twoLines = rsErrorText(libraryError(4095));
  ASSERT_EQ(twoLines.back(), u'"');
  EXPECT_EQ(twoLines.find(u'\n'), twoLines.find(u"Make sure") - 1);
  EXPECT_EQ(twoLines.substr(0, 58), u"Unknown System error. Required service may not be running.");
}

TEST(MessageTableTest, NumbersWithoutAnEntryHaveNoText) {
  EXPECT_EQ(rsErrorText(err::kConnectFailed), u"");  // 1284..1287 have none
  EXPECT_EQ(rsErrorText(err::kTypeMismatch), u"");
  EXPECT_EQ(rsErrorText(kLibraryErrorBase), u"");  // the base itself is outside the range
  EXPECT_EQ(rsErrorText(0), u"");
  EXPECT_EQ(rsErrorText(libraryError(1027)), u"");
}

TEST(RaiseTest, SourceNamesClassAndOperationAndRecordsTheNumber) {
  gLastError = 0;
  const TarnError e = rsRaiseError(serverStatusError(5), u"clsTarnFile", u"brRead CUST 1");
  EXPECT_EQ(e.number(), libraryError(1029));
  EXPECT_EQ(e.source(), u"Tarn Class Library (ODBC Only) (ODBC) clsTarnFile.brRead CUST 1");
  EXPECT_EQ(e.description(), u"File/Item is locked");
  EXPECT_EQ(gLastError, libraryError(1029));
}

TEST(RaiseTest, HandlerKeepsTheFirstNumberAndNamesTheOutermostMember) {
  String innerOperation, outerOperation;
  try {
    withHandler(outerOperation, u"clsTarnTclCommand", [] { return String(u"brExecute LIST MD"); },
                [&] {
                  withHandler(innerOperation, u"clsTarnODBC", [] { return String(u"rsCmd"); },
                              [] { throw TarnError::platform(err::kTypeMismatch); });
                });
    FAIL() << "no error raised";
  } catch (const TarnError& e) {
    EXPECT_EQ(e.number(), 13);
    EXPECT_EQ(e.source(),
              u"Tarn Class Library (ODBC Only) (ODBC) clsTarnTclCommand.brExecute LIST MD");
    EXPECT_EQ(e.description(), u"");  // platform numbers carry no library description
  }
  EXPECT_EQ(outerOperation, u"brExecute LIST MD");
  EXPECT_EQ(gLastError, 13);
}

TEST(RaiseTest, UnexpectedFailuresBecomeLibraryErrors) {
  String op;
  auto run = [&](auto body) {
    try {
      withHandler(op, u"clsTarnFile", [] { return String(u"x"); }, body);
    } catch (const TarnError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(run([] { throw std::bad_alloc(); }), err::kOutOfMemory);
  EXPECT_EQ(run([] { throw std::runtime_error("boom"); }), err::kInternal);
}

}  // namespace
}  // namespace tarn
