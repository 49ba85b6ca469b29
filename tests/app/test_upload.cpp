// The reporter's whole job end to end under Wine: the send button uploads the crash file to the
// loopback report server that this test plays, and the server's answer (or the failure) lands
// in the debugger output before the dialog ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "handoff.h"
#include "multipart_body.h"
#include "reporter_driver.h"
#include "test_server.h"

using TestSupport::CAnswer;
using TestSupport::CRecordedRequest;
using TestSupport::CTempFile;
using TestSupport::CTestServer;

namespace {

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
const std::string s_strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));
const USHORT s_nReportPort = REPORT_PORT;  // the port compiled into the test build's report URL

enum { IDC_SEND = 1000, IDC_CANCEL = 1001, IDC_RESTART = 1005 };

const wchar_t s_szSendingEn[] = L"Quilla Restart - Sending...";
const wchar_t s_szSentEn[] = L"Quilla Restart - Send complete";

bool ProbeStarted() {
    return ::GetFileAttributesA((s_strProbe + ".started").c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ExpectedBody(const std::string& strBoundary,
                         const std::string& strPath,
                         const std::string& strMime,
                         const std::string& strBytes) {
    return TestSupport::Multipart(strBoundary, {{"file", strBytes, strPath, strMime}});
}

class Upload : public ::testing::Test {
protected:
    // Starts a reporter for this crash file and version, presses send and waits for the end.
    void SendReport(const std::string& strCrashFile, const std::string& strVersion = "4.2.0") {
        ::DeleteFileA((s_strProbe + ".started").c_str());
        m_pDriver = std::make_unique<CReporterDriver>();
        CReporterDriver& driver = *m_pDriver;
        m_strCommandLine = BuildHandOff(s_strReporter, {{"module", s_strProbe},
                                                        {"crash file", strCrashFile},
                                                        {"except", "EXCEPTION_ACCESS_VIOLATION"},
                                                        {"version", strVersion}});
        ASSERT_TRUE(driver.Launch(s_strReporter, m_strCommandLine));
        ASSERT_NE(driver.WaitForDialog(), nullptr);
        driver.Click(IDC_SEND);
        ASSERT_TRUE(driver.WaitForExit());
        EXPECT_EQ(driver.ExitCode(), 0u);
        EXPECT_TRUE(ProbeStarted());
        EXPECT_EQ(driver.Titles().back(), s_szSentEn);
    }

    // The worker's one line: whatever follows the hand-off trace (command line, remainder, entries).
    std::string WorkerOutput() const {
        const std::vector<std::string> output = m_pDriver->Output();
        EXPECT_EQ(output.size(), 7u);
        return output.size() == 7 ? output.back() : std::string();
    }

    std::unique_ptr<CReporterDriver> m_pDriver;
    std::string m_strCommandLine;
};

TEST_F(Upload, SendsTheCrashFileByteForByteAndDumpsTheAnswer) {
    CTestServer server(s_nReportPort);
    CAnswer answer;
    answer.AddHeader("Server", "receiver/1.0")
        .AddHeader("X-Powered-By", "tests")
        .AddHeader("Content-Type", "text/plain");
    answer.sBody = "report stored";
    server.Script(answer);

    const std::string strBytes = TestSupport::BinaryBytes(300 * 1024);
    CTempFile crash(strBytes, ".dmp");
    SendReport(crash.Path(), "2.5.1-beta+7");

    const CRecordedRequest req = server.WaitRequest(0);
    ASSERT_TRUE(req.bComplete);
    EXPECT_EQ(req.RequestLine(), "POST /vorlex.php?version=2.5.1-beta+7 HTTP/1.1");
    EXPECT_EQ(req.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(req.Header("User-Agent"), "My User Agent v1.0");
    const std::string strBoundary = req.Boundary();
    ASSERT_EQ(strBoundary.size(), 43u);
    EXPECT_EQ(strBoundary.substr(0, 10), "----MIRAS-");
    EXPECT_EQ(req.Header("Content-Type"), "multipart/form-data; boundary=" + strBoundary);
    EXPECT_EQ(req.Header("Content-Length"), std::to_string(req.Body().size()));
    EXPECT_EQ(req.cbExtra, 0u);
    EXPECT_TRUE(req.Body() ==
                ExpectedBody(strBoundary, crash.Path(), "application/octet-stream", strBytes));  // 300 KiB: no dump

    EXPECT_EQ(WorkerOutput(),
              "200 OK\r\n"
              "Server: receiver/1.0\r\n"
              "X-Powered-By: tests\r\n"
              "Content-Length: 13\r\n"
              "Connection: close\r\n"
              "Content-Type: text/plain\r\n"
              "\r\n"
              "report stored\r\n");
    EXPECT_EQ(m_pDriver->Titles(), (std::vector<std::wstring>{L"Quilla批处理", s_szSendingEn, s_szSentEn}));
}

TEST_F(Upload, DumpsTextBodiesOnlyAndFirstOccurrences) {
    const std::string strLong = [] {
        std::string str;
        for (int i = 0; str.size() < 25000; ++i)
            str += "line " + std::to_string(i) + "\n";
        return str;
    }();
    struct Case {
        const char* pszName;
        std::string strStatusLine;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string strBody;
        bool bChunked;
        std::string strExpected;
    };
    const std::vector<Case> cases = {
        {"capital TEXT/HTML",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "TEXT/HTML"}},
         "<b>ok</b>",
         false,
         "200 OK\r\nContent-Length: 9\r\nConnection: close\r\nContent-Type: TEXT/HTML\r\n\r\n<b>ok</b>\r\n"},
        {"charset parameter",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "text/plain; charset=gbk"}},
         "x",
         false,
         "200 OK\r\nContent-Length: 1\r\nConnection: close\r\nContent-Type: text/plain; charset=gbk\r\n\r\nx\r\n"},
        {"json is not text",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "application/json"}},
         "{\"a\":1}",
         false,
         "200 OK\r\nContent-Length: 7\r\nConnection: close\r\nContent-Type: application/json\r\n\r\n\r\n"},
        {"no content type",
         "HTTP/1.1 200 OK",
         {},
         "hidden",
         false,
         "200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\n\r\n"},
        {"error status, cookies, spelling, fixed order",
         "HTTP/1.1 500 Internal Server Error",
         {{"Date", "Mon, 07 Dec 2026 05:00:00 GMT"},
          {"Server", "receiver/1.0"},
          {"Set-Cookie", "a=1"},
          {"set-cookie", "b=2"},
          {"CACHE-CONTROL", "private"},
          {"Expires", "0"},
          {"Content-Type", "text/plain"}},
         "boom",
         false,
         "500 Internal Server Error\r\nServer: receiver/1.0\r\nDate: Mon, 07 Dec 2026 05:00:00 GMT\r\n"
         "Content-Length: 4\r\nSet-Cookie: a=1\r\nExpires: 0\r\n"
         "Cache-control: private\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\nboom\r\n"},
        {"a NUL ends the text of its chunk",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "text/plain"}},
         std::string("shown\0hidden", 12),
         false,
         "200 OK\r\nContent-Length: 12\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\nshown\r\n"},
        {"long text, read in full buffers",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "text/plain"}},
         strLong,
         false,
         "200 OK\r\nContent-Length: " + std::to_string(strLong.size()) +
             "\r\nConnection: close\r\nContent-Type: text/plain\r\n\r\n" + strLong + "\r\n"},
        {"long chunked text",
         "HTTP/1.1 200 OK",
         {{"Content-Type", "text/plain"}},
         strLong,
         true,
         "200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n" + strLong +
             "\r\n"},
    };

    CTempFile crash("MDMP small crash", ".dmp");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CTestServer server(s_nReportPort);
        CAnswer answer;
        answer.sStatusLine = c.strStatusLine;
        answer.headers = c.headers;
        answer.sBody = c.strBody;
        answer.bChunked = c.bChunked;
        answer.cbChunk = 4000;
        server.Script(answer);

        SendReport(crash.Path());
        EXPECT_EQ(WorkerOutput(), c.strExpected);
    }
}

