// Reports that did not get through are kept by the reporter and delivered later, each once and
// byte for byte as first sent, by the flush process that the next delivered send starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "handoff.h"
#include "reporter_driver.h"
#include "scenario.h"
#include "temp_files.h"

using namespace TestSupport;

namespace {

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
const std::string s_strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));
const std::string s_strFlush = "\"" + s_strReporter + "\" --send-pending";
const ULONGLONG kDay = 864000000000ull;  // in FILETIME units
enum { IDC_SEND = 1000, IDC_CANCEL = 1001 };

// One crash whose user presses nButton; the crash file is deleted afterwards, as a product that
// cleans up does. Returns the reporter's debugger output.
std::vector<std::string> Crash(const std::string& strBytes, int nButton = IDC_SEND) {
    const std::string strPath = TempPath(".dmp");
    WriteBytes(strPath, strBytes);
    CReporterDriver driver;
    EXPECT_TRUE(driver.Launch(
        s_strReporter,
        BuildHandOff(s_strReporter, {{"module", s_strProbe}, {"crash file", strPath}, {"version", "4.2 beta&x"}}),
        true));
    EXPECT_NE(driver.WaitForDialog(), nullptr);
    driver.Click(nButton);
    EXPECT_TRUE(driver.WaitForExit());  // the reporter and the flush it started
    RemoveFile(strPath);
    return driver.Output();
}

std::vector<std::string> Kept() {  // the entries' names, sorted
    std::vector<std::string> ids;
    WIN32_FIND_DATAA data;
    const HANDLE hFind = ::FindFirstFileA((PendingStoreDir() + "*.rec").c_str(), &data);
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore; bMore = ::FindNextFileA(hFind, &data))
        ids.push_back(std::string(data.cFileName, std::strlen(data.cFileName) - 4));
    if (hFind != INVALID_HANDLE_VALUE)
        ::FindClose(hFind);
    std::sort(ids.begin(), ids.end());
    return ids;
}

ULONGLONG Now() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// An entry as the reporter writes it, its copy a sparse file of nSize bytes.
void Seed(const std::string& strId, ULONGLONG nFirst, DWORD nAttempts, ULONGLONG nSize) {
    char szFirst[17];
    std::snprintf(szFirst, sizeof szFirst, "%016llX", nFirst);
    ASSERT_TRUE(MakeSparseFile(PendingStoreDir() + strId + ".dmp", nSize));
    ASSERT_TRUE(WriteBytes(PendingStoreDir() + strId + ".rec",
                           "QuillaPendingReport 1\r\nversion=1\r\nfilename=C:\\c.dmp\r\nfirst=" + std::string(szFirst) +
                               "\r\nattempts=" + std::to_string(nAttempts) + "\r\nsize=" + std::to_string(nSize) +
                               "\r\nlast=503 Service Unavailable\r\n"));
}

bool Exists(const std::string& strPath) {
    return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Has(const std::vector<std::string>& output, const std::string& strLine) {
    return std::find(output.begin(), output.end(), strLine) != output.end();
}

}  // namespace

// Run with nothing listening on the report port.
TEST(PendingDown, KeptWhenTheServerIsDown) {
    ClearPendingStore();
    const std::string strBytes = BinaryBytes(40000);
    Crash(strBytes);
    const std::vector<std::string> ids = Kept();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ReadBytes(PendingStoreDir() + ids[0] + ".dmp"), strBytes);
    EXPECT_NE(ReadBytes(PendingStoreDir() + ids[0] + ".rec").find("\r\nattempts=1\r\n"), std::string::npos);
}

