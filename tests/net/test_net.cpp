// HTTPS and proxies against real loopback peers: the recording server behind a TLS front with
// good and refused certificates, and a squid (open, and asking for a Basic account).
// run_net_tests.sh sets up the peers and passes their ports in the environment.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "client_test_util.h"
#include "handoff.h"
#include "multipart_body.h"
#include "reporter_driver.h"
#include "test_server.h"

using namespace ClientTest;
using TestSupport::CAnswer;
using TestSupport::CRecordedRequest;
using TestSupport::CTempFile;
using TestSupport::CTestServer;
using TestSupport::ReplaceAll;

namespace {

std::string Env(const char* szName) {
    const char* sz = std::getenv(szName);
    return sz ? sz : "";
}

const std::string s_strDir = ToWindowsPath(Env("QUILLA_NET_DIR"));
const std::string s_strTlsPort = Env("QUILLA_TLS_PORT");
const std::string s_strProxy = "127.0.0.1:" + Env("QUILLA_PROXY_PORT");
const std::string s_strAuthProxy = "127.0.0.1:" + Env("QUILLA_AUTH_PROXY_PORT");
const std::string s_strUser = Env("QUILLA_PROXY_USER");
const std::string s_strPass = Env("QUILLA_PROXY_PASS");

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
// The same reporter with a plain http report URL on PLAIN_REPORT_PORT.
const std::string s_strPlainReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_PLAIN_EXE));
const std::string s_strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));

// Points the TLS front at this certificate and this server for the connections that follow.
void Route(const char* szCert, const CTestServer& srv) {
    ASSERT_TRUE(TestSupport::WriteBytes(s_strDir + "\\route", std::string(szCert) + " " + std::to_string(srv.Port())));
    ::DeleteFileA((s_strDir + "\\peer").c_str());
}

std::string HttpsUrl(const std::string& strPath) {
    return "https://localhost:" + s_strTlsPort + strPath;
}

// An upload of a binary file and a text value, and a URL-encoded POST, each checked byte for byte.
void ExpectUploadAndPost(CHttpClientA& client, CTestServer& srv, const std::string& strBase) {
    const std::string strBytes = TestSupport::BinaryBytes(150 * 1024);
    CTempFile file(strBytes, ".dmp");
    client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
    client.AddParam("note", "a b&c");
    client.StartUpload((strBase + "/up.php").c_str());
    CRun run = Drive(client, 56 * 1024);
    ASSERT_TRUE(run.response);
    ASSERT_EQ(run.response->GetStatus(), 200u) << run.response->GetStatusText();
    const CRecordedRequest up = WaitFor(srv, "POST /up.php HTTP/1.1");
    ExpectExactBody(
        up, TestSupport::Multipart(up.Boundary(),
                                   {{"file", strBytes, file.Path(), "application/octet-stream"}, {"note", "a b&c"}}));

    client.RemoveAllParams();
    client.AddParam("b", "x&y");
    client.AddParam("a", "1 2");
    client.StartPost((strBase + "/post.php").c_str());
    run = Drive(client, 3);
    ASSERT_TRUE(run.response);
    EXPECT_EQ(run.response->GetStatus(), 200u);
    const CRecordedRequest post = WaitFor(srv, "POST /post.php HTTP/1.1");
    ExpectExactBody(post, "a=1+2&b=x%26y");
    EXPECT_EQ(post.Header("Content-Type"), "application/x-www-form-urlencoded");
    client.RemoveAllParams();
}

struct CRefusal {
    const char* szCert;
    DWORD dwLastError;
};
// Untrusted: the front sends only its own certificate.
const CRefusal s_aRefusals[] = {{"untrusted", 12057}, {"expired", 12037}, {"otherhost", 12038}};

TEST(Https, UploadAndPostAreByteExact) {
    CTestServer srv;
    Route("valid", srv);
    CHttpClientA client;
    ExpectUploadAndPost(client, srv, HttpsUrl(""));
}

