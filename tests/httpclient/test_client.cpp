// The client's uploads and URL-encoded POSTs on the wire: whole requests against golden bytes,
// every refusal, failed starts and faults mid-body, each leaving the client ready again.
#include "client_test_util.h"
#include "multipart_body.h"

#include <cctype>
#include <functional>

using namespace ClientTest;
using namespace TestSupport;

namespace {

std::string Bytes(size_t cb, int nSeed = 1) {
    std::string s(cb, '\0');
    for (size_t i = 0; i < cb; ++i)
        s[i] = char((i * 7 + nSeed) & 0xFF);  // binary, so it is sniffed as application/octet-stream
    return s;
}

// Changes a file's size behind Windows' back, as a Unix process beside Wine can while the
// client holds it open; returns false when not running under Wine.
bool UnixTruncate(const std::string& sPath, DWORD cbSize) {
    typedef char*(CDECL * PFN)(LPCWSTR);
    auto pfn = reinterpret_cast<PFN>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    WCHAR wsz[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, sPath.c_str(), -1, wsz, MAX_PATH);
    char* szUnix = pfn ? pfn(wsz) : nullptr;
    if (!szUnix)
        return false;
    long ret;
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(92L), "b"(szUnix), "c"(cbSize) : "memory");  // truncate(2)
    HeapFree(GetProcessHeap(), 0, szUnix);
    return ret == 0;
}

// The request, its boundary and port normalised, against golden/<name>.http beside the tests;
// QUILLA_WRITE_GOLDEN=1 writes the file instead (read it before committing it).
void ExpectGolden(const TestSupport::CRecordedRequest& req, USHORT nPort, const std::string& sName) {
    const std::string sPath = std::string(GOLDEN_DIR) + "/" + sName + ".http";
    const std::string sGot = ReplaceAll(ReplaceAll(req.sRaw, req.Boundary(), "BOUNDARY"),
                                        "127.0.0.1:" + std::to_string(nPort), "127.0.0.1:PORT");
    if (std::getenv("QUILLA_WRITE_GOLDEN"))
        TestSupport::WriteBytes(sPath, sGot);
    ExpectSameBytes(sGot, TestSupport::ReadBytes(sPath));
}

class Client : public ::testing::Test {
protected:
    // Sends one body with nDesired and checks declared == received == expected; returns the steps.
    std::vector<DWORD> Check(CHttpClientA& client, DWORD nDesired, const std::vector<CPart>& parts) {
        const std::string sPath = "/up" + std::to_string(++m_nSent);
        client.StartUpload(m_srv.Url(sPath).c_str());
        CRun run = Drive(client, nDesired);
        EXPECT_TRUE(run.response);
        CRecordedRequest req = WaitFor(m_srv, "POST " + sPath + " HTTP/1.1");
        ExpectExactBody(req, Multipart(req.Boundary(), parts));
        return run.steps;
    }
    // A failed start or step leaves nothing active and no file open, and the client works again.
    void ExpectReleased(CHttpClientA& client, const std::string& sPath) {
        CHttpPostStatA stat;
        client.GetPostStat(stat);
        EXPECT_FALSE(stat.IsActive());
        EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);
        EXPECT_TRUE(RemoveFile(sPath)) << "file still open: " << sPath;
        client.RemoveAllParams();
        client.AddParam("again", "yes");
        EXPECT_EQ(Check(client, 1024, {{"again", "yes"}}).size(), 3u);
    }
    CScenario m_srv;
    int m_nSent = 0;
};

}  // namespace

