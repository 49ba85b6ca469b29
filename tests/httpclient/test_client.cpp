// The client and its multipart upload against the loopback server: exact bytes, steps, faults.
#include "client_test_util.h"
#include "multipart_body.h"

#include <cstring>

using namespace ClientTest;
using namespace TestSupport;

namespace {

std::string Bytes(size_t cb) {
    std::string s(cb, '\0');
    for (size_t i = 0; i < cb; ++i)
        s[i] = char((i * 7 + 1) & 0xFF);  // binary, so it is sniffed as application/octet-stream
    return s;
}

std::string MimeOf(const std::string& sPath) {
    HANDLE h = CHttpToolA::OpenFile(sPath.c_str());
    CHeapPtr<char> sz(CHttpToolA::GetMimeType(h, CP_ACP));
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return sz.get();
}

// Changes a file's size behind Windows' back, as a Unix process beside Wine can while the
// client holds it open; returns false when not running under Wine.
bool UnixTruncate(const std::string& sPath, DWORD cbSize) {
    typedef char*(CDECL * PFN)(LPCWSTR);
    auto pfn = reinterpret_cast<PFN>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!pfn)
        return false;
    WCHAR wsz[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, sPath.c_str(), -1, wsz, MAX_PATH);
    char* szUnix = pfn(wsz);
    if (!szUnix)
        return false;
    long ret;
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(92L), "b"(szUnix), "c"(cbSize) : "memory");  // truncate(2)
    HeapFree(GetProcessHeap(), 0, szUnix);
    return ret == 0;
}

class Upload : public ::testing::Test {
protected:
    // Uploads with nDesired and checks declared == received == expected; returns the step sizes.
    std::vector<DWORD> Check(CHttpClientA& client, DWORD nDesired, const std::vector<CPart>& parts) {
        const std::string sPath = "/up" + std::to_string(++m_nUpload);
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
    int m_nUpload = 0;
};

}  // namespace

