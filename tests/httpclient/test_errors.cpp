#include "errors.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <string>

using namespace Tavon;

TEST(Errors, StockTextsByGroupAndIndex) {
    EXPECT_STREQ(GetStockMessage(0), "Not specified");
    EXPECT_STREQ(GetStockMessage(113), "An interger divide by zero exception has been occurred.");
    EXPECT_STREQ(GetStockMessage(114), "The file (%s) aleady exists.");
    EXPECT_STREQ(GetStockMessage(200), "");
    EXPECT_STREQ(GetStockMessage(300), "");  // lands on the 200 group's entry 0
    EXPECT_STREQ(GetStockMessage(410), "::InternetSetOption failed.");
    EXPECT_STREQ(GetStockMessage(500), "::HttpQueryInfo failed.");
    EXPECT_STREQ(GetStockMessage(603), "OpenFile (::CreateFile) failed (\"%s\").");
    EXPECT_STREQ(GetStockMessage(700), "::WideCharToMultiByte failed.");
    EXPECT_STREQ(GetStockMessage(1000), "user-defined error message");
    EXPECT_STREQ(GetStockMessage(0x80000000u), "user-defined error message");
    EXPECT_STREQ(GetStockMessageW(605), L"::GetFileSize failed (\"%s\").");
    EXPECT_STREQ(GetStockMessageW(1234), L"user-defined error message");
}

TEST(Errors, ThrowRoutinesCarryCodeLastErrorAndText) {
    auto e = CatchError([] { ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY); });
    EXPECT_EQ(e.GetErrorCode(), 102u);
    EXPECT_EQ(e.GetWin32LastError(), 0u);
    EXPECT_STREQ(e.GetErrorMessage(), "Out of memory.");
    EXPECT_STREQ(e.what(), "Out of memory.");

    e = CatchError([] { ThrowErrorFmt(605, 5, "C:\\a b\\c.dmp"); });
    EXPECT_EQ(e.GetErrorCode(), 605u);
    EXPECT_EQ(e.GetWin32LastError(), 5u);
    EXPECT_STREQ(e.GetErrorMessage(), "::GetFileSize failed (\"C:\\a b\\c.dmp\").");

    e = CatchError([] { ThrowErrorFmt(605, 5, nullptr); });
    EXPECT_STREQ(e.GetErrorMessage(), "::GetFileSize failed (\"%s\").");

    // A path full of % signs is text, not a format.
    e = CatchError([] { ThrowErrorFmt(603, 2, "%s%n%d"); });
    EXPECT_STREQ(e.GetErrorMessage(), "OpenFile (::CreateFile) failed (\"%s%n%d\").");
}

TEST(Errors, FormattedMessageIsCutAt511Characters) {
    const std::string path(600, 'x');
    auto e = CatchError([&] { ThrowErrorFmt(603, 0, path.c_str()); });
    const std::string msg = e.GetErrorMessage();
    ASSERT_EQ(msg.size(), 511u);
    EXPECT_EQ(msg.substr(0, 32), "OpenFile (::CreateFile) failed (");

    const std::wstring wpath(600, L'y');
    auto w = CatchError<httpclientexceptionW>([&] { ThrowErrorFmtW(605, 7, wpath.c_str()); });
    EXPECT_EQ(std::wstring(w.GetErrorMessage()).size(), 511u);
    EXPECT_EQ(w.GetWin32LastError(), 7u);
}

TEST(Errors, MissingMessageReadsNull) {
    httpclientexceptionA a(nullptr, 5, 6);
    EXPECT_STREQ(a.GetErrorMessage(), "NULL");
    httpclientexceptionW w(nullptr, 5, 6);
    EXPECT_STREQ(w.GetErrorMessage(), L"NULL");
    EXPECT_STREQ(w.what(), "httpclientexceptionW");
    errmsg_exceptionW ew(L"x");
    EXPECT_STREQ(ew.what(), "errmsg_exceptionW");
}

TEST(Errors, CopiesOwnTheirMessage) {
    auto* src = new httpclientexceptionA("boom", 408, 12030);
    httpclientexceptionA copy(*src);
    delete src;
    EXPECT_STREQ(copy.GetErrorMessage(), "boom");
    EXPECT_EQ(copy.GetErrorCode(), 408u);
    EXPECT_EQ(copy.GetWin32LastError(), 12030u);
    copy = copy;  // self-assignment keeps the text
    EXPECT_STREQ(copy.GetErrorMessage(), "boom");
}

TEST(Errors, ForeignExceptionsBecomeLibraryCodes) {
    EXPECT_EQ(CatchError([] { ThrowSafeIntError(SafeIntException(534)); }).GetErrorCode(), 112u);
    EXPECT_EQ(CatchError([] { ThrowSafeIntError(SafeIntException(HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO)); }).GetErrorCode(),
              113u);
    EXPECT_EQ(CatchError([] { ThrowSafeIntError(SafeIntException(1)); }).GetErrorCode(), 111u);

    auto e = CatchError([] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>([] { throw std::runtime_error("bad thing"); }); });
    EXPECT_EQ(e.GetErrorCode(), 108u);
    EXPECT_STREQ(e.GetErrorMessage(), "bad thing");
    EXPECT_EQ(CatchError([] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>([] { throw 42; }); }).GetErrorCode(), 100u);
    EXPECT_EQ(CatchError([] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>([] { ThrowError(103); }); }).GetErrorCode(), 103u);
    EXPECT_EQ(CatchError([] { GuardBoundary([] { return SafeAdd(0xFFFFFFFFu, 1u); }); }).GetErrorCode(), 112u);
    // Only the boundaries that say so convert standard exceptions.
    EXPECT_THROW(GuardBoundary([] { throw std::runtime_error("x"); }), std::runtime_error);
}

// A narrow caller catches httpclientexceptionA only: a wide exception reaching a narrow operation
// must arrive as the narrow one, code, last error and text intact.
TEST(Errors, WideExceptionsReachNarrowCallersConverted) {
    for (auto fn : {+[] { GuardBoundary([] { ThrowErrorFmtW(602, 38); }); },
                    +[] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>([] { ThrowErrorFmtW(602, 38); }); }}) {
        auto e = CatchError(fn);
        EXPECT_EQ(e.GetErrorCode(), 602u);
        EXPECT_EQ(e.GetWin32LastError(), 38u);
        EXPECT_STREQ(e.GetErrorMessage(), "::ReadFile failed.");
    }
    EXPECT_EQ(SafeAdd(0xFFFFFFFEu, 1u), 0xFFFFFFFFu);
}