TEST_F(Upload, FailuresAreReportedAndTheDialogStillEnds) {
    CTempFile crash(TestSupport::BinaryBytes(200 * 1024), ".dmp");
    {
        SCOPED_TRACE("server down");
        SendReport(crash.Path());  // nothing listens on the report port
        const std::string strLine = WorkerOutput();
        EXPECT_TRUE(strLine == "::HttpSendRequestEx failed." || strLine == "::InternetConnect failed.") << strLine;
    }
    {
        SCOPED_TRACE("connection dropped mid-upload");
        CTestServer server(s_nReportPort);
        CAnswer answer;
        answer.nCloseAfterBody = 20000;
        server.Script(answer);
        SendReport(crash.Path());
        const std::string strLine = WorkerOutput();
        // Where the reset surfaces depends on how much the socket buffers had taken by then.
        EXPECT_TRUE(strLine == "::InternetWriteFile failed." || strLine == "::HttpEndRequest failed." ||
                    strLine == "::HttpQueryInfo failed.")
            << strLine;
        EXPECT_FALSE(server.WaitRequest(0).bComplete);
    }
}

TEST_F(Upload, MissingCrashFileSendsAnEmptyPart) {
    CTestServer server(s_nReportPort);
    CAnswer answer;
    answer.AddHeader("Content-Type", "text/plain");
    answer.sBody = "empty report";
    server.Script(answer);

    const std::string strMissing = TestSupport::TempPath(".dmp");
    SendReport(strMissing, "");
    const CRecordedRequest req = server.WaitRequest(0);
    EXPECT_EQ(req.RequestLine(), "POST /vorlex.php?version= HTTP/1.1");
    EXPECT_EQ(req.Body(), ExpectedBody(req.Boundary(), strMissing, "application/octet-stream", ""));
    EXPECT_EQ(req.Header("Content-Length"), std::to_string(req.Body().size()));
    EXPECT_EQ(WorkerOutput().substr(0, 8), "200 OK\r\n");
}