TEST_F(Upload, WorkedExampleByteForByte) {
    CreateDirectoryA("C:\\crash", nullptr);
    const std::string sPath = "C:\\crash\\report.dmp";
    ASSERT_TRUE(WriteBytes(sPath, Bytes(1000)));
    ASSERT_EQ(MimeOf(sPath), "application/octet-stream");

    CHttpClientA client;
    client.AddParam("file", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    client.AddParam("comment", "hello");
    client.AddRequestHeader("X-Extra", "1");
    client.StartUpload(m_srv.Url("/vorlex.php?version=1.0").c_str());

    CHttpPostStatA stat;
    client.GetPostStat(stat);
    EXPECT_EQ(stat.ActualTotalByte(), 1321u);
    EXPECT_EQ(stat.PostedCount(), 1u);
    EXPECT_STREQ(stat.CurrParamName(), "comment");
    EXPECT_EQ(stat.CurrParamTotalByte(), 5u);
    EXPECT_STREQ(CatchError([&] { client.AddParam("x"); }).GetErrorMessage(),
                 "CHttpClientT::AddParam: It is not allowed to call this method if the POST context is active.");
    EXPECT_STREQ(CatchError([&] { client.SetUseUtf8(TRUE); }).GetErrorMessage(),
                 "CHttpClientT::SetUseUtf8: It is not allowed to call this method if the POST context is active.");
    EXPECT_EQ(CatchError([&] { client.RemoveParam("file"); }).GetErrorCode(), 0u);

    CRun run = Drive(client, 1024);
    EXPECT_EQ(run.steps, (std::vector<DWORD>{97, 7, 166, 1002, 49}));
    ASSERT_TRUE(run.response);
    EXPECT_EQ(run.response->GetStatus(), 200u);
    EXPECT_EQ(CatchError([&] { client.ProceedStep(1024); }).GetErrorCode(), HTTPCLIENT_ERR_POST_NOT_STARTED);

    CRecordedRequest req = m_srv.Request(0);
    EXPECT_EQ(req.RequestLine(), "POST /vorlex.php?version=1.0 HTTP/1.1");
    const std::string B = req.Boundary();
    EXPECT_EQ(B.size(), 43u);
    EXPECT_EQ(B.substr(0, 10), "----MIRAS-");
    const std::string sExpected =
        "--" + B + "\r\n" + "Content-Disposition: form-data; name=\"comment\"\r\n\r\n" + "hello\r\n" + "--" + B +
        "\r\n" + "Content-Disposition: form-data; name=\"file\"; filename=\"C:\\crash\\report.dmp\"\r\n" +
        "Content-Type: application/octet-stream\r\n\r\n" + Bytes(1000) + "\r\n" + "--" + B + "--\r\n";
    EXPECT_EQ(sExpected.size(), 1321u);
    ExpectExactBody(req, sExpected);

    // Our headers in order: the cache header, the extra ones, then the content type.
    std::vector<std::string> ours;
    for (const std::string& sLine : req.HeaderLines())
        if (sLine.rfind("Cache-Control:", 0) == 0 || sLine.rfind("X-Extra:", 0) == 0 ||
            sLine.rfind("Content-Type:", 0) == 0)
            ours.push_back(sLine);
    EXPECT_EQ(ours, (std::vector<std::string>{"Cache-Control: no-cache", "X-Extra: 1",
                                              "Content-Type: multipart/form-data; boundary=" + B}));

    client.AddParam("late", "ok");  // allowed again once the context has finished
    run.response.reset();
    EXPECT_TRUE(RemoveFile(sPath));
    RemoveDirectoryA("C:\\crash");
}

TEST_F(Upload, DeclaredEqualsReceivedForEveryShape) {
    {
        CHttpClientA client;
        EXPECT_EQ(Check(client, 1024, {}), (std::vector<DWORD>{51}));
    }
    {
        CHttpClientA client;
        client.AddParam("e", "");
        client.AddParam("n");
        EXPECT_EQ(Check(client, 1024, {{"e", ""}, {"n", ""}}), (std::vector<DWORD>{93, 93, 49}));
    }
    {
        CHttpClientA client;
        client.AddParam("v", "hello");
        EXPECT_EQ(Check(client, 1, {{"v", "hello"}}), (std::vector<DWORD>{91, 1, 1, 1, 1, 3, 49}));
    }
    {
        CHttpClientA client;
        client.AddParam("b", "2");
        client.AddParam("A", "1");
        client.AddParam("a", "3");
        client.AddParam("_x", "0");
        Check(client, 1024, {{"_x", "0"}, {"A", "1"}, {"a", "3"}, {"b", "2"}});
    }
    CTempFile empty("");
    CTempFile big(Bytes(150000));
    const std::string sMissing = TempPath(".missing");
    for (DWORD nDesired : {1000u, 100000u}) {
        CHttpClientA client;
        client.AddParam("big", big.c_str(), HTTPCLIENT_PARAM_FILE);
        client.AddParam("empty", empty.c_str(), HTTPCLIENT_PARAM_FILE);
        client.AddParam("gone", sMissing.c_str(), HTTPCLIENT_PARAM_FILE);
        const std::vector<DWORD> steps = Check(client, nDesired,
                                               {{"big", Bytes(150000), big.Path(), MimeOf(big.Path())},
                                                {"empty", "", empty.Path(), MimeOf(empty.Path())},
                                                {"gone", "", sMissing, "application/octet-stream"}});
        const size_t nChunks = (150000 + nDesired - 1) / nDesired;
        EXPECT_EQ(steps.size(), 1 + nChunks + 1 + 1 + 1);
        EXPECT_EQ(steps[nChunks], 150000 - (nChunks - 1) * nDesired + 2);
    }
}

TEST_F(Upload, Utf8NamesAndPathsFromCodePage936) {
    const std::string sPath = TempPath("\xD6\xD0.bin");  // U+4E2D in code page 936
    ASSERT_TRUE(WriteBytes(sPath, Bytes(10)));
    CHttpClientA client;
    EXPECT_STREQ(CatchError([&] { client.SetAnsiCodePage(CP_UTF8); }).GetErrorMessage(),
                 "CHttpClientT::SetAnsiCodePage: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
    client.SetAnsiCodePage(936);
    EXPECT_FALSE(client.SetUseUtf8(TRUE));
    EXPECT_TRUE(client.SetUseUtf8(TRUE));
    client.AddParam("\xD6\xD0", "a\xD6\xD0");
    client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    std::string sUtf8Path = sPath;
    sUtf8Path.replace(sUtf8Path.find("\xD6\xD0"), 2, "\xE4\xB8\xAD");
    Check(client, 2, {{"f", Bytes(10), sUtf8Path, MimeOf(sPath)}, {"\xE4\xB8\xAD", "a\xE4\xB8\xAD"}});
    EXPECT_TRUE(RemoveFile(sPath));
}

TEST_F(Upload, RequestOpeningRules) {
    CHttpClientA client;
    const std::string sRoot = m_srv.Url("");  // http://127.0.0.1:<port>
    struct {
        std::string sUrl, sLine;
        BOOL bUseCache;
    } cases[] = {
        {sRoot, "POST / HTTP/1.1", FALSE},
        {sRoot + "?x=1", "POST /?x=1 HTTP/1.1", TRUE},
        {sRoot + "/a/b?x=1", "POST /a/b?x=1 HTTP/1.1", FALSE},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        client.StartUpload(cases[i].sUrl.c_str(), cases[i].bUseCache);
        Drive(client, 1024);
        CRecordedRequest req = m_srv.Request(i);
        EXPECT_EQ(req.RequestLine(), cases[i].sLine);
        EXPECT_EQ(req.HasHeader("Cache-Control"), !cases[i].bUseCache) << cases[i].sUrl;
        EXPECT_EQ(req.Header("User-Agent"), "Tavon HTTP Client Class");
    }
    client.SetSessionSettings("My User Agent v1.0", 0, nullptr, nullptr, 0);
    client.StartUpload(sRoot.c_str());
    Drive(client, 1024);
    EXPECT_EQ(m_srv.Request(3).Header("User-Agent"), "My User Agent v1.0");

    EXPECT_STREQ(CatchError([&] { client.OpenConnection(nullptr, "http://h/"); }).GetErrorMessage(),
                 "CHttpClientT::OpenConnection: hInternet can not be NULL.");
    EXPECT_STREQ(CatchError([&] { client.OpenRequest(nullptr, "POST", "http://h/", 0); }).GetErrorMessage(),
                 "CHttpClientT::OpenRequest: hConnection can not be NULL.");
    EXPECT_EQ(CatchError([&] { client.AddRequestHeader("X-A", "1\r\nX-Evil: 2"); }).GetErrorCode(), 0u);
    EXPECT_EQ(CatchError([&] { client.AddRequestHeader("X-A: 1\r\nX-B", "2"); }).GetErrorCode(), 0u);
    EXPECT_EQ(CatchError([&] { client.AddRequestHeader("content-length", "2"); }).GetErrorCode(), 0u);
}

TEST_F(Upload, BorrowedHandlesStayOpenAndRestartAbandonsTheFirstRequest) {
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
        CRun run = Drive(client, 4096);
        EXPECT_TRUE(run.response);
        client.StartUploadEx(hInternet, hConnection, m_srv.Url("/three").c_str(), 0);
        client.ProceedStep(100);
    }  // destroyed mid-upload: the file and the request are closed, the borrowed handles are not
    EXPECT_FALSE(WaitFor(m_srv, "POST /one HTTP/1.1").bComplete);
    const CRecordedRequest second = WaitFor(m_srv, "POST /two HTTP/1.1");
    ExpectExactBody(second, Multipart(second.Boundary(), {{"f", Bytes(5000), file.Path(), MimeOf(file.Path())}}));
    EXPECT_FALSE(WaitFor(m_srv, "POST /three HTTP/1.1").bComplete);
    EXPECT_TRUE(RemoveFile(file.Path()));
    EXPECT_TRUE(InternetCloseHandle(hConnection));
    EXPECT_TRUE(InternetCloseHandle(hInternet));
}

TEST_F(Upload, FailedStartsCloseEverything) {
    CHttpClientA client;
    std::string sPath = TempPath();
    ASSERT_TRUE(WriteBytes(sPath, Bytes(100)));
    client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);

    const std::string sRefused = "http://127.0.0.1:" + std::to_string(CScenario::UnusedPort()) + "/";
    EXPECT_EQ(CatchError([&] { client.StartUpload(sRefused.c_str()); }).GetErrorCode(),
              HTTPCLIENT_ERR_HTTPSENDREQUESTEX);
    ExpectReleased(client, sPath);

    const struct {
        const char* szUrl;
        DWORD dwCode;
    } badUrls[] = {{"http:///x", HTTPCLIENT_ERR_INVALID_URL},
                   {"http://127.0.0.1:65536/", HTTPCLIENT_ERR_INVALID_PORT},
                   {nullptr, HTTPCLIENT_ERR_INVALID_URL}};
    for (const auto& bad : badUrls) {
        ASSERT_TRUE(WriteBytes(sPath, Bytes(100)));
        client.RemoveAllParams();
        client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
        EXPECT_EQ(CatchError([&] { client.StartUpload(bad.szUrl); }).GetErrorCode(), bad.dwCode);
        ExpectReleased(client, sPath);
    }

    // Strict check: a missing file fails the start and names the path.
    const std::string sMissing = TempPath(".missing");
    client.RemoveAllParams();
    client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    client.AddParam("g", sMissing.c_str(), HTTPCLIENT_PARAM_FILE);
    ASSERT_TRUE(WriteBytes(sPath, Bytes(100)));
    EXPECT_FALSE(client.SetStrictFileCheck(TRUE));
    const httpclientexceptionA err = CatchError([&] { client.StartUpload(m_srv.Url().c_str()); });
    EXPECT_EQ(err.GetErrorCode(), HTTPCLIENT_ERR_OPENFILE);
    EXPECT_EQ(std::string(err.GetErrorMessage()), "OpenFile (::CreateFile) failed (\"" + sMissing + "\").");
    EXPECT_EQ(err.GetWin32LastError(), DWORD(ERROR_FILE_NOT_FOUND));
    client.SetStrictFileCheck(FALSE);
    ExpectReleased(client, sPath);
}