// Each row is sent whole and compared with its golden request (boundary and port normalised):
// request line, our headers in their order, declared length, body, and nothing after it.
TEST_F(Client, GoldenRequests) {
    CreateDirectoryA("C:\\crash", nullptr);
    const std::string sDump = "C:\\crash\\report.dmp", sEmpty = "C:\\crash\\empty.bin";
    const std::string sChinese = "C:\\crash\\\xD6\xD0.bin";  // U+4E2D in code page 936
    ASSERT_TRUE(WriteBytes(sDump, Bytes(1000)) && WriteBytes(sEmpty, "") && WriteBytes(sChinese, Bytes(300, 5)));
    // cStart: u/p upload/POST, U/P the same with the cache allowed, E a POST through StartPostEx.
    const struct {
        const char* szGolden;
        char cStart;
        DWORD nDesired;
        std::vector<DWORD> steps;
        std::function<void(CHttpClientA&)> fnSetUp;
    } aRows[] = {
        {"upload_example",
         'u',
         1024,
         {97, 7, 166, 1002, 49},
         [&](CHttpClientA& c) {
             c.AddParam("file", sDump.c_str(), HTTPCLIENT_PARAM_FILE);
             c.AddParam("comment", "hello");
             c.AddRequestHeader("X-Extra", "1");
         }},
        {"upload_nothing_cached", 'U', 1, {51}, [](CHttpClientA&) {}},
        {"upload_files_utf8",
         'u',
         999,
         {163, 999, 3, 160, 302, 176, 93, 164, 102, 9, 49},
         [&](CHttpClientA& c) {
             c.SetAnsiCodePage(936);
             c.SetUseUtf8(TRUE);
             c.AddParam("z", sEmpty.c_str(), HTTPCLIENT_PARAM_FILE);
             c.AddParam("b", sChinese.c_str(), HTTPCLIENT_PARAM_FILE);
             c.AddParam("a", sDump.c_str(), HTTPCLIENT_PARAM_FILE);
             c.AddParam("\xD6\xD0\r\n\"", "a\xD6\xD0\r\n\"");
             c.AddParam("n");
             c.AddParam("gone", "C:\\no\\such\r\n\"x\".bin", HTTPCLIENT_PARAM_FILE);
         }},
        {"upload_files_ansi",
         'u',
         100000,
         {159, 302, 92, 4, 49},
         [&](CHttpClientA& c) {
             c.SetAnsiCodePage(936);
             c.AddParam("b", sChinese.c_str(), HTTPCLIENT_PARAM_FILE);
             c.AddParam("\xD6\xD0", "\xD6\xD0");
             c.SetSessionSettings("My User Agent v1.0", INTERNET_OPEN_TYPE_DIRECT);
         }},
        {"post_example",
         'p',
         1024,
         {2, 3, 3, 5},
         [](CHttpClientA& c) {
             c.AddParam("b", "x&y");
             c.AddParam("a", "1 2");
             c.AddRequestHeader("X-One", "1");
             c.AddRequestHeader("X-Two");
             c.AddRequestHeader("X-One", "again");
         }},
        {"post_encoded_cached",
         'P',
         1,
         {5, 1, 1, 1, 1, 1, 4, 1, 1, 1, 6, 1, 3},
         [](CHttpClientA& c) {
             c.AddParam("a%41", "x%20y", HTTPCLIENT_PARAM_ENCODEDNAME | HTTPCLIENT_PARAM_ENCODEDVALUE);
             c.AddParam("b%", "%", HTTPCLIENT_PARAM_FILE | HTTPCLIENT_PARAM_ENCODEDNAME);
             c.AddParam("c%", "%", HTTPCLIENT_PARAM_ENCODEDVALUE);
             c.AddParam("e", "");
         }},
        {"post_utf8_referer",
         'E',
         4,
         {10, 4, 4, 3},
         [](CHttpClientA& c) {
             c.SetAnsiCodePage(936);
             c.SetUseUtf8(TRUE);
             c.AddParam("\xD6\xD0", "\xD6\xD0 x");
         }},
    };
    for (const auto& row : aRows) {
        SCOPED_TRACE(row.szGolden);
        CHttpClientA client;
        row.fnSetUp(client);
        const std::string sUrl = m_srv.Url(std::string("/") + row.szGolden + "?v=1");
        const BOOL bUseCache = isupper(row.cStart) && row.cStart != 'E';
        if (row.cStart == 'E')
            client.StartPostEx(nullptr, nullptr, sUrl.c_str(), HTTPCLIENT_REQUEST_FLAGS_NOCACHE,
                               "http://ref.example/f");
        else if (tolower(row.cStart) == 'p')
            client.StartPost(sUrl.c_str(), bUseCache);
        else
            client.StartUpload(sUrl.c_str(), bUseCache);
        CRun run = Drive(client, row.nDesired);
        ASSERT_TRUE(run.response);
        EXPECT_EQ(run.response->GetStatus(), 200u);
        EXPECT_EQ(run.steps, row.steps);
        EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);
        const CRecordedRequest req = WaitFor(m_srv, std::string("POST /") + row.szGolden + "?v=1 HTTP/1.1");
        EXPECT_TRUE(req.bComplete);
        ExpectGolden(req, m_srv.Port(), row.szGolden);
    }
    EXPECT_TRUE(RemoveFile(sDump) && RemoveFile(sEmpty) && RemoveFile(sChinese));
    RemoveDirectoryA("C:\\crash");
}

