#include "ReportSendWorker.h"

#include <mbstring.h>
#include <process.h>
#include <wininet.h>

#include <exception>
#include <memory>
#include <string>

#include "CrashReportDlg.h"
#include "HandOff.h"
#include "PendingStore.h"
#include "client.h"

#ifndef REPORT_URL
#error REPORT_URL must be defined by the build (QUILLA_REPORT_URL)
#endif

BOOL IsInternetConnected() {
    DWORD dwFlags = 0;
    if (!::InternetGetConnectedState(&dwFlags, 0))
        return FALSE;
    if (dwFlags & INTERNET_CONNECTION_OFFLINE)
        return FALSE;
    return (dwFlags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)) != 0;
}

namespace {

// Written in this order and spelling, whatever the server's spelling.
const char* const kDumpedHeaders[] = {
    "Server",  "Date",          "X-Powered-By", "Content-Length",    "Set-Cookie",
    "Expires", "Cache-control", "Connection",   "Transfer-Encoding", "Content-Type",
};

const DWORD kReadBuffSize = 10240;  // one chunk plus its NUL
// Beyond this the answer is neither kept nor read: the debugger takes only ~64 KB of one output
// call anyway, and an endless answer must not keep the worker or its memory growing.
const DWORD kMaxDumpedBody = 1024 * 1024;

// The version as a query value: bytes that would end the request line or the value, or split
// it into further parameters, are percent-encoded; every other byte goes as it always has.
std::string QueryValue(LPCSTR szValue) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string str;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(szValue); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7F || *p == '#' || *p == '&') {
            str += '%';
            str += kHex[*p >> 4];
            str += kHex[*p & 0xF];
        } else {
            str += static_cast<char>(*p);
        }
    }
    return str;
}

// Status line, the listed headers, an empty line, the body when it is text, an empty line.
std::string DumpResponse(Tavon::CHttpResponseA& response) {
    std::string strDump = std::to_string(response.GetStatus()) + " " + response.GetStatusText() + "\r\n";
    for (const char* szName : kDumpedHeaders) {
        if (const char* szValue = response.GetHeader(szName, 0))
            strDump.append(szName).append(": ").append(szValue).append("\r\n");
    }
    strDump += "\r\n";

    const char* szContType = response.GetHeader("Content-Type", 0);
    const bool bIsText = szContType && ::_mbsnicmp(reinterpret_cast<const unsigned char*>(szContType),
                                                   reinterpret_cast<const unsigned char*>("text/"), 5) == 0;

    BYTE abyBuff[kReadBuffSize];
    for (DWORD cbTotal = 0; cbTotal < kMaxDumpedBody;) {
        const DWORD cbWant =
            kMaxDumpedBody - cbTotal < kReadBuffSize - 1 ? kMaxDumpedBody - cbTotal : kReadBuffSize - 1;
        const DWORD cbRead = response.ReadContent(abyBuff, cbWant);
        if (cbRead == 0)
            break;
        cbTotal += cbRead;
        if (bIsText) {
            abyBuff[cbRead] = 0;
            strDump += reinterpret_cast<const char*>(abyBuff);  // up to the first NUL of the chunk
        }
    }
    return strDump + "\r\n";
}

// How a send ended: delivered (2xx), answered for good (any other final answer), or worth
// another attempt (no connection, a library error, 408, 429, 5xx); with the status or error.
enum class ESendOutcome { Delivered, Final, Retry };
struct CSendResult {
    ESendOutcome outcome;
    std::string strLast;
};

ESendOutcome Classify(DWORD dwStatus) {
    if (dwStatus >= 200 && dwStatus < 300)
        return ESendOutcome::Delivered;
    if (dwStatus == 408 || dwStatus == 429 || dwStatus >= 500)
        return ESendOutcome::Retry;
    return ESendOutcome::Final;
}

// Sends the file at szPath as the form field "file". A first attempt (szFileName null) names the
// path in its part header and dumps the answer; a later one names szFileName, the first's path.
CSendResult SendReport(LPCSTR szPath, LPCSTR szFileName, LPCSTR szVersion) {
    Tavon::CHttpClientA client;
    try {
        client.SetSessionSettings("My User Agent v1.0", 0, nullptr, nullptr, 0);
        client.SetUseUtf8(FALSE);
#ifdef REPORT_TIMEOUT_MS
        // Test builds wait less for a silent server; otherwise the client's defaults hold.
        client.SetTimeouts(REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS);
#endif
        if (szFileName)
            client.AddFileParam("file", szPath, szFileName);
        else
            client.AddParam("file", szPath, Tavon::HTTPCLIENT_PARAM_FILE);

        const std::string strUrl = std::string(REPORT_URL) + "?version=" + QueryValue(szVersion);
        // No cookies: the reporter has no use for them, and the platform's cookie store is slow
        // with many and replays them on the next report.
        client.StartUploadEx(nullptr, nullptr, strUrl.c_str(),
                             Tavon::HTTPCLIENT_REQUEST_FLAGS_NOCACHE | INTERNET_FLAG_NO_COOKIES);

        std::unique_ptr<Tavon::CHttpResponseA> pResponse;
        while (!pResponse)
            pResponse.reset(client.ProceedStep(1024));

        const DWORD dwStatus = pResponse->GetStatus();
        const CSendResult result = {Classify(dwStatus), std::to_string(dwStatus) + " " + pResponse->GetStatusText()};
        // The answer's status decides: a body that fails to arrive after a 2xx does not make the
        // report worth sending again.
        try {
            if (!szFileName)
                ::OutputDebugStringA(DumpResponse(*pResponse).c_str());
        } catch (const Tavon::httpclientexceptionA& e) {
            ::OutputDebugStringA(e.GetErrorMessage());
        }
        return result;
    } catch (const Tavon::httpclientexceptionA& e) {
        if (!szFileName)
            ::OutputDebugStringA(e.GetErrorMessage());
        return {ESendOutcome::Retry, e.GetErrorMessage()};
    }
}

