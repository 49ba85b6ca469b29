// The library over HTTPS and through proxies, against the real peers run_net_tests.sh starts:
// scenario servers with good and refused certificates, and squid (open, and asking for an account).
#include "client_test_util.h"
#include "multipart_body.h"

#include <cstdlib>

using namespace ClientTest;
using namespace TestSupport;

namespace {

std::string Env(const std::string& sName) {
    const char* sz = std::getenv(sName.c_str());
    return sz ? sz : "";
}

CScenario Tls(const char* szCert) {
    CScenario srv(static_cast<USHORT>(std::atoi(Env(std::string("QUILLA_TLS_") + szCert + "_PORT").c_str())));
    srv.Reset();
    return srv;
}
std::string HttpsUrl(const CScenario& srv) {
    return "https://localhost:" + std::to_string(srv.Port());
}
CScenario Standin() {  // a recording proxy stand-in that refuses everything
    CScenario proxy(static_cast<USHORT>(std::atoi(Env("QUILLA_STANDIN_PORT").c_str())));
    proxy.Reset();
    proxy.Default(R"({"status": "502 Bad Gateway"})");
    return proxy;
}
const std::string s_sProxy = "127.0.0.1:" + Env("QUILLA_PROXY_PORT");
const std::string s_sAuthProxy = "127.0.0.1:" + Env("QUILLA_AUTH_PROXY_PORT");
const std::string s_sUser = Env("QUILLA_PROXY_USER"), s_sPass = Env("QUILLA_PROXY_PASS");

// An upload of a binary file and a text value, and a URL-encoded POST, each checked byte for byte.
void ExpectUploadAndPost(CHttpClientA& client, const CScenario& srv, const std::string& sBase) {
    const std::string sBytes = BinaryBytes(150 * 1024);
    CTempFile file(sBytes, ".dmp");
    client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
    client.AddParam("note", "a b&c");
    client.StartUpload((sBase + "/up.php").c_str());
    CRun run = Drive(client, 56 * 1024);
    ASSERT_TRUE(run.response);
    ASSERT_EQ(run.response->GetStatus(), 200u) << run.response->GetStatusText();
    const CRecordedRequest up = WaitFor(srv, "POST /up.php HTTP/1.1");
    ExpectExactBody(
        up, Multipart(up.Boundary(), {{"file", sBytes, file.Path(), "application/octet-stream"}, {"note", "a b&c"}}));
    client.RemoveAllParams();
    client.AddParam("b", "x&y");
    client.AddParam("a", "1 2");
    client.StartPost((sBase + "/post.php").c_str());
    run = Drive(client, 3);
    ASSERT_TRUE(run.response);
    const CRecordedRequest post = WaitFor(srv, "POST /post.php HTTP/1.1");
    ExpectExactBody(post, "a=1+2&b=x%26y");
    EXPECT_EQ(post.Header("Content-Type"), "application/x-www-form-urlencoded");
    client.RemoveAllParams();
}

}  // namespace

TEST(Https, UploadAndPostAreByteExact) {
    const CScenario srv = Tls("VALID");
    CHttpClientA client;
    ExpectUploadAndPost(client, srv, HttpsUrl(srv));
}

TEST(Https, RefusedCertificatesSendNothing) {
    // The untrusted server sends only its own certificate (12045 if it sent its CA too).
    const struct {
        const char* szCert;
        DWORD dwLastError;
    } aRefusals[] = {{"UNTRUSTED", 12057}, {"EXPIRED", 12037}, {"OTHERHOST", 12038}};
    for (const auto& c : aRefusals) {
        SCOPED_TRACE(c.szCert);
        const CScenario srv = Tls(c.szCert);
        CHttpClientA client;
        client.AddParam("a", "1");
        const httpclientexceptionA err = CatchError([&] { client.StartPost((HttpsUrl(srv) + "/p").c_str()); });
        EXPECT_EQ(err.GetErrorCode(), DWORD(HTTPCLIENT_ERR_HTTPSENDREQUESTEX));
        EXPECT_EQ(err.GetWin32LastError(), c.dwLastError);
        EXPECT_EQ(srv.Count(), 0u);
    }
}