TEST(Https, RefusedCertificatesSendNothing) {
    for (const CRefusal& c : s_aRefusals) {
        SCOPED_TRACE(c.szCert);
        CTestServer srv;
        Route(c.szCert, srv);
        CHttpClientA client;
        client.AddParam("a", "1");
        const httpclientexceptionA err = CatchError([&] { client.StartPost(HttpsUrl("/post.php").c_str()); });
        EXPECT_EQ(err.GetErrorCode(), DWORD(HTTPCLIENT_ERR_HTTPSENDREQUESTEX));
        EXPECT_EQ(err.GetWin32LastError(), c.dwLastError);
        EXPECT_EQ(srv.RequestCount(), 0u);
    }
}

// Through a proxy the request line shows how the client addressed the server: an https URL
// without a port must open a tunnel to port 443, not send a plain request. The client refuses to
// start such a request, so its connection and request are opened and sent here one by one.
TEST(Https, SecureAndOnPort443) {
    CTestServer proxy;
    CAnswer refuse;
    refuse.sStatusLine = "HTTP/1.1 502 Bad Gateway";
    proxy.SetDefault(refuse);
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
    EXPECT_EQ(proxy.WaitRequest(0).RequestLine(), "CONNECT localhost:443 HTTP/1.1");
}

// The account reaches the proxy (else squid answers 407) and never the server, also not when
// the request goes there directly or bypasses the proxy.
TEST(Proxy, AccountGoesToTheProxyOnly) {
    enum { kProxy, kDirect, kBypassed };
    for (const int nWay : {kProxy, kDirect, kBypassed}) {
        SCOPED_TRACE(nWay);
        CTestServer srv;
        CHttpClientA client;
        if (nWay == kDirect)
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_DIRECT);
        else
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, s_strAuthProxy.c_str(),
                                      nWay == kBypassed ? "<local>;*.0.0.1" : nullptr);
        client.SetProxyAccount(s_strUser.c_str(), s_strPass.c_str());
        ExpectUploadAndPost(client, srv, "http://127.0.0.1:" + std::to_string(srv.Port()));
        ASSERT_EQ(srv.RequestCount(), 2u);
        for (const CRecordedRequest& req : srv.Requests()) {
            EXPECT_EQ(req.HasHeader("Via"), nWay == kProxy);
            EXPECT_FALSE(req.HasHeader("Proxy-Authorization"));
            EXPECT_EQ(req.sRaw.find(s_strPass), std::string::npos);
        }
    }
}

// squid answers 407 after the head and takes the body for the next request: a body that fits
// the socket buffers still gets the answer; a larger one ends when squid drops the connection.
TEST(Proxy, WrongPasswordGetsTheProxysAnswer) {
    for (const size_t cb : {size_t(20) << 10, size_t(8) << 20}) {
        SCOPED_TRACE(cb);
        CTestServer srv;
        CHttpClientA client;
        client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, s_strAuthProxy.c_str());
        client.SetProxyAccount(s_strUser.c_str(), "wrong");
        CTempFile file(TestSupport::BinaryBytes(cb), ".dmp");
        client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
        try {
            client.StartUpload(("http://127.0.0.1:" + std::to_string(srv.Port()) + "/up.php").c_str());
            const CRun run = Drive(client, 56 * 1024);
            ASSERT_TRUE(run.response);
            EXPECT_EQ(run.response->GetStatus(), 407u);
        } catch (const httpclientexceptionA& e) {
            EXPECT_GT(cb, size_t(1) << 20) << e.GetErrorMessage();
            EXPECT_EQ(e.GetErrorCode(), DWORD(HTTPCLIENT_ERR_INTERNETWRITEFILE)) << e.GetErrorMessage();
        }
        EXPECT_EQ(srv.RequestCount(), 0u);
    }
}