volatile LONG s_bDelivered = FALSE;

// Who settles this process's one send: its worker once the send has ended, or the application
// when the dialog closed first (the worker then ends with the process, its report not through).
enum : LONG { kSendIdle, kSendRunning, kSendSettling, kSendSettled, kSendAbandoned };
volatile LONG s_nSend = kSendIdle;
HANDLE s_hSettled = nullptr;  // set once the worker has settled

// Marks the send settled however the worker leaves its settling.
struct CSettledSignal {
    ~CSettledSignal() {
        ::InterlockedExchange(&s_nSend, kSendSettled);
        ::SetEvent(s_hSettled);
    }
};

const DWORD kFlushBudgetMs = 120000;  // no new send starts after this
const DWORD kFlushLimitMs = 240000;   // the flush process ends here, whatever it is doing

void WINAPI Trace(LPCSTR pszText) {
    ::OutputDebugStringA(pszText);
}

unsigned __stdcall FlushPendingReports(void*) {
    // One flush at a time; a second one has nothing to do that the first will not do.
    const HANDLE hMutex = ::CreateMutexA(nullptr, FALSE, "Local\\Quilla.CrashReports.Flush");
    const DWORD dwWait = hMutex ? ::WaitForSingleObject(hMutex, 0) : WAIT_FAILED;
    if ((dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) && IsInternetConnected()) {
        CPendingStore store;
        const DWORD dwStart = ::GetTickCount();
        for (CPendingReport& report : store.Load(Trace)) {
            if (::GetTickCount() - dwStart > kFlushBudgetMs)
                break;
            const CSendResult result =
                SendReport(store.CopyPath(report).c_str(), report.m_strFileName.c_str(), report.m_strVersion.c_str());
            const std::string strWhat = "Pending report " + report.m_strId;
            if (result.outcome == ESendOutcome::Delivered) {
                store.Remove(report);
                Trace((strWhat + " delivered: " + result.strLast + "\r\n").c_str());
            } else if (result.outcome == ESendOutcome::Final) {
                store.Remove(report);
                Trace((strWhat + " dropped: answered " + result.strLast + "\r\n").c_str());
            } else {
                // The server is not reachable (again): the rest waits for the next flush.
                if (store.CountFailure(report, result.strLast.c_str(), Trace))
                    Trace((strWhat + " not sent: " + result.strLast + "\r\n").c_str());
                break;
            }
        }
    }
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
        ::ReleaseMutex(hMutex);
    if (hMutex)
        ::CloseHandle(hMutex);
    return 0;
}

}  // namespace

unsigned __stdcall ReportSendWorker(void* pDialog) {
    CCrashReportDlg* pDlg = static_cast<CCrashReportDlg*>(pDialog);
    const HWND hDialog = pDlg->m_hWnd;
    // Nothing may unwind out of the thread routine; the library reports its own failures itself.
    try {
        const CString strCrashFile = pDlg->GetCrashFile();
        const CString strVersion = pDlg->GetVersion();
        s_hSettled = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ::InterlockedExchange(&s_nSend, kSendRunning);
        pDlg->WorkerDetached();
        pDlg = nullptr;  // the user may close the dialog from here on

        CSendResult result = {ESendOutcome::Retry, "not connected"};
        if (IsInternetConnected())
            result = SendReport(strCrashFile, nullptr, strVersion);
        if (::InterlockedCompareExchange(&s_nSend, kSendSettling, kSendRunning) == kSendRunning) {
            const CSettledSignal settled;
            if (result.outcome == ESendOutcome::Delivered)
                ::InterlockedExchange(&s_bDelivered, TRUE);
            else if (result.outcome == ESendOutcome::Retry)
                CPendingStore().Keep(strCrashFile, strVersion, result.strLast.c_str(), Trace);
        }

        // A closed dialog has no window any more: the post then fails, which is harmless.
        ::PostMessageA(hDialog, WM_REPORT_SENT, 0, 0);
        return 0;
    } catch (const std::exception& e) {
        ::OutputDebugStringA(e.what());
    } catch (...) {
    }
    ::PostMessageA(hDialog, WM_REPORT_SENT, 0, 0);
    return 0;
}

void SettleUnfinishedSend(LPCSTR szCrashFile, LPCSTR szVersion) {
    const LONG nWas = ::InterlockedCompareExchange(&s_nSend, kSendAbandoned, kSendRunning);
    if (nWas == kSendRunning)
        CPendingStore().Keep(szCrashFile, szVersion, "closed during the send", Trace);
    else if (nWas == kSendSettling)
        ::WaitForSingleObject(s_hSettled, INFINITE);  // a store entry being written, or not needed
}

BOOL ReportDelivered() {
    return s_bDelivered;
}

void StartPendingFlush(LPCSTR szModulePath) {
    if (!CPendingStore().HasEntries())
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
    // Bounded in time: a server that trickles its answer must not keep this process for ever.
    const HANDLE hThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, FlushPendingReports, nullptr, 0, nullptr));
    if (hThread) {
        ::WaitForSingleObject(hThread, kFlushLimitMs);
        ::CloseHandle(hThread);
    }
}