// Through a proxy the request line shows how the client addressed the server: an https URL
// without a port must open a tunnel to port 443. The client refuses to start such a request, so
// its connection and request are opened and sent here one by one.
TEST(Https, SecureAndOnPort443) {
    const CScenario proxy = Standin();
    CHttpClientA client;
    const char szUrl[] = "https://localhost/vorlex.php";
    CScopedInternetHandle hInternet(CHttpToolA::OpenInternet(
        "t", INTERNET_OPEN_TYPE_PROXY, ("127.0.0.1:" + std::to_string(proxy.Port())).c_str(), nullptr, 0));
    CScopedInternetHandle hConnection(client.OpenConnection(hInternet.Get(), szUrl, nullptr, nullptr));
    CScopedInternetHandle hRequest(client.OpenRequest(hConnection.Get(), "POST", szUrl, 0, nullptr));
    try {
        CHttpToolA::SendRequestEx(hRequest.Get(), 0);
    } catch (const httpclientexceptionA&) {
    }
    EXPECT_EQ(proxy.Request(0).RequestLine(), "CONNECT localhost:443 HTTP/1.1");
}

// The account reaches the proxy (else squid answers 407) and never the server, also not when
// the request goes there directly or bypasses the proxy.
TEST(Proxy, AccountGoesToTheProxyOnly) {
    const CScenario srv;
    for (const char* szWay : {"proxy", "direct", "bypassed"}) {
        SCOPED_TRACE(szWay);
        srv.Reset();
        const bool bProxied = szWay[0] == 'p';
        CHttpClientA client;
        if (szWay[0] == 'd')
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_DIRECT);
        else
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, s_sAuthProxy.c_str(),
                                      bProxied ? nullptr : "<local>;*.0.0.1");
        client.SetProxyAccount(s_sUser.c_str(), s_sPass.c_str());
        ExpectUploadAndPost(client, srv, srv.Url(""));
        ASSERT_EQ(srv.Count(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            const CRecordedRequest req = srv.Request(i);
            EXPECT_EQ(req.HasHeader("Via"), bProxied);
            EXPECT_FALSE(req.HasHeader("Proxy-Authorization"));
            EXPECT_EQ(req.sRaw.find(s_sPass), std::string::npos);
        }
    }
}

// squid answers 407 after the head and takes the body for the next request: a body that fits
// the socket buffers still gets the answer; a larger one ends when squid drops the connection.
TEST(Proxy, WrongPasswordGetsTheProxysAnswer) {
    const CScenario srv;
    for (const size_t cb : {size_t(20) << 10, size_t(8) << 20}) {
        SCOPED_TRACE(cb);
        CHttpClientA client;
        client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, s_sAuthProxy.c_str());
        client.SetProxyAccount(s_sUser.c_str(), "wrong");
        CTempFile file(BinaryBytes(cb), ".dmp");
        client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
        try {
            client.StartUpload(srv.Url("/up.php").c_str());
            const CRun run = Drive(client, 56 * 1024);
            ASSERT_TRUE(run.response);
            EXPECT_EQ(run.response->GetStatus(), 407u);
        } catch (const httpclientexceptionA& e) {
            EXPECT_GT(cb, size_t(1) << 20) << e.GetErrorMessage();
            EXPECT_EQ(e.GetErrorCode(), DWORD(HTTPCLIENT_ERR_INTERNETWRITEFILE)) << e.GetErrorMessage();
        }
        EXPECT_EQ(srv.Count(), 0u);
    }
}

