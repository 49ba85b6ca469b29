// crashreport.exe against a hostile report server and hostile hand-off input: the request it
// sends is never forged, nothing is lost silently, and it ends by itself in bounded memory.
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "handoff.h"
#include "reporter_driver.h"
#include "test_server.h"

using TestSupport::CAnswer;
using TestSupport::CRecordedRequest;
using TestSupport::CTempFile;
using TestSupport::CTestServer;

namespace {

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
const std::string s_strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));
const USHORT s_nReportPort = REPORT_PORT;
const DWORD kBoundMs = REPORT_TIMEOUT_MS + 20000;  // the compiled-in timeout plus a busy machine
const SIZE_T kMaxWorkingSet = 64u << 20;

enum { IDC_SEND = 1000 };
const wchar_t s_szSentEn[] = L"Quilla Restart - Send complete";

class HostileServer : public ::testing::Test {
protected:
    // Starts a reporter, presses send and waits for its end; samples its working set meanwhile.
    void SendReport(const std::string& strVersion = "4.2.0") {
        CTempFile crash("crash bytes", ".dmp");
        m_pDriver = std::make_unique<CReporterDriver>();
        CReporterDriver& driver = *m_pDriver;
        ASSERT_TRUE(driver.Launch(s_strReporter, BuildHandOff(s_strReporter, {{"module", s_strProbe},
                                                                              {"crash file", crash.Path()},
                                                                              {"except", "EXCEPTION_ACCESS_VIOLATION"},
                                                                              {"version", strVersion}})));
        ASSERT_NE(driver.WaitForDialog(), nullptr);
        std::atomic<bool> bDone{false};
        std::thread sampler([&] {
            PROCESS_MEMORY_COUNTERS pmc = {};
            pmc.cb = sizeof pmc;
            while (!bDone) {
                if (::GetProcessMemoryInfo(driver.Process(), &pmc, sizeof pmc) && pmc.PeakWorkingSetSize > m_cbPeak)
                    m_cbPeak = pmc.PeakWorkingSetSize;
                ::Sleep(20);
            }
        });
        const DWORD dwStart = ::GetTickCount();
        driver.Click(IDC_SEND);
        const bool bEnded = driver.WaitForExit(kBoundMs);
        m_dwMs = ::GetTickCount() - dwStart;
        bDone = true;
        sampler.join();
        std::printf("[ figure ] %s: ended %s after %lu ms, peak working set %lu KiB\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), bEnded ? "by itself" : "NOT",
                    m_dwMs, static_cast<unsigned long>(m_cbPeak >> 10));
        ASSERT_TRUE(bEnded);
        EXPECT_EQ(driver.Titles().back(), s_szSentEn);
        EXPECT_GT(m_cbPeak, 0u);  // the counter works here, so the bound below means something
        EXPECT_LT(m_cbPeak, kMaxWorkingSet);
    }

    // The worker's one line: whatever follows the hand-off trace.
    std::string WorkerOutput() const {
        const std::vector<std::string> output = m_pDriver->Output();
        EXPECT_EQ(output.size(), 7u);
        return output.size() == 7 ? output.back() : std::string();
    }

    std::unique_ptr<CReporterDriver> m_pDriver;
    DWORD m_dwMs = 0;
    SIZE_T m_cbPeak = 0;
};

}  // namespace

TEST_F(HostileServer, AVersionCannotForgeTheRequestLine) {
    CTestServer server(s_nReportPort);
    SendReport("1.0 beta#2&x=1\nX-Injected: 1\x7f\x01");
    const CRecordedRequest req = server.WaitRequest(0);
    EXPECT_EQ(req.RequestLine(), "POST /vorlex.php?version=1.0%20beta%232%26x=1%0AX-Injected:%201%7F%01 HTTP/1.1");
    EXPECT_FALSE(req.HasHeader("X-Injected"));
    EXPECT_TRUE(req.bComplete);
}

TEST_F(HostileServer, ARedirectIsDumpedNotFollowed) {
    CTestServer server(s_nReportPort);
    CAnswer loop;
    loop.sStatusLine = "HTTP/1.1 307 Temporary Redirect";
    loop.AddHeader("Location", server.Url("/vorlex.php"));
    server.SetDefault(loop);
    SendReport();
    EXPECT_EQ(WorkerOutput(), "307 Temporary Redirect\r\nContent-Length: 0\r\nConnection: close\r\n\r\n\r\n");
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(HostileServer, ASilentServerEndsTheSendWithTheError) {
    CTestServer server(s_nReportPort);
    CAnswer silent;
    silent.dwDelayMs = INFINITE;
    server.Script(silent);
    SendReport();
    EXPECT_EQ(WorkerOutput(), "::HttpEndRequest failed.");
}

TEST_F(HostileServer, HugeAndEndlessAnswersAreCutAtOneMebibyte) {
    const std::string strLine = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n";
    CAnswer huge;
    huge.AddHeader("Content-Type", "text/plain");
    while (huge.sBody.size() < (50u << 20))
        huge.sBody += strLine;
    CAnswer endless;
    endless.AddHeader("Content-Type", "text/plain");
    endless.bChunked = endless.bEndless = true;
    endless.sBody = strLine;
    std::string strKept;
    while (strKept.size() < (1u << 20))
        strKept += strLine;
    strKept.resize(1u << 20);
    for (const CAnswer* pAnswer : {&huge, &endless}) {
        CTestServer server(s_nReportPort);
        server.Script(*pAnswer);
        SendReport();
        const std::string strFull =
            (pAnswer == &huge
                 ? "200 OK\r\nContent-Length: " + std::to_string(huge.sBody.size()) + "\r\nConnection: close\r\n"
                 : "200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n") +
            "Content-Type: text/plain\r\n\r\n" + strKept + "\r\n";
        // The debugger event's length is 16-bit: it carries the dump's size with its NUL modulo
        // 64 KiB, so the bytes seen pin the size of the dump exactly.
        EXPECT_EQ(WorkerOutput(), strFull.substr(0, (strFull.size() + 1) % 65536));
    }
}

TEST_F(HostileServer, TenThousandCookiesAreDumpedWithoutTheCookieEngine) {
    CTestServer server(s_nReportPort);
    CAnswer many;
    for (int i = 0; i < 10000; ++i)
        many.AddHeader("Set-Cookie", "c" + std::to_string(i) + "=" + std::to_string(i));
    server.Script(many);
    SendReport();  // the platform's cookie engine alone would take 20 - 46 s over these
    EXPECT_EQ(WorkerOutput(), "200 OK\r\nContent-Length: 0\r\nSet-Cookie: c0=0\r\nConnection: close\r\n\r\n\r\n");
}
