#include "poststat.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace Tavon;

namespace {

void ExpectInactive(CHttpPostStatA& s) {
    const std::pair<const char*, std::function<void()>> ops[] = {
        {"ActualTotalByte", [&] { s.ActualTotalByte(); }},
        {"ActualPostedByte", [&] { s.ActualPostedByte(); }},
        {"TotalCount", [&] { s.TotalCount(); }},
        {"PostedCount", [&] { s.PostedCount(); }},
        {"FileCount", [&] { s.FileCount(); }},
        {"PostedFileCount", [&] { s.PostedFileCount(); }},
        {"CurrParamTotalByte", [&] { s.CurrParamTotalByte(); }},
        {"CurrParamPostedByte", [&] { s.CurrParamPostedByte(); }},
        {"CurrParamRemainByte", [&] { s.CurrParamRemainByte(); }},
        {"CurrParamIsFile", [&] { s.CurrParamIsFile(); }},
        {"CurrParamIsComplete", [&] { s.CurrParamIsComplete(); }},
        {"_TestStartNewEntry", [&] { s._StartNewEntry("n", 1); }},
        {"_TestAddPostedBytes", [&] { s._AddPostedBytes(1); }},
        {"_TestAddActualPostedBytes", [&] { s._AddActualPostedBytes(1); }},
    };
    EXPECT_FALSE(s.IsActive());
    for (const auto& op : ops) {
        auto e = CatchError(op.second);
        EXPECT_EQ(std::string(e.GetErrorMessage()),
                  std::string("CHttpPostStatT::") + op.first + ": The post context is not active.");
        EXPECT_EQ(e.GetErrorCode(), 0u);
    }
}

}  // namespace

TEST(PostStat, EntriesAndBytesAdvanceTheCounters) {
    CHttpPostStatA s;
    ExpectInactive(s);
    s._Activate(500, 30, 4, 1);
    EXPECT_EQ(s.PostedCount(), 0u);
    EXPECT_TRUE(s.CurrParamIsComplete());
    EXPECT_FALSE(s.CurrParamIsFile());
    EXPECT_EQ(s.CurrParamRemainByte(), 0u);

    s._StartNewEntry("file", 10, TRUE, "C:\\x.dmp");
    s._AddActualPostedBytes(40);  // part header
    s._AddPostedBytes(4);
    EXPECT_EQ(s.PostedFileCount(), 1u);
    EXPECT_TRUE(s.CurrParamIsFile());
    EXPECT_EQ(s.CurrParamRemainByte(), 6u);
    EXPECT_FALSE(s.CurrParamIsComplete());
    EXPECT_EQ(s.PostedByte(), 4u);
    EXPECT_EQ(s.ActualPostedByte(), 44u);

    s._StartNewEntry("comment", 0);
    EXPECT_EQ(s.CurrParamFilePath(), nullptr);
    EXPECT_TRUE(s.CurrParamIsComplete());
    EXPECT_EQ(s.PostedCount(), 2u);
    EXPECT_EQ(s.PostedFileCount(), 1u);
    EXPECT_STREQ(s.CurrParamName(), "comment");

    s._Reset();
    ExpectInactive(s);
}

TEST(PostStat, CopiesAreIndependentOfTheirSource) {
    auto* src = new CHttpPostStatA;
    src->_Activate(100, 20, 2, 1);
    src->_StartNewEntry("file", 20, TRUE, "a.dmp");
    src->_AddPostedBytes(5);

    CHttpPostStatA copy;
    copy = *src;
    copy = copy;
    CHttpPostStatA next(copy);
    next._StartNewEntry("next", 3);
    src->_Reset();
    delete src;
    EXPECT_STREQ(copy.CurrParamName(), "file");
    EXPECT_STREQ(copy.CurrParamFilePath(), "a.dmp");
    EXPECT_EQ(copy.ActualPostedByte(), 5u);
    EXPECT_EQ(copy.CurrParamRemainByte(), 15u);
    EXPECT_EQ(next.PostedCount(), 2u);

    copy = CHttpPostStatA();
    ExpectInactive(copy);
}

TEST(PostStat, WrappingCountersAreRefusedBeforeAnyChange) {
    CHttpPostStatA s;
    s._Activate(0xFFFFFFFFu, 0xFFFFFFFFu, 1, 0);
    s._StartNewEntry("big", 0xFFFFFFFFu);
    s._AddPostedBytes(0xFFFFFFF0u);
    EXPECT_EQ(CatchError([&] { s._AddPostedBytes(0x20); }).GetErrorCode(), 112u);
    EXPECT_EQ(CatchError([&] { s._AddActualPostedBytes(0x20); }).GetErrorCode(), 112u);
    EXPECT_EQ(s.PostedByte(), 0xFFFFFFF0u);
    EXPECT_EQ(s.ActualPostedByte(), 0xFFFFFFF0u);
    EXPECT_EQ(s.CurrParamPostedByte(), 0xFFFFFFF0u);
}