// Wine's WinInet does not speak TLS inside a proxy's tunnel, and its CONNECT already carries the
// request's headers: the start refuses such a request before a connection is opened.
TEST(Proxy, HttpsThroughAProxyIsRefusedBeforeTheBody) {
    const CScenario srv = Tls("VALID"), standin = Standin();
    CTempFile file(BinaryBytes(20 * 1024), ".dmp");
    for (const std::string& sProxy : {s_sProxy, s_sAuthProxy, "127.0.0.1:" + std::to_string(standin.Port())}) {
        SCOPED_TRACE(sProxy);
        CHttpClientA client;
        client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, sProxy.c_str());
        client.SetProxyAccount(s_sUser.c_str(), s_sPass.c_str());
        client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
        const httpclientexceptionA err = CatchError([&] { client.StartUpload((HttpsUrl(srv) + "/up.php").c_str()); });
        EXPECT_EQ(err.GetErrorCode(), DWORD(HTTPCLIENT_ERR_HTTPSENDREQUESTEX));
        EXPECT_EQ(err.GetWin32LastError(), DWORD(ERROR_INTERNET_SECURITY_CHANNEL_ERROR));
        EXPECT_EQ(CatchError([&] { client.ProceedStep(1); }).GetErrorCode(), DWORD(HTTPCLIENT_ERR_POST_NOT_STARTED));
    }
    EXPECT_EQ(standin.Count(), 0u);
    EXPECT_EQ(srv.Count(), 0u);
}

// The client's answer to "would this go to a proxy" (which decides the account header and the
// https refusal) agrees with where WinInet really sends the request.
TEST(Proxy, RouteQueryAgreesWithThePlatform) {
    const struct {
        const char *szList, *szBypass;  // "P" stands for the proxy stand-in
        bool bSecure;
        const char* szHost;
    } aRoutes[] = {
        {"P", nullptr, false, "127.0.0.1"},       {"P", "<local>", false, "localhost"},
        {"P", "<local>", false, "127.0.0.1"},     {"P", "other;*.0.0.1", false, "127.0.0.1"},
        {"P", "LOCALHOST", false, "localhost"},   {"http=P", nullptr, false, "127.0.0.1"},
        {"https=P", nullptr, false, "127.0.0.1"}, {"P", nullptr, true, "localhost"},
        {"P", "<local>", true, "localhost"},      {"http=P", nullptr, true, "localhost"},
        {"https=P", nullptr, true, "localhost"},  {"ftp=x:1 https=P", nullptr, true, "localhost"},
    };
    const CScenario plain, secure = Tls("VALID");
    for (const auto& r : aRoutes) {
        const CScenario proxy = Standin(), &srv = r.bSecure ? secure : plain;
        srv.Reset();
        const std::string sList = ReplaceAll(r.szList, "P", "127.0.0.1:" + std::to_string(proxy.Port()));
        SCOPED_TRACE(sList + " / " + (r.szBypass ? r.szBypass : "-") + (r.bSecure ? " https " : " http ") + r.szHost);
        CScopedInternetHandle hInternet(
            CHttpToolA::OpenInternet("route", INTERNET_OPEN_TYPE_PROXY, sList.c_str(), r.szBypass, 0));
        const BOOL bProxied = CHttpToolA::UsesProxy(hInternet.Get(), r.szHost);
        CScopedInternetHandle hConnection(
            CHttpToolA::OpenConnection(hInternet.Get(), r.szHost, srv.Port(), nullptr, nullptr));
        CScopedInternetHandle hRequest(CHttpToolA::OpenRequest(hConnection.Get(), "POST", "/route",
                                                               r.bSecure ? INTERNET_FLAG_SECURE : 0, nullptr));
        // Ends once the answer (the proxy's or the server's) is in: the peer has recorded by then.
        CatchError([&] {
            CHttpToolA::SendRequestEx(hRequest.Get(), 0);
            CHttpToolA::EndRequest(hRequest.Get());
            throw httpclientexceptionA();
        });
        EXPECT_EQ(proxy.Count() != 0, bProxied != FALSE);
        EXPECT_EQ(srv.Count() != 0, bProxied == FALSE);
    }
}