TEST_F(Upload, HugeFilesAndOverflowingTotalsAreRefused) {
    const std::string sHuge = TempPath(".huge");
    ASSERT_TRUE(MakeSparseFile(sHuge, 0x100000000ull + 10));
    CHttpClientA client;
    client.AddParam("f", sHuge.c_str(), HTTPCLIENT_PARAM_FILE);
    const httpclientexceptionA err = CatchError([&] { client.StartUpload(m_srv.Url().c_str()); });
    EXPECT_EQ(err.GetErrorCode(), HTTPCLIENT_ERR_GETFILESIZE);
    EXPECT_NE(std::string(err.GetErrorMessage()).find(sHuge), std::string::npos);
    ExpectReleased(client, sHuge);

    // Each file fits 32 bits, the body does not: no wrapped length may be declared.
    const std::string sBig = TempPath(".big");
    ASSERT_TRUE(MakeSparseFile(sBig, 0xFFFFFFF0ull));
    client.RemoveAllParams();
    client.AddParam("f", sBig.c_str(), HTTPCLIENT_PARAM_FILE);
    EXPECT_EQ(CatchError([&] { client.StartUpload(m_srv.Url().c_str()); }).GetErrorCode(),
              HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    ExpectReleased(client, sBig);
    EXPECT_EQ(m_srv.Count(), 2u);  // only the two checks of ExpectReleased reached the server
}

TEST_F(Upload, FaultsDuringTheBodyReleaseTheContext) {
    CHttpClientA client;
    const std::string sPath = TempPath();

    // The server resets the connection after 1000 body bytes.
    m_srv.Script(R"({"close_after_body": 1000})");
    ASSERT_TRUE(WriteBytes(sPath, Bytes(4 << 20)));
    client.AddParam("f", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    client.StartUpload(m_srv.Url().c_str());
    StepToTheCut(client, m_srv, 57344, 1000);
    const DWORD dwCode = CatchError([&] { Drive(client, 57344); }).GetErrorCode();
    EXPECT_TRUE(dwCode == HTTPCLIENT_ERR_INTERNETWRITEFILE || dwCode == HTTPCLIENT_ERR_HTTPENDREQUEST) << dwCode;
    ExpectReleased(client, sPath);

    // The file shrinks or grows between the start and its turn, or while it is read. 100000 bytes
    // are two read blocks, handed out in several 10000-byte steps each.
    struct {
        DWORD cbFile, nStep, cbNewSize, nStepsBefore;
    } changes[] = {{4000, 1000, 50, 0},        {4000, 1000, 5000, 0},     {4000, 1000, 3000, 3},
                   {100000, 10000, 120000, 3}, {100000, 10000, 80000, 3}, {100000, 10000, 30000, 3},
                   {100000, 10000, 100001, 8}, {100000, 10000, 99999, 8}};
    for (const auto& change : changes) {
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

TEST_F(Upload, QuotesAndLineBreaksInNamesArePercentEncoded) {
    // Unescaped, the first name turns a text field into an uploaded file and the path adds a header line.
    const std::string sPath = "C:\\no\\such\r\nX-Evil: 1\\\"x\".bin";
    for (BOOL bUtf8 : {FALSE, TRUE}) {
        CHttpClientA client;
        client.SetUseUtf8(bUtf8);
        client.AddParam("note\"; filename=\"evil.exe", "a \"quoted\"\r\nvalue");
        client.AddParam("up", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
        Check(client, 1024,
              {{"note%22; filename=%22evil.exe", "a \"quoted\"\r\nvalue"},
               {"up", "", "C:\\no\\such%0D%0AX-Evil: 1\\%22x%22.bin", "application/octet-stream"}});
    }
}