TEST(Pending, KeptUnlessDeliveredOrFinalThenDeliveredOnceAsFirstSent) {
    CScenario srv;
    ClearPendingStore();
    struct Row {
        const char* szName;
        const char* szAnswer;  // null: no request
        int nButton;
        bool bKept;
    };
    const Row rows[] = {
        {"503", R"({"status": "503 Service Unavailable", "body": "busy"})", IDC_SEND, true},
        {"408", R"({"status": "408 Request Timeout"})", IDC_SEND, true},
        {"429", R"({"status": "429 Too Many Requests"})", IDC_SEND, true},
        {"cut mid-body", R"({"close_after_body": 5000})", IDC_SEND, true},
        {"time-out", R"({"delay_ms": 15000})", IDC_SEND, true},
        {"404", R"({"status": "404 Not Found"})", IDC_SEND, false},
        {"cancel", nullptr, IDC_CANCEL, false},
    };
    std::vector<CRecordedRequest> firsts;  // the kept ones' first attempts, oldest first
    for (const Row& row : rows) {
        SCOPED_TRACE(row.szName);
        const size_t nKept = Kept().size(), nRequests = srv.Count();
        if (row.szAnswer)
            srv.Script(row.szAnswer);
        Crash(BinaryBytes(300000 + 7 * firsts.size()), row.nButton);
        EXPECT_EQ(Kept().size(), nKept + row.bKept);
        EXPECT_EQ(srv.Count(), nRequests + (row.szAnswer != nullptr));
        if (row.bKept)
            firsts.push_back(srv.Request(nRequests));
    }
    const size_t nDelivered = srv.Count();
    Crash(BinaryBytes(1000));
    EXPECT_TRUE(Kept().empty());
    ASSERT_EQ(srv.Count(), nDelivered + 1 + firsts.size());
    for (size_t i = 0; i < firsts.size(); ++i) {
        SCOPED_TRACE(rows[i].szName);
        const CRecordedRequest late = srv.Request(nDelivered + 1 + i);
        const std::string strFirst = ReplaceAll(firsts[i].sRaw, firsts[i].Boundary(), "B");
        const std::string strLate = ReplaceAll(late.sRaw, late.Boundary(), "B");
        EXPECT_TRUE(late.bComplete);
        EXPECT_TRUE(firsts[i].bComplete ? strLate == strFirst : strLate.compare(0, strFirst.size(), strFirst) == 0);
    }
}

TEST(Pending, TwoFlushesAtOnceSendEachReportOnce) {
    CScenario srv;
    ClearPendingStore();
    srv.Script(R"([{"status": "500 Internal Server Error"}, {"status": "502 Bad Gateway"}])");
    Crash(BinaryBytes(7000));
    Crash(BinaryBytes(7001));
    ASSERT_EQ(Kept().size(), 2u);
    srv.Default(R"({"delay_ms": 500})");
    CReporterDriver a, b;
    ASSERT_TRUE(a.Launch(s_strReporter, s_strFlush, true));
    ASSERT_TRUE(b.Launch(s_strReporter, s_strFlush, true));
    ASSERT_TRUE(a.WaitForExit());
    ASSERT_TRUE(b.WaitForExit());
    EXPECT_EQ(srv.Count(), 4u);
    EXPECT_TRUE(Kept().empty());
    EXPECT_EQ(a.Output().size() + b.Output().size(), 2u);  // one line per delivery
}

TEST(Pending, BoundsDropTheOldestAndHalfEntriesAreCleaned) {
    CScenario srv;
    ClearPendingStore();
    srv.Default(R"({"status": "503 Service Unavailable"})");
    const ULONGLONG nNow = Now();
    Seed("old", nNow - 31 * kDay, 1, 100);
    Seed("tired", nNow - 2 * kDay, 10, 100);
    for (int i = 0; i < 10; ++i)
        Seed("s" + std::to_string(i), nNow - kDay + i, 1, 1000);
    Seed("bad", nNow - kDay, 1, 100);
    WriteBytes(PendingStoreDir() + "bad.dmp", "not 100 bytes");
    WriteBytes(PendingStoreDir() + "half.dmp", "a copy without its record");
    const std::vector<std::string> output = Crash(BinaryBytes(2000));
    EXPECT_TRUE(Has(output, "Pending report old dropped: older than 30 days\r\n"));
    EXPECT_TRUE(Has(output, "Pending report tired dropped: 10 attempts failed\r\n"));
    EXPECT_TRUE(Has(output, "Pending report s0 dropped: beyond 10 reports or 256 MiB\r\n"));
    std::vector<std::string> ids = Kept();
    ASSERT_EQ(ids.size(), 10u);
    ids.erase(ids.begin());  // the new one: its hex name sorts first
    EXPECT_EQ(ids, (std::vector<std::string>{"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9"}));
    EXPECT_FALSE(Exists(PendingStoreDir() + "half.dmp") || Exists(PendingStoreDir() + "bad.dmp"));

    Seed("big", nNow, 1, 256u * 1024 * 1024 - 1024);  // with the two new ones over 256 MiB
    Crash(BinaryBytes(2000));
    EXPECT_EQ(Kept().size(), 2u);
}
