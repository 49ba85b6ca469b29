#include "PendingFlush.h"

#include <string>
#include <vector>

#include "HandOff.h"
#include "PendingStore.h"
#include "ReportSend.h"

namespace {

// No send starts after this: a late report waits for the next flush rather than keep the machine
// busy. A slow uplink may still take its time over the send under way: 100 MiB at 2 Mbit/s is
// about 7 minutes, and a report cut off there would be cut off at every flush.
#ifdef FLUSH_LIMIT_MS
const DWORD kFlushLimitMs = FLUSH_LIMIT_MS;  // the test build's
#else
const DWORD kFlushLimitMs = 120000;
#endif

void WINAPI Trace(LPCSTR pszText) {
    ::OutputDebugStringA(pszText);
}

}  // namespace

void StartPendingFlush(LPCSTR szModulePath) {
    if (!CPendingStore(nullptr).HasEntries())
        return;
    std::string strCommandLine = std::string("\"") + szModulePath + "\" " + kSendPendingArg;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (::CreateProcessA(szModulePath, &strCommandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                         &si, &pi)) {
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
}

void SendPendingReports() {
    CPendingStore store(Trace);
    if (!store.BeginFlush() || !IsInternetConnected())
        return;
    std::vector<std::string> tried;
    for (const DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < kFlushLimitMs;) {
        CPendingEntry entry;
        if (!store.TakeNext(tried, entry))
            return;
        const CPendingReport& report = entry.m_report;
        const CSendResult result =
            SendReport(entry.m_strCopyPath.c_str(), report.m_strFileName.c_str(), report.m_strVersion.c_str(), FALSE);
        const std::string strWhat = "Pending report " + report.m_strId;
        if (result.outcome == ESendOutcome::Delivered) {
            store.Delivered(entry);
            Trace((strWhat + " delivered: " + result.strLast + "\r\n").c_str());
            continue;
        }
        // The server is not reachable (again), or it has had its say about this one: the rest
        // waits for the next flush.
        if (result.outcome == ESendOutcome::Final)
            store.Drop(entry, ("answered " + result.strLast).c_str());
        else if (store.Failed(entry, result.strLast.c_str()))
            Trace((strWhat + " not sent: " + result.strLast + "\r\n").c_str());
        return;
    }
}
