// A response over a real request: status, headers, body however framed, and which handles it owns.
#include "client_test_util.h"

using namespace ClientTest;
using namespace TestSupport;

namespace {

// Posts one byte and hands the ended request, with its connection and session, to a response.
std::unique_ptr<CHttpResponseA> Respond(CScenario& srv, const std::string& sAnswer) {
    srv.Script(sAnswer);
    CLoopbackRequest req(srv, "/r.php");
    req.Post("x");
    HINTERNET hRequest = req.hRequest.Release();
    HINTERNET hConnection = req.hConnection.Release();
    return std::make_unique<CHttpResponseA>(req.hInternet.Release(), hConnection, hRequest);
}

std::string ReadAll(CHttpResponseA& r, DWORD cbPiece) {
    std::string out;
    std::string buf(cbPiece, '\0');
    DWORD cb;
    while ((cb = r.ReadContent(reinterpret_cast<BYTE*>(&buf[0]), cbPiece)) != 0)
        out.append(buf, 0, cb);
    return out;
}

bool IsOpen(HINTERNET h) {
    DWORD dwType = 0, cb = sizeof dwType;
    return InternetQueryOptionA(h, INTERNET_OPTION_HANDLE_TYPE, &dwType, &cb) != FALSE;
}

}  // namespace

TEST(Response, StatusHeadersAndBody) {
    CScenario srv;
    std::string sBody;
    for (int i = 0; i < 100000; ++i)
        sBody += static_cast<char>(i % 251);
    std::unique_ptr<CHttpResponseA> r =
        Respond(srv, R"({"status": "201 Made It", "headers": [["Set-Cookie", "s=1; Path=/"], ["X-Empty", ""],
                 ["Set-Cookie", "t=2"]], "body": )" +
                         JsonString(sBody) + "}");

    EXPECT_EQ(r->GetStatus(), 201u);
    EXPECT_EQ(r->GetStatus(), 201u);
    const char* szText = r->GetStatusText();
    EXPECT_STREQ(szText, "Made It");
    EXPECT_EQ(r->GetStatusText(), szText);

    const char* szFirst = r->GetHeader("Set-Cookie");
    EXPECT_STREQ(szFirst, "s=1; Path=/");
    EXPECT_STREQ(r->GetHeader("set-cookie", 1), "t=2");
    EXPECT_EQ(r->GetHeader("SET-COOKIE", 2), nullptr);
    EXPECT_EQ(r->GetHeader("Set-Cookie", 0), szFirst);  // answered from what was loaded
    EXPECT_STREQ(r->GetHeader("X-Empty"), "");

    EXPECT_EQ(r->GetHeader("X-Missing"), nullptr);
    EXPECT_EQ(r->GetHeader("X-Missing", 1), nullptr);
    EXPECT_EQ(r->GetHeader(""), nullptr);

    DWORD cbLen = 0;
    EXPECT_TRUE(r->GetContentLength(cbLen));
    EXPECT_EQ(cbLen, 100000u);
    EXPECT_TRUE(ReadAll(*r, 4093) == sBody);
    BYTE b;
    EXPECT_EQ(r->ReadContent(&b, 1), 0u);
}

TEST(Response, BodyWithoutContentLength) {
    CScenario srv;
    const std::string sBody = std::string(5000, 'c') + std::string(1, '\0') + "end";
    std::unique_ptr<CHttpResponseA> r = Respond(srv, R"({"chunked": 333, "body": )" + JsonString(sBody) + "}");
    DWORD cbLen = 12345;
    EXPECT_FALSE(r->GetContentLength(cbLen));
    EXPECT_TRUE(ReadAll(*r, 1000) == sBody);

    r = Respond(srv, R"({"no_length": true, "body": "closed body"})");
    EXPECT_FALSE(r->GetContentLength(cbLen));
    EXPECT_EQ(ReadAll(*r, 3), "closed body");
}

TEST(Response, ArgumentErrorsInOrder) {
    CHttpResponseA r(nullptr, nullptr, nullptr);
    BYTE b;
    DWORD cb;
    auto text = [](auto f) { return std::string(CatchError<httpclientexceptionA>(f).GetErrorMessage()); };
    EXPECT_EQ(text([&] { r.GetHeader(nullptr); }), "CHttpResponseT::GetHeader: szName can not be NULL.");
    EXPECT_EQ(text([&] { r.GetHeader("A"); }), "CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.");
    EXPECT_EQ(text([&] { r.GetStatus(); }), "CHttpResponseT::GetStatus: m_hRequest can not be NULL.");
    EXPECT_EQ(text([&] { r.GetStatusText(); }), "CHttpResponseT::GetStatusText: m_hRequest can not be NULL.");
    EXPECT_EQ(text([&] { r.GetContentLength(cb); }), "CHttpResponseT::GetContentLength: m_hRequest can not be NULL.");
    EXPECT_EQ(text([&] { r.ReadContent(nullptr, 0); }), "CHttpResponseT::ReadContent: m_hRequest can not be NULL.");

    CScopedInternetHandle hInet(CHttpToolA::OpenInternet("t", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    CHttpResponseA withHandle(nullptr, nullptr, hInet.Release());
    EXPECT_EQ(text([&] { withHandle.ReadContent(nullptr, 0); }),
              "CHttpResponseT::ReadContent: pbyBuff can not be NULL.");
    EXPECT_EQ(text([&] { withHandle.ReadContent(&b, 0); }), "CHttpResponseT::ReadContent: cbBuff can not be zero.");
    EXPECT_EQ(text([&] { withHandle._LoadHeader(nullptr); }), "CHttpResponseT::_LoadHeader: szName can not be NULL.");
}

TEST(Response, DeleteClosesOnlyWhatItOwns) {
    CScenario srv;
    CLoopbackRequest req(srv, "/c");
    req.Post("x");
    HINTERNET hRequest = req.hRequest.Release();
    HINTERNET hConnection = req.hConnection.Get();
    HINTERNET hInternet = req.hInternet.Get();
    delete new CHttpResponseA(nullptr, nullptr, hRequest);
    EXPECT_FALSE(IsOpen(hRequest));
    EXPECT_TRUE(IsOpen(hConnection));
    EXPECT_TRUE(IsOpen(hInternet));

    delete new CHttpResponseA(req.hInternet.Release(), req.hConnection.Release(), nullptr);
    EXPECT_FALSE(IsOpen(hConnection));
    EXPECT_FALSE(IsOpen(hInternet));
}