// A listening socket that never accepts: a connection made to it waits in the backlog, so
// whether one was made can be told at once.
class CSilentListener {
public:
    CSilentListener() {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int cb = sizeof a;
        if (bind(m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_s, 4) != 0 ||
            getsockname(m_s, reinterpret_cast<sockaddr*>(&a), &cb) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        m_nPort = ntohs(a.sin_port);
    }
    ~CSilentListener() { closesocket(m_s); }
    CSilentListener(const CSilentListener&) = delete;
    CSilentListener& operator=(const CSilentListener&) = delete;
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    bool WasReached() const {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(m_s, &rd);
        timeval tv = {0, 0};
        return select(0, &rd, nullptr, nullptr, &tv) > 0;
    }

private:
    SOCKET m_s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    USHORT m_nPort = 0;
};

// Wine's WinInet does not speak TLS inside a proxy's tunnel, and its CONNECT already carries the
// request's headers: the start refuses such a request before a connection is opened, so not
// even the tunnel request reaches the proxy.
TEST(Proxy, HttpsThroughAProxyIsRefusedBeforeTheBody) {
    CTestServer srv;
    Route("valid", srv);
    CSilentListener silent;
    CTempFile file(TestSupport::BinaryBytes(20 * 1024), ".dmp");
    for (const std::string& strProxy : {s_strProxy, s_strAuthProxy, silent.Address()}) {
        SCOPED_TRACE(strProxy);
        CHttpClientA client;
        client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, strProxy.c_str());
        client.SetProxyAccount(s_strUser.c_str(), s_strPass.c_str());
        client.SetTimeouts(5000, 5000, 5000);  // bounds the wait on the silent proxy if one is opened
        client.AddParam("file", file.c_str(), HTTPCLIENT_PARAM_FILE);
        const httpclientexceptionA err = CatchError([&] { client.StartUpload(HttpsUrl("/up.php").c_str()); });
        EXPECT_EQ(err.GetErrorCode(), DWORD(HTTPCLIENT_ERR_HTTPSENDREQUESTEX));
        EXPECT_EQ(err.GetWin32LastError(), DWORD(ERROR_INTERNET_SECURITY_CHANNEL_ERROR));
        EXPECT_EQ(CatchError([&] { client.ProceedStep(1); }).GetErrorCode(), DWORD(HTTPCLIENT_ERR_POST_NOT_STARTED));
    }
    EXPECT_FALSE(silent.WasReached());
    EXPECT_EQ(srv.RequestCount(), 0u);
}

// The client's answer to "would this go to a proxy" (which decides the account header and the
// https refusal) agrees with where WinInet really sends the request.
TEST(Proxy, RouteQueryAgreesWithThePlatform) {
    struct CRoute {
        const char* szList;  // "P" stands for the stand-in proxy
        const char* szBypass;
        bool bSecure;
        const char* szHost;
    };
    const CRoute aRoutes[] = {
        {"P", nullptr, false, "127.0.0.1"},       {"P", "<local>", false, "localhost"},
        {"P", "<local>", false, "127.0.0.1"},     {"P", "other;*.0.0.1", false, "127.0.0.1"},
        {"P", "LOCALHOST", false, "localhost"},   {"http=P", nullptr, false, "127.0.0.1"},
        {"https=P", nullptr, false, "127.0.0.1"}, {"P", nullptr, true, "localhost"},
        {"P", "<local>", true, "localhost"},      {"http=P", nullptr, true, "localhost"},
        {"https=P", nullptr, true, "localhost"},  {"ftp=x:1 https=P", nullptr, true, "localhost"},
    };
    for (const CRoute& r : aRoutes) {
        CTestServer srv, proxy;
        Route("valid", srv);
        CAnswer refuse;
        refuse.sStatusLine = "HTTP/1.1 502 Bad Gateway";
        proxy.SetDefault(refuse);
        const std::string strList = ReplaceAll(r.szList, "P", "127.0.0.1:" + std::to_string(proxy.Port()));
        SCOPED_TRACE(strList + " / " + (r.szBypass ? r.szBypass : "-") + (r.bSecure ? " https " : " http ") + r.szHost);
        CScopedInternetHandle hInternet(
            CHttpToolA::OpenInternet("route", INTERNET_OPEN_TYPE_PROXY, strList.c_str(), r.szBypass, 0));
        const BOOL bProxied = CHttpToolA::UsesProxy(hInternet.Get(), r.szHost);
        const INTERNET_PORT nPort = INTERNET_PORT(r.bSecure ? std::stoi(s_strTlsPort) : srv.Port());
        CScopedInternetHandle hConnection(
            CHttpToolA::OpenConnection(hInternet.Get(), r.szHost, nPort, nullptr, nullptr));
        CScopedInternetHandle hRequest(CHttpToolA::OpenRequest(hConnection.Get(), "POST", "/route",
                                                               r.bSecure ? INTERNET_FLAG_SECURE : 0, nullptr));
        // Ends once the answer (the proxy's or the server's) is in: the proxy has recorded by then.
        try {
            CHttpToolA::SendRequestEx(hRequest.Get(), 0);
            CHttpToolA::EndRequest(hRequest.Get());
        } catch (const httpclientexceptionA&) {
        }
        EXPECT_EQ(proxy.RequestCount() != 0, bProxied != FALSE);
        EXPECT_EQ(srv.RequestCount() != 0, bProxied == FALSE);
    }
}

