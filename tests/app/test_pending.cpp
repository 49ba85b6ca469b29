// Reports that did not get through are kept by the reporter and delivered later, each once and
// byte for byte as first sent (a PDF's sniffed part type too), by the flush process that the next
// delivered send starts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "handoff.h"
#include "reporter_driver.h"
#include "scenario.h"
#include "temp_files.h"

using namespace TestSupport;

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
const std::string s_strFlush = "\"" + s_strReporter + "\" --send-pending";
enum { IDC_SEND = 1000, IDC_CANCEL = 1001 };

// One crash whose user presses nButton; the crash file is deleted afterwards, as a product that
// cleans up does. Returns the reporter's debugger output, one string.
static std::string Crash(const std::string& strBytes, int nButton = IDC_SEND) {
    const std::string strPath = TempPath(".dmp");
    WriteBytes(strPath, strBytes);
    CReporterDriver driver;
    const std::string strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));
    const std::string strHandOff =
        BuildHandOff(s_strReporter, {{"module", strProbe}, {"crash file", strPath}, {"version", "4.2 b&c"}});
    EXPECT_TRUE(driver.Launch(s_strReporter, strHandOff, true));
    EXPECT_NE(driver.WaitForDialog(), nullptr);
    driver.Click(nButton);
    EXPECT_TRUE(driver.WaitForExit());  // the reporter and the flush it started
    RemoveFile(strPath);
    std::string strOutput;
    for (const std::string& str : driver.Output())
        strOutput += str;
    return strOutput;
}

// An entry as the reporter writes it, first attempted nAgo FILETIME units ago, its copy sparse.
static void Seed(const std::string& strId, ULONGLONG nAgo, DWORD nAttempts, ULONGLONG nSize) {
    ULARGE_INTEGER now;
    ::GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&now));
    char szFirst[17];
    std::snprintf(szFirst, sizeof szFirst, "%016llX", now.QuadPart - nAgo);
    ASSERT_TRUE(MakeSparseFile(PendingStoreDir() + strId + ".dmp", nSize));
    ASSERT_TRUE(WriteBytes(PendingStoreDir() + strId + ".rec",
                           "QuillaPendingReport 1\r\nversion=1\r\nfilename=c\r\nfirst=" + std::string(szFirst) +
                               "\r\nattempts=" + std::to_string(nAttempts) + "\r\nsize=" + std::to_string(nSize) +
                               "\r\nlast=503\r\n"));
}

TEST(Pending, KeptUnlessDeliveredOrFinalThenDeliveredOnceAsFirstSent) {
    CScenario srv;
    ClearPendingStore();
    struct Row {
        const char *szName, *szAnswer;  // no answer: the user cancels
        bool bKept;
    } const rows[] = {
        {"503", R"({"status": "503 Service Unavailable", "body": "busy"})", true},
        {"408", R"({"status": "408 Request Timeout"})", true},
        {"429", R"({"status": "429 Too Many Requests"})", true},
        {"cut mid-body", R"({"close_after_body": 5000})", true},
        {"time-out", R"({"delay_ms": 15000})", true},
        {"404", R"({"status": "404 Not Found"})", false},
        {"cancel", nullptr, false},
    };
    std::vector<CRecordedRequest> firsts;  // the kept ones' first attempts, oldest first
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        const size_t nKept = PendingStoreFiles("*.rec").size(), nRequests = srv.Count();
        if (row.szAnswer)
            srv.Script(row.szAnswer);
        Crash("%PDF-1.4 " + BinaryBytes(300000 + 7 * firsts.size()), row.szAnswer ? IDC_SEND : IDC_CANCEL);
        EXPECT_EQ(PendingStoreFiles("*.rec").size(), nKept + row.bKept);
        EXPECT_EQ(srv.Count(), nRequests + (row.szAnswer != nullptr));
        if (row.bKept)
            firsts.push_back(srv.Request(nRequests));
    }
    const size_t nDelivered = srv.Count();
    Crash(BinaryBytes(1000));
    EXPECT_TRUE(PendingStoreFiles().empty());
    ASSERT_EQ(srv.Count(), nDelivered + 1 + firsts.size());
    for (size_t i = 0; i < firsts.size(); ++i) {
        const CRecordedRequest late = srv.Request(nDelivered + 1 + i);
        const std::string strFirst = ReplaceAll(firsts[i].sRaw, firsts[i].Boundary(), "B");
        const std::string strLate = ReplaceAll(late.sRaw, late.Boundary(), "B");
        EXPECT_TRUE(firsts[i].bComplete ? strLate == strFirst : strLate.compare(0, strFirst.size(), strFirst) == 0);
    }
}

TEST(Pending, BoundsDropTheOldestHalfEntriesAreCleanedAndTwoFlushesSendEachOnce) {
    CScenario srv;
    ClearPendingStore();
    srv.Default(R"({"status": "503 Service Unavailable"})");
    const ULONGLONG nDay = 864000000000ull;
    Seed("old", 31 * nDay, 1, 100);
    Seed("tired", 2 * nDay, 10, 100);
    for (int i = 0; i < 10; ++i)
        Seed("s" + std::to_string(i), nDay - i, 1, 1000);
    Seed("bad", nDay, 1, 100);
    WriteBytes(PendingStoreDir() + "bad.dmp", "not 100 bytes");
    WriteBytes(PendingStoreDir() + "half.dmp", "a copy without its record");
    const std::string strOutput = Crash(BinaryBytes(2000));
    for (const char* szDrop : {"old dropped: older than 30 days", "tired dropped: 10 attempts failed",
                               "s0 dropped: beyond 10 reports or 256 MiB"})
        EXPECT_NE(strOutput.find(std::string("Pending report ") + szDrop + "\r\n"), std::string::npos) << szDrop;
    EXPECT_EQ(PendingStoreFiles().size(), 20u);  // ten whole entries, no half one

    Seed("big", nDay / 2, 1, 256u * 1024 * 1024 - 1024);  // with the two new ones over 256 MiB
    Crash(BinaryBytes(2000));
    ASSERT_EQ(PendingStoreFiles("*.rec").size(), 2u);

    srv.Default(R"({"delay_ms": 500})");
    const size_t nRequests = srv.Count();
    CReporterDriver a, b;
    ASSERT_TRUE(a.Launch(s_strReporter, s_strFlush, true) && b.Launch(s_strReporter, s_strFlush, true));
    ASSERT_TRUE(a.WaitForExit() && b.WaitForExit());
    EXPECT_EQ(srv.Count(), nRequests + 2);
    EXPECT_TRUE(PendingStoreFiles().empty());
    EXPECT_EQ(a.Output().size() + b.Output().size(), 2u);  // one line per delivery
}
