#include "poststat.h"

#include "errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace Tavon;

namespace {

template <class F>
httpclientexceptionA Catch(F f)
{
    try {
        f();
    } catch (const httpclientexceptionA& e) {
        return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return httpclientexceptionA();
}

void ExpectAllReadersFail(const CHttpPostStatA& s)
{
    const std::pair<const char*, std::function<void()>> readers[] = {
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
        {"_TestStartNewEntry", [&] { s._TestStartNewEntry("n", 1); }},
        {"_TestAddPostedBytes", [&] { s._TestAddPostedBytes(1); }},
        {"_TestAddActualPostedBytes", [&] { s._TestAddActualPostedBytes(1); }},
    };
    EXPECT_FALSE(s.IsActive());
    for (const auto& r : readers) {
        auto e = Catch(r.second);
        EXPECT_EQ(std::string(e.GetErrorMessage()),
                  std::string("CHttpPostStatT::") + r.first + ": The post context is not active.");
        EXPECT_EQ(e.GetErrorCode(), 0u);
    }
}

} // namespace

TEST(PostStat, InactiveObjectRefusesEveryReaderAndChange)
{
    CHttpPostStatA s;
    ExpectAllReadersFail(s);
    EXPECT_STREQ(Catch([&] { s._StartNewEntry("n", 1); }).GetErrorMessage(),
                 "CHttpPostStatT::_TestStartNewEntry: The post context is not active.");
    EXPECT_STREQ(Catch([&] { s._AddPostedBytes(1); }).GetErrorMessage(),
                 "CHttpPostStatT::_TestAddPostedBytes: The post context is not active.");
    EXPECT_STREQ(Catch([&] { s._AddActualPostedBytes(1); }).GetErrorMessage(),
                 "CHttpPostStatT::_TestAddActualPostedBytes: The post context is not active.");
}

TEST(PostStat, EntriesAndBytesAdvanceTheCounters)
{
    CHttpPostStatA s;
    s._Activate(500, 30, 4, 1);
    EXPECT_EQ(s.PostedCount(), 0u);
    EXPECT_TRUE(s.CurrParamIsComplete());
    EXPECT_FALSE(s.CurrParamIsFile());
    EXPECT_EQ(s.CurrParamRemainByte(), 0u);
    EXPECT_EQ(s.CurrParamName(), nullptr);

    s._StartNewEntry("file", 10, TRUE, "C:\\x.dmp");
    s._AddActualPostedBytes(40);  // part header
    s._AddPostedBytes(4);
    EXPECT_EQ(s.PostedFileCount(), 1u);
    EXPECT_TRUE(s.CurrParamIsFile());
    EXPECT_STREQ(s.CurrParamFilePath(), "C:\\x.dmp");
    EXPECT_EQ(s.CurrParamRemainByte(), 6u);
    EXPECT_FALSE(s.CurrParamIsComplete());
    EXPECT_EQ(s.PostedByte(), 4u);
    EXPECT_EQ(s.ActualPostedByte(), 44u);

    s._StartNewEntry("comment", 0);
    EXPECT_EQ(s.CurrParamFilePath(), nullptr);
    EXPECT_FALSE(s.CurrParamIsFile());
    EXPECT_TRUE(s.CurrParamIsComplete());
    EXPECT_EQ(s.PostedCount(), 2u);
    EXPECT_EQ(s.PostedFileCount(), 1u);
    EXPECT_STREQ(s.CurrParamName(), "comment");

    s._Reset();
    ExpectAllReadersFail(s);
}

TEST(PostStat, CopiesAreIndependentOfTheirSource)
{
    auto* src = new CHttpPostStatA;
    src->_Activate(100, 20, 2, 1);
    src->_StartNewEntry("file", 20, TRUE, "a.dmp");
    src->_AddPostedBytes(5);

    CHttpPostStatA copy;
    copy = *src;
    copy = copy;
    CHttpPostStatA second(copy);
    second._StartNewEntry("next", 3);  // advancing a copy leaves the copied-from object alone
    EXPECT_STREQ(copy.CurrParamName(), "file");

    src->_Reset();
    delete src;
    EXPECT_TRUE(copy.IsActive());
    EXPECT_STREQ(copy.CurrParamName(), "file");
    EXPECT_STREQ(copy.CurrParamFilePath(), "a.dmp");
    EXPECT_EQ(copy.ActualPostedByte(), 5u);
    EXPECT_EQ(copy.CurrParamRemainByte(), 15u);
    EXPECT_EQ(second.PostedCount(), 2u);

    CHttpPostStatA inactive;
    copy = inactive;
    ExpectAllReadersFail(copy);
}

TEST(PostStat, WrappingCountersAreRefusedBeforeAnyChange)
{
    CHttpPostStatA s;
    s._Activate(0xFFFFFFFFu, 0xFFFFFFFFu, 1, 0);
    s._StartNewEntry("big", 0xFFFFFFFFu);
    s._AddPostedBytes(0xFFFFFFF0u);
    auto e = Catch([&] { s._AddPostedBytes(0x20); });
    EXPECT_EQ(e.GetErrorCode(), 112u);
    EXPECT_EQ(Catch([&] { s._AddActualPostedBytes(0x20); }).GetErrorCode(), 112u);
    EXPECT_EQ(s.PostedByte(), 0xFFFFFFF0u);
    EXPECT_EQ(s.ActualPostedByte(), 0xFFFFFFF0u);
    EXPECT_EQ(s.CurrParamPostedByte(), 0xFFFFFFF0u);
}