// The part header names the crash file in the ANSI code page, the bytes the server has always
// decoded, not in UTF-8.
TEST_F(Upload, CrashFileUnderANonAsciiFolderIsNamedInTheAnsiCodePage) {
    char szExpectedAcp[16] = "1252";
    ::GetEnvironmentVariableA("QUILLA_EXPECT_ACP", szExpectedAcp, sizeof(szExpectedAcp));
    ASSERT_EQ(::GetACP(), UINT(atoi(szExpectedAcp)));
    const wchar_t* pszFolder = ::GetACP() == 936 ? L"\x5D29\x6E83\x62A5\x544A" : L"Caf\xE9";  // "崩溃报告"
    char szFolder[64] = "";
    ASSERT_GT(::WideCharToMultiByte(CP_ACP, 0, pszFolder, -1, szFolder, sizeof(szFolder), nullptr, nullptr), 0);
    const std::string strDir = TestSupport::TempPath("_") + szFolder;
    ASSERT_TRUE(::CreateDirectoryA(strDir.c_str(), nullptr));
    const std::string strPath = strDir + "\\crash.dmp";
    const std::string strBytes = TestSupport::BinaryBytes(1000);
    ASSERT_TRUE(TestSupport::WriteBytes(strPath, strBytes));

    CTestServer server(s_nReportPort);
    server.Script(CAnswer());
    SendReport(strPath);
    const CRecordedRequest req = server.WaitRequest(0);
    const std::string strExpected = ExpectedBody(req.Boundary(), strPath, "application/octet-stream", strBytes);
    const std::string strBody = req.Body();
    const size_t cbPartHeader = strExpected.find("\r\n\r\n");
    EXPECT_EQ(strBody.substr(0, cbPartHeader), strExpected.substr(0, cbPartHeader));
    EXPECT_TRUE(strBody == strExpected);
    EXPECT_TRUE(TestSupport::RemoveFile(strPath));
    EXPECT_TRUE(::RemoveDirectoryA(strDir.c_str()));
}

TEST_F(Upload, EscapeDuringAStalledSendClosesAtOnceAndRestarts) {
    CTestServer server(s_nReportPort);
    CAnswer answer;
    answer.nStallAfterBody = 1000;
    answer.dwStallMs = INFINITE;  // until the server goes
    server.Script(answer);
    CTempFile crash(TestSupport::BinaryBytes(4 * 1024 * 1024), ".dmp");

    const std::string strCommandLine =
        BuildHandOff(s_strReporter, {{"module", s_strProbe}, {"crash file", crash.Path()}});
    m_pDriver = std::make_unique<CReporterDriver>();
    CReporterDriver& driver = *m_pDriver;
    ASSERT_TRUE(driver.Launch(s_strReporter, strCommandLine));
    ASSERT_NE(driver.WaitForDialog(), nullptr);
    driver.Click(IDC_SEND);
    EXPECT_TRUE(
        CReporterDriver::WaitUntil([&] { return !driver.IsEnabled(IDC_SEND) && !driver.IsEnabled(IDC_CANCEL); }));

    driver.PressKey(VK_ESCAPE);
    ASSERT_TRUE(driver.WaitForExit());  // the server stalls until it goes: no waiting for the worker
    EXPECT_EQ(driver.ExitCode(), 0u);
    EXPECT_TRUE(ProbeStarted());
    EXPECT_EQ(driver.Titles().back(), s_szSendingEn);  // closed while sending, no ended title
}

// Run by offline.sh inside a network namespace without interfaces; skipped elsewhere.
TEST(Offline, NoRequestIsMadeAndTheDialogStillEnds) {
    if (!::GetEnvironmentVariableA("QUILLA_EXPECT_OFFLINE", nullptr, 0))
        GTEST_SKIP() << "needs a machine without network (offline.sh)";
    ::DeleteFileA((s_strProbe + ".started").c_str());
    CTempFile crash("MDMP", ".dmp");
    CReporterDriver driver;
    ASSERT_TRUE(driver.Launch(s_strReporter,
                              BuildHandOff(s_strReporter, {{"module", s_strProbe}, {"crash file", crash.Path()}})));
    ASSERT_NE(driver.WaitForDialog(), nullptr);
    driver.Click(IDC_SEND);
    ASSERT_TRUE(driver.WaitForExit());
    EXPECT_TRUE(ProbeStarted());
    EXPECT_EQ(driver.Titles().back(), s_szSentEn);
    // Command line, remainder and the two entries: no answer and no failure line after them.
    EXPECT_EQ(driver.Output().size(), 4u);
    EXPECT_EQ(PendingStoreFiles("*.rec").size(), 1u);  // kept for a later send
}

}  // namespace
