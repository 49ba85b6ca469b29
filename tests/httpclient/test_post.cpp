// The URL-encoded POST context against the loopback server.
#include "client_test_util.h"

using namespace ClientTest;
using namespace TestSupport;

namespace {

class Post : public ::testing::Test {
protected:
    CRun Send(CHttpClientA& client, DWORD nDesired, const std::string& sExpected) {
        const std::string sPath = "/form" + std::to_string(++m_nPost);
        client.StartPost(m_srv.Url(sPath).c_str());
        CRun run = Drive(client, nDesired);
        EXPECT_TRUE(run.response);
        CRecordedRequest req = WaitFor(m_srv, "POST " + sPath + " HTTP/1.1");
        EXPECT_EQ(req.Header("Content-Type"), "application/x-www-form-urlencoded");
        ExpectExactBody(req, sExpected);
        return run;
    }
    CScenario m_srv;
    int m_nPost = 0;
};

}  // namespace

TEST_F(Post, FreshClientHasNoContext) {
    CHttpClientA client;
    CHttpPostStatA stat;
    client.GetPostStat(stat);
    EXPECT_FALSE(stat.IsActive());
    EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);
    client.GetPostStat(stat);
    EXPECT_FALSE(stat.IsActive());
}

TEST_F(Post, WorkedExample) {
    CHttpClientA client;
    client.AddParam("b", "x&y");
    client.AddParam("a", "1 2");
    client.StartPost(m_srv.Url("/form").c_str());
    CHttpPostStatA stat;
    client.GetPostStat(stat);
    EXPECT_EQ(stat.ActualTotalByte(), 13u);
    EXPECT_EQ(stat.TotalByte(), 8u);
    EXPECT_STREQ(stat.CurrParamName(), "a");
    EXPECT_EQ(stat.CurrParamTotalByte(), 3u);

    std::vector<DWORD> steps;
    for (int i = 0; i < 4; ++i) {
        client.GetPostStat(stat);
        const DWORD nBefore = stat.ActualPostedByte();
        EXPECT_EQ(client.ProceedStep(1024), nullptr);
        client.GetPostStat(stat);
        steps.push_back(stat.ActualPostedByte() - nBefore);
    }
    EXPECT_EQ(steps, (std::vector<DWORD>{2, 3, 3, 5}));
    EXPECT_EQ(stat.PostedByte(), 8u);
    EXPECT_EQ(stat.ActualPostedByte(), 13u);
    std::unique_ptr<CHttpResponseA> resp(client.ProceedStep(1024));
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->GetStatus(), 200u);
    CRecordedRequest req = m_srv.Request(0);
    EXPECT_EQ(req.Header("Cache-Control"), "no-cache");
    ExpectExactBody(req, "a=1+2&b=x%26y");
    EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);
}

TEST_F(Post, BodyShapes) {
    {
        CHttpClientA client;
        client.AddParam("n");
        EXPECT_EQ(Send(client, 1024, "n=").steps, (std::vector<DWORD>{2}));
    }
    {
        // Pre-encoded names and values go out as stored; a file flag changes nothing.
        CHttpClientA client;
        client.AddParam("a%41", "x%20y", HTTPCLIENT_PARAM_ENCODEDNAME | HTTPCLIENT_PARAM_ENCODEDVALUE);
        client.AddParam("b%", "%", HTTPCLIENT_PARAM_FILE);
        EXPECT_EQ(Send(client, 1, "a%41=x%20y&b%25=%25").steps, (std::vector<DWORD>{5, 1, 1, 1, 1, 1, 6, 1, 1, 1}));
    }
    {
        CHttpClientA client;
        client.SetAnsiCodePage(936);
        client.SetUseUtf8(TRUE);
        client.AddParam("\xD6\xD0", "\xD6\xD0 x");
        Send(client, 4, "%E4%B8%AD=%E4%B8%AD+x");
    }
    {
        CHttpClientA client;
        client.AddParam("empty", "");
        client.AddRequestHeader("X-One", "1");
        Send(client, 1024, "empty=");
        EXPECT_EQ(WaitFor(m_srv, "POST /form" + std::to_string(m_nPost) + " HTTP/1.1").Header("X-One"), "1");
        EXPECT_TRUE(client.RemoveRequestHeader("x-one"));
        client.StartPost(m_srv.Url("/cached").c_str(), TRUE);
        Drive(client, 1024);
        const CRecordedRequest req = WaitFor(m_srv, "POST /cached HTTP/1.1");
        EXPECT_FALSE(req.HasHeader("X-One"));
        EXPECT_FALSE(req.HasHeader("Cache-Control"));
    }
}

TEST_F(Post, FailedWriteReleasesTheContext) {
    m_srv.Script(R"({"close_after_body": 10})");
    CHttpClientA client;
    client.AddParam("v", std::string(4 << 20, 'x').c_str());
    client.StartPost(m_srv.Url("/form").c_str());
    StepToTheCut(client, m_srv, 65536, 10);
    const DWORD dwCode = CatchError([&] { Drive(client, 65536); }).GetErrorCode();
    EXPECT_TRUE(dwCode == HTTPCLIENT_ERR_INTERNETWRITEFILE || dwCode == HTTPCLIENT_ERR_HTTPENDREQUEST) << dwCode;
    CHttpPostStatA stat;
    client.GetPostStat(stat);
    EXPECT_FALSE(stat.IsActive());
    client.RemoveAllParams();
    client.AddParam("ok", "1");
    Send(client, 1024, "ok=1");
}