// What a caller may not do, and the exact refusal; the client still works afterwards.
TEST_F(Client, Refusals) {
    CHttpClientA client;
    CTempFile file(Bytes(3000));
    client.AddParam("f", file.c_str(), HTTPCLIENT_PARAM_FILE);
    client.AddParam("comment", "hello");
    EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);
    client.StartUpload(m_srv.Url("/refusals").c_str());
    CHttpPostStatA stat;
    client.GetPostStat(stat);
    EXPECT_EQ(stat.PostedCount(), 1u);  // the first part is current from the start
    EXPECT_STREQ(stat.CurrParamName(), "comment");
    EXPECT_EQ(stat.CurrParamTotalByte(), 5u);
    const std::string sActive = ": It is not allowed to call this method if the POST context is active.";
    const std::string sHeader = "CHttpClientT::AddRequestHeader: ";
    const std::vector<std::pair<std::function<void()>, std::string>> aRows = {
        {[&] { client.ProceedStep(0); }, "CHttpClientT::_ProceedUploadContext: nDesired can not be zero."},
        {[&] { client.AddParam("x"); }, "CHttpClientT::AddParam" + sActive},
        {[&] { client.SetUseUtf8(TRUE); }, "CHttpClientT::SetUseUtf8" + sActive},
        {[&] { client.SetAnsiCodePage(936); }, "CHttpClientT::SetAnsiCodePage" + sActive},
        {[&] { client.RemoveParam("f"); }, "CHttpClientT::RemoveParam" + sActive},
        {[&] { client.RemoveAllParams(); }, "CHttpClientT::RemoveAllParams" + sActive},
        {[&] { client.SetAnsiCodePage(CP_UTF8); },
         "CHttpClientT::SetAnsiCodePage: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
        {[&] { client.SetAnsiCodePage(CP_UTF7); },
         "CHttpClientT::SetAnsiCodePage: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
        {[&] { client.RemoveParam(nullptr); }, "CHttpClientT::RemoveParam: szName can not be NULL."},
        {[&] { client.RemoveRequestHeader(nullptr); }, "CHttpClientT::RemoveRequestHeader: szName can not be NULL."},
        {[&] { client.AddRequestHeader(nullptr); }, sHeader + "szName can not be NULL."},
        {[&] { client.AddRequestHeader(""); }, sHeader + "szName can not be an empty string."},
        {[&] { client.AddRequestHeader("X-A: 1\r\nX-B", "2"); }, sHeader + "szName can not contain CR, LF or ':'."},
        {[&] { client.AddRequestHeader("X-A\n"); }, sHeader + "szName can not contain CR, LF or ':'."},
        {[&] { client.AddRequestHeader("X-A", "1\r\nX-Evil: 2"); }, sHeader + "szValue can not contain CR or LF."},
        {[&] { client.AddRequestHeader("X-A", "1\nX-Evil: 2"); }, sHeader + "szValue can not contain CR or LF."},
        {[&] { client.AddRequestHeader("X-A", "1\rX-Evil: 2"); }, sHeader + "szValue can not contain CR or LF."},
        {[&] { client.AddRequestHeader("content-LENGTH", "2"); },
         sHeader + "szName can not be Content-Length, Transfer-Encoding or Content-Type."},
        {[&] { client.AddRequestHeader("Transfer-Encoding", "chunked"); },
         sHeader + "szName can not be Content-Length, Transfer-Encoding or Content-Type."},
        {[&] { client.AddRequestHeader("content-TYPE", "text/plain"); },
         sHeader + "szName can not be Content-Length, Transfer-Encoding or Content-Type."},
        {[&] { client.OpenConnection(nullptr, "http://h/"); },
         "CHttpClientT::OpenConnection: hInternet can not be NULL."},
        {[&] { client.OpenRequest(nullptr, "POST", "http://h/", 0); },
         "CHttpClientT::OpenRequest: hConnection can not be NULL."},
        {[&] { client.ApplyProxyAccount(nullptr); }, "CHttpClientT::ApplyProxyAccount: hConnection can not be NULL."},
    };
    for (const auto& row : aRows) {
        const httpclientexceptionA e = CatchError(row.first);
        EXPECT_EQ(e.GetErrorMessage(), row.second);
        EXPECT_EQ(e.GetErrorCode(), 0u) << row.second;
    }
    CRun run = Drive(client, 1024);  // none of them disturbed the upload
    ASSERT_TRUE(run.response);
    const CRecordedRequest req = m_srv.Request(0);
    ExpectExactBody(req, Multipart(req.Boundary(), {{"comment", "hello"},
                                                    {"f", Bytes(3000), file.Path(), "application/octet-stream"}}));
    EXPECT_EQ(req.HeaderCount("Content-Type"), 1u);
    EXPECT_FALSE(req.HasHeader("Transfer-Encoding") || req.HasHeader("X-A") || req.HasHeader("X-Evil"));
    client.AddParam("late", "ok");  // allowed again once the context has finished
}

TEST_F(Client, FailedStartsCloseEverything) {
    CHttpClientA client;
    const std::string sPath = TempPath(), sMissing = TempPath(".missing");
    const std::string sRefused = "http://127.0.0.1:" + std::to_string(CScenario::UnusedPort()) + "/";
    const std::string sHuge = TempPath(".huge"), sBig = TempPath(".big");
    ASSERT_TRUE(MakeSparseFile(sHuge, 0x100000000ull + 10) && MakeSparseFile(sBig, 0xFFFFFFF0ull));
    const struct {
        std::string sUrl, sFile, sMessage;
        DWORD dwCode, dwLastError;
        bool bPost;
    } aRows[] = {
        {sRefused, sPath, "", HTTPCLIENT_ERR_HTTPSENDREQUESTEX, ERROR_INTERNET_CANNOT_CONNECT, false},
        {sRefused, sPath, "", HTTPCLIENT_ERR_HTTPSENDREQUESTEX, ERROR_INTERNET_CANNOT_CONNECT, true},
        {"http:///x", sPath, "", HTTPCLIENT_ERR_INVALID_URL, 0, false},
        {"http://127.0.0.1:65536/", sPath, "", HTTPCLIENT_ERR_INVALID_PORT, 0, false},
        {"http://127.0.0.1:65536/", sPath, "", HTTPCLIENT_ERR_INVALID_PORT, 0, true},
        {"", sPath, "", HTTPCLIENT_ERR_INVALID_URL, 0, false},
        {m_srv.Url(), sMissing, "OpenFile (::CreateFile) failed (\"" + sMissing + "\").", HTTPCLIENT_ERR_OPENFILE,
         ERROR_FILE_NOT_FOUND, false},
        {m_srv.Url(), sHuge, "::GetFileSize failed (\"" + sHuge + "\").", HTTPCLIENT_ERR_GETFILESIZE,
         ERROR_FILE_TOO_LARGE, false},
        {m_srv.Url(), sBig, "", HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW, 0, false},  // each file fits, the body not
    };
    for (const auto& row : aRows) {
        SCOPED_TRACE(row.sUrl + " " + row.sFile);
        ASSERT_TRUE(WriteBytes(sPath, Bytes(100)));
        client.RemoveAllParams();
        client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
        client.AddParam("g", row.sFile.c_str(), HTTPCLIENT_PARAM_FILE);
        client.SetStrictFileCheck(TRUE);
        const size_t nBefore = m_srv.Count();
        const httpclientexceptionA e = CatchError([&] {
            const char* szUrl = row.sUrl.empty() ? nullptr : row.sUrl.c_str();
            row.bPost ? client.StartPost(szUrl) : client.StartUpload(szUrl);
        });
        EXPECT_EQ(e.GetErrorCode(), row.dwCode);
        EXPECT_TRUE(!row.dwLastError || e.GetWin32LastError() == row.dwLastError) << e.GetWin32LastError();
        EXPECT_TRUE(row.sMessage.empty() || e.GetErrorMessage() == row.sMessage) << e.GetErrorMessage();
        EXPECT_EQ(m_srv.Count(), nBefore);
        client.SetStrictFileCheck(FALSE);
        ExpectReleased(client, row.sFile == sPath ? sPath : row.sFile);
        RemoveFile(sPath);
    }
}

TEST_F(Client, FaultsDuringTheBodyReleaseTheContext) {
    CHttpClientA client;
    const std::string sPath = TempPath();
    for (bool bPost : {false, true}) {  // the server resets the connection after 1000 body bytes
        SCOPED_TRACE(bPost);
        m_srv.Script(R"({"close_after_body": 1000})");
        ASSERT_TRUE(WriteBytes(sPath, Bytes(4 << 20)));
        client.RemoveAllParams();
        client.AddParam("f", bPost ? std::string(4 << 20, 'x').c_str() : sPath.c_str(), HTTPCLIENT_PARAM_FILE);
        bPost ? client.StartPost(m_srv.Url("/cut").c_str()) : client.StartUpload(m_srv.Url("/cut").c_str());
        StepToTheCut(client, m_srv, 57344, 1000);
        const DWORD dwCode = CatchError([&] { Drive(client, 57344); }).GetErrorCode();
        EXPECT_TRUE(dwCode == HTTPCLIENT_ERR_INTERNETWRITEFILE || dwCode == HTTPCLIENT_ERR_HTTPENDREQUEST) << dwCode;
        m_srv.Reset();
        ExpectReleased(client, sPath);
    }
    // The file shrinks or grows between the start and its turn, or while it is read. 100000 bytes
    // are two read blocks, handed out in several 10000-byte steps each.
    const struct {
        DWORD cbFile, nStep, cbNewSize, nStepsBefore;
    } aChanges[] = {{4000, 1000, 50, 0},        {4000, 1000, 5000, 0},     {4000, 1000, 3000, 3},
                    {100000, 10000, 120000, 3}, {100000, 10000, 80000, 3}, {100000, 10000, 30000, 3},
                    {100000, 10000, 100001, 8}, {100000, 10000, 99999, 8}};
    for (const auto& change : aChanges) {
        SCOPED_TRACE(change.cbNewSize);
        ASSERT_TRUE(WriteBytes(sPath, Bytes(change.cbFile)));
        client.RemoveAllParams();
        client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
        client.StartUpload(m_srv.Url().c_str());
        for (DWORD i = 0; i < change.nStepsBefore; ++i)
            client.ProceedStep(change.nStep);
        if (!UnixTruncate(sPath, change.cbNewSize))
            GTEST_SKIP() << "needs Wine to change a file behind the client";
        EXPECT_EQ(CatchError([&] { Drive(client, change.nStep); }).GetErrorCode(), HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
        ExpectReleased(client, sPath);
    }
}

TEST_F(Client, BorrowedHandlesStayOpenAndRestartAbandonsTheFirstRequest) {
    HINTERNET hInternet = InternetOpenA("borrowed", 0, nullptr, nullptr, 0);
    HINTERNET hConnection =
        InternetConnectA(hInternet, "127.0.0.1", m_srv.Port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_TRUE(hConnection);
    CTempFile file(Bytes(5000));
    {
        CHttpClientA client;
        client.AddParam("f", file.c_str(), HTTPCLIENT_PARAM_FILE);
        client.StartUploadEx(hInternet, hConnection, m_srv.Url("/one").c_str(), HTTPCLIENT_REQUEST_FLAGS_NOCACHE);
        client.ProceedStep(1024);
        client.ProceedStep(1024);
        // Starting again abandons the first body and sends the second whole.
        client.StartUploadEx(hInternet, hConnection, m_srv.Url("/two").c_str(), HTTPCLIENT_REQUEST_FLAGS_NOCACHE);
        EXPECT_TRUE(Drive(client, 4096).response);
        client.StartUploadEx(hInternet, hConnection, m_srv.Url("/three").c_str(), 0);
        client.ProceedStep(100);
    }  // destroyed mid-upload: the file and the request are closed, the borrowed handles are not
    EXPECT_FALSE(WaitFor(m_srv, "POST /one HTTP/1.1").bComplete);
    const CRecordedRequest second = WaitFor(m_srv, "POST /two HTTP/1.1");
    ExpectExactBody(second,
                    Multipart(second.Boundary(), {{"f", Bytes(5000), file.Path(), "application/octet-stream"}}));
    EXPECT_FALSE(WaitFor(m_srv, "POST /three HTTP/1.1").bComplete);
    EXPECT_TRUE(RemoveFile(file.Path()));
    EXPECT_TRUE(InternetCloseHandle(hConnection));
    EXPECT_TRUE(InternetCloseHandle(hInternet));
}
