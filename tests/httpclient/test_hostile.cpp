// The client against servers that misbehave: redirects, silence, stalls, endless or huge answers.
// Every case must end with an answer the caller sees or the library's error, within the timeouts.
#include "client_test_util.h"

#include <cstdio>

using namespace ClientTest;
using namespace TestSupport;

namespace {

const DWORD kTimeoutMs = 2000;
const DWORD kBoundMs = kTimeoutMs + 20000;  // generous: the machine may be busy

struct CTimer {
    DWORD dwStart = ::GetTickCount();
    DWORD Ms() const { return ::GetTickCount() - dwStart; }
};

void StartSmallUpload(CHttpClientA& client, const CScenario& srv, DWORD dwExtraFlags = 0) {
    client.SetTimeouts(kTimeoutMs, kTimeoutMs, kTimeoutMs);
    client.AddParam("v", "report");
    client.StartUploadEx(nullptr, nullptr, srv.Url("/up.php").c_str(), HTTPCLIENT_REQUEST_FLAGS_NOCACHE | dwExtraFlags);
}

bool IsActive(CHttpClientA& client) {
    CHttpPostStatA stat;
    client.GetPostStat(stat);
    return stat.IsActive();
}

}  // namespace

TEST(Hostile, RedirectsComeBackToTheCallerAndNothingIsResent) {
    const char* const aszStatus[] = {"301 Moved Permanently", "302 Found", "303 See Other", "307 Temporary Redirect",
                                     "308 Permanent Redirect"};
    for (const char* szStatus : aszStatus) {
        SCOPED_TRACE(szStatus);
        CScenario srv;
        srv.Script(std::string(R"({"status": ")") + szStatus + R"(", "headers": [["Location", ")" +
                   srv.Url("/moved.php") + R"("]]})");  // a followed redirect would get the default 200

        CHttpClientA client;
        StartSmallUpload(client, srv);
        CRun run = Drive(client, 1024);
        ASSERT_TRUE(run.response);
        EXPECT_EQ(run.response->GetStatus(), DWORD(std::atoi(szStatus)));
        ASSERT_NE(run.response->GetHeader("Location"), nullptr);
        EXPECT_EQ(std::string(run.response->GetHeader("Location")), srv.Url("/moved.php"));
        // A followed redirect is sent before the platform hands back any answer.
        EXPECT_EQ(srv.Count(), 1u);
        const CRecordedRequest req = srv.Request(0);
        EXPECT_EQ(req.RequestLine(), "POST /up.php HTTP/1.1");
        EXPECT_TRUE(req.bComplete);
        EXPECT_NE(req.Body().find("report"), std::string::npos);
    }
}

// Each row's own timeout must end it; the other two are long, so that a timeout taken from the
// wrong setting shows as a wait past the bound. "Never" is until the server stops.
TEST(Hostile, ASilentServerEndsTheStepWithAnErrorWithinTheTimeout) {
    const DWORD kLong = 3 * kBoundMs;
    const struct {
        const char *szCase, *szAnswer;
        DWORD dwCode, dwConnectMs, dwSendMs, dwReceiveMs;
    } aCase[] = {
        {"never reads the body", R"({"stall_after_body": 0, "stall_ms": 1e9})", HTTPCLIENT_ERR_INTERNETWRITEFILE, kLong,
         kTimeoutMs, kLong},
        {"reads everything, never answers", R"({"delay_ms": 1e9})", HTTPCLIENT_ERR_HTTPENDREQUEST, kLong, kLong,
         kTimeoutMs},
        {"answers the head, never the body", R"({"stall_after_head": true, "body": "xxxxxxxxxx"})",
         HTTPCLIENT_ERR_INTERNETREADFILE, kLong, kLong, kTimeoutMs},
    };
    CTempFile big(std::string(), ".bin");
    ASSERT_TRUE(MakeSparseFile(big.Path(), 64u << 20));  // more than any socket buffer takes
    for (auto& c : aCase) {
        SCOPED_TRACE(c.szCase);
        CScenario srv;
        srv.Script(c.szAnswer);
        CHttpClientA client;
        client.SetTimeouts(c.dwConnectMs, c.dwSendMs, c.dwReceiveMs);
        if (c.dwCode == HTTPCLIENT_ERR_INTERNETWRITEFILE)
            client.AddParam("file", big.c_str(), HTTPCLIENT_PARAM_FILE);
        else
            client.AddParam("v", "report");
        client.StartUpload(srv.Url("/up.php").c_str());

        const CTimer timer;
        const httpclientexceptionA err = CatchError([&] {
            CRun run = Drive(client, 65536);
            if (run.response) {
                BYTE buf[4096];
                while (run.response->ReadContent(buf, sizeof buf)) {
                }
            }
        });
        std::printf("[ figure ] %s: error %lu (last error %lu) after %lu ms\n", c.szCase, err.GetErrorCode(),
                    err.GetWin32LastError(), timer.Ms());
        EXPECT_EQ(err.GetErrorCode(), c.dwCode);
        EXPECT_NE(err.GetWin32LastError(), 0u);
        EXPECT_LT(timer.Ms(), kBoundMs);
        EXPECT_FALSE(IsActive(client));
    }
}

TEST(Hostile, DeletingTheResponseToAnEndlessAnswerReturnsSoon) {
    CScenario srv;
    srv.Script(R"({"headers": [["Content-Type", "text/plain"]], "chunked": 1, "endless": true, "body": ")" +
               std::string(65536, 'e') + R"("})");

    CHttpClientA client;
    StartSmallUpload(client, srv);
    CRun run = Drive(client, 1024);
    ASSERT_TRUE(run.response);
    BYTE buf[10240];
    DWORD cbTotal = 0;
    while (cbTotal < (1u << 20))
        cbTotal += run.response->ReadContent(buf, sizeof buf);
    EXPECT_EQ(buf[0], 'e');

    const CTimer timer;
    run.response.reset();
    std::printf("[ figure ] deleting the response to an endless answer: %lu ms\n", timer.Ms());
    EXPECT_LT(timer.Ms(), kBoundMs);
    srv.Reset();  // ends the answer, and so the read still draining it in the background
}

TEST(Hostile, TheFirstOfManyRepeatsOfAHeaderIsFoundQuickly) {
    CScenario srv;
    const DWORD kRepeats = 10000;
    std::string sHeaders;
    for (DWORD i = 0; i < kRepeats; ++i)
        sHeaders += R"(["Set-Cookie", "c)" + std::to_string(i) + "=" + std::to_string(i) + R"("], )";
    srv.Script(R"({"headers": [)" + sHeaders + R"(["X-Spaced", "  padded value"]]})");

    CHttpClientA client;
    StartSmallUpload(client, srv, INTERNET_FLAG_NO_COOKIES);
    CTimer timer;
    CRun run = Drive(client, 1024);
    ASSERT_TRUE(run.response);
    std::printf("[ figure ] an answer of %lu Set-Cookie headers: %lu ms\n", kRepeats, timer.Ms());

    timer = CTimer();
    EXPECT_STREQ(run.response->GetHeader("set-cookie", 0), "c0=0");
    std::printf("[ figure ] the first of them: %lu ms\n", timer.Ms());
    EXPECT_STREQ(run.response->GetHeader("Set-Cookie", 1), "c1=1");
    EXPECT_STREQ(run.response->GetHeader("Set-Cookie", 0), "c0=0");
    EXPECT_STREQ(run.response->GetHeader("X-Spaced"), "padded value");
    EXPECT_EQ(run.response->GetHeader("Cookie"), nullptr);
}