// ---- the https reporter ----

enum { IDC_SEND = 1000 };

class Reporter : public ::testing::Test {
protected:
    void SendReport(const std::string& strCrashFile, const std::string& strReporter = s_strReporter) {
        ::DeleteFileA((s_strProbe + ".started").c_str());
        m_pDriver = std::make_unique<CReporterDriver>();
        const std::string strCommandLine =
            BuildHandOff(strReporter, {{"module", s_strProbe}, {"crash file", strCrashFile}, {"version", "4.2"}});
        ASSERT_TRUE(m_pDriver->Launch(strReporter, strCommandLine));
        ASSERT_NE(m_pDriver->WaitForDialog(), nullptr);
        m_pDriver->Click(IDC_SEND);
        ASSERT_TRUE(m_pDriver->WaitForExit(30000));
        EXPECT_EQ(m_pDriver->ExitCode(), 0u);
        EXPECT_NE(::GetFileAttributesA((s_strProbe + ".started").c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(m_pDriver->Titles().back(), L"Quilla Restart - Send complete");
    }
    std::string WorkerOutput() const {
        const std::vector<std::string> output = m_pDriver->Output();
        return output.empty() ? std::string() : output.back();
    }
    // The report arrives whole and the answer is dumped exactly as over plain HTTP.
    void ExpectDelivered(CTestServer& srv, const CTempFile& crash, const std::string& strBytes, bool bProxied = false) {
        const CRecordedRequest req = srv.WaitRequest(0);
        EXPECT_EQ(req.RequestLine(), "POST /vorlex.php?version=4.2 HTTP/1.1");
        ExpectExactBody(req, "--" + req.Boundary() + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                                 crash.Path() + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + strBytes +
                                 "\r\n--" + req.Boundary() + "--\r\n");
        const std::string strDump = WorkerOutput();
        if (bProxied) {  // squid's own head: its date, a kept connection
            EXPECT_EQ(strDump.substr(0, 8), "200 OK\r\n");
            EXPECT_NE(strDump.find("\r\nContent-Type: text/plain\r\n\r\nreport stored\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(strDump,
                      "200 OK\r\nContent-Length: 13\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n"
                      "report stored\r\n");
        }
    }
    static CAnswer Stored() {
        CAnswer answer;
        answer.AddHeader("Content-Type", "text/plain");
        answer.sBody = "report stored";
        return answer;
    }
    std::unique_ptr<CReporterDriver> m_pDriver;
};

TEST_F(Reporter, SendsOverHttps) {
    CTestServer srv;
    srv.SetDefault(Stored());
    Route("valid", srv);
    const std::string strBytes = TestSupport::BinaryBytes(300 * 1024);
    CTempFile crash(strBytes, ".dmp");
    SendReport(crash.Path());
    ExpectDelivered(srv, crash, strBytes);
    EXPECT_EQ(TestSupport::ReadBytes(s_strDir + "\\peer"), "127.0.0.1");
}

TEST_F(Reporter, RefusedCertificatesEndTheDialogAsUsual) {
    CTempFile crash(TestSupport::BinaryBytes(1000), ".dmp");
    for (const CRefusal& c : s_aRefusals) {
        SCOPED_TRACE(c.szCert);
        CTestServer srv;
        Route(c.szCert, srv);
        SendReport(crash.Path());
        EXPECT_EQ(WorkerOutput(), "::HttpSendRequestEx failed.");
        EXPECT_EQ(srv.RequestCount(), 0u);
    }
}

// The reporter takes the system's proxy settings: set in this prefix copy for this case only.
// It has no proxy account: the authenticating proxy's refusal is dumped like any answer.
TEST_F(Reporter, FollowsTheSystemProxy) {
    const char szKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, szKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    struct CRestore {
        HKEY hKey;
        ~CRestore() {
            ::RegDeleteValueA(hKey, "ProxyEnable");
            ::RegDeleteValueA(hKey, "ProxyServer");
            ::RegCloseKey(hKey);
        }
    } restore{hKey};
    const auto UseProxy = [&](const std::string& strProxy) {
        const DWORD dwEnable = 1;
        ::RegSetValueExA(hKey, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwEnable), sizeof(dwEnable));
        ::RegSetValueExA(hKey, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(strProxy.c_str()),
                         DWORD(strProxy.size() + 1));
    };
    {
        SCOPED_TRACE("open proxy");
        UseProxy(s_strProxy);
        CTestServer srv(PLAIN_REPORT_PORT);
        srv.SetDefault(Stored());
        const std::string strBytes = TestSupport::BinaryBytes(100 * 1024);
        CTempFile crash(strBytes, ".dmp");
        SendReport(crash.Path(), s_strPlainReporter);
        ExpectDelivered(srv, crash, strBytes, true);
        EXPECT_NE(srv.WaitRequest(0).Header("Via").find("squid"), std::string::npos);
    }
    {
        SCOPED_TRACE("authenticating proxy");
        UseProxy(s_strAuthProxy);
        CTestServer srv(PLAIN_REPORT_PORT);
        CTempFile crash(TestSupport::BinaryBytes(10 * 1024), ".dmp");
        SendReport(crash.Path(), s_strPlainReporter);
        EXPECT_EQ(WorkerOutput().substr(0, 35), "407 Proxy Authentication Required\r\n");
        EXPECT_EQ(srv.RequestCount(), 0u);
    }
}

}  // namespace

namespace {

// Figures, not checks: run by scripts/run-bench.sh with QUILLA_NET_BENCH=1.
TEST(Bench, ThirtyTwoMiB) {
    if (Env("QUILLA_NET_BENCH").empty())
        GTEST_SKIP() << "set QUILLA_NET_BENCH=1";
    const std::string strFile = TestSupport::TempPath(".dmp");
    ASSERT_TRUE(TestSupport::MakeSparseFile(strFile, 32ull << 20));
    const auto Time = [](const std::function<void()>& fn) {
        LARGE_INTEGER f, a, b;
        ::QueryPerformanceFrequency(&f);
        ::QueryPerformanceCounter(&a);
        fn();
        ::QueryPerformanceCounter(&b);
        return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
    };
    struct Way {
        const char* szName;
        bool bHttps;
        const std::string* pProxy;
    };
    for (const Way& w : {Way{"plain HTTP", false, nullptr}, Way{"HTTPS", true, nullptr},
                         Way{"HTTP through squid", false, &s_strProxy}}) {
        CTestServer srv;
        Route("valid", srv);
        CHttpClientA client;
        if (w.pProxy)
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_PROXY, w.pProxy->c_str());
        else
            client.SetSessionSettings(nullptr, INTERNET_OPEN_TYPE_DIRECT);
        client.AddParam("file", strFile.c_str(), HTTPCLIENT_PARAM_FILE);
        const std::string strUrl =
            w.bHttps ? HttpsUrl("/up.php") : "http://127.0.0.1:" + std::to_string(srv.Port()) + "/up.php";
        const double dSec = Time([&] {
            client.StartUpload(strUrl.c_str());
            Drive(client, HTTPCLIENT_READ_BUFF_SIZE);
        });
        EXPECT_TRUE(srv.WaitRequest(0, 60000).bComplete);
        std::printf("32 MiB, %-20s %6.2f s  %6.1f MiB/s\n", w.szName, dSec, 32 / dSec);
    }
    for (const CRefusal& c : s_aRefusals) {
        CTestServer srv;
        Route(c.szCert, srv);
        CHttpClientA client;
        const double dSec = Time([&] {
            try {
                client.StartPost(HttpsUrl("/post.php").c_str());
            } catch (const httpclientexceptionA&) {
            }
        });
        std::printf("refused, %-10s %6.0f ms\n", c.szCert, dSec * 1000);
    }
    TestSupport::RemoveFile(strFile);
}

}  // namespace
