#include "ReportSendWorker.h"

#include <mbstring.h>
#include <wininet.h>

#include <exception>
#include <memory>
#include <string>

#include "CrashReportDlg.h"
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

void SendReport(Tavon::CHttpClientA& client, const CString& strCrashFile, const CString& strVersion) {
    try {
        client.SetSessionSettings("My User Agent v1.0", 0, nullptr, nullptr, 0);
        client.SetUseUtf8(FALSE);
#ifdef REPORT_TIMEOUT_MS
        // Test builds wait less for a silent server; otherwise the client's defaults hold.
        client.SetTimeouts(REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS);
#endif
        client.AddParam("file", strCrashFile, Tavon::HTTPCLIENT_PARAM_FILE);

        const std::string strUrl = std::string(REPORT_URL) + "?version=" + QueryValue(strVersion);
        // No cookies: the reporter has no use for them, and the platform's cookie store is slow
        // with many and replays them on the next report.
        client.StartUploadEx(nullptr, nullptr, strUrl.c_str(),
                             Tavon::HTTPCLIENT_REQUEST_FLAGS_NOCACHE | INTERNET_FLAG_NO_COOKIES);

        std::unique_ptr<Tavon::CHttpResponseA> pResponse;
        while (!pResponse)
            pResponse.reset(client.ProceedStep(1024));

        const std::string strDump = DumpResponse(*pResponse);
        ::OutputDebugStringA(strDump.c_str());
    } catch (const Tavon::httpclientexceptionA& e) {
        ::OutputDebugStringA(e.GetErrorMessage());
    }
}

}  // namespace

unsigned __stdcall ReportSendWorker(void* pDialog) {
    CCrashReportDlg* pDlg = static_cast<CCrashReportDlg*>(pDialog);
    const HWND hDialog = pDlg->m_hWnd;
    // Nothing may unwind out of the thread routine; the library reports its own failures itself.
    try {
        const CString strCrashFile = pDlg->GetCrashFile();
        const CString strVersion = pDlg->GetVersion();
        pDlg->WorkerDetached();
        pDlg = nullptr;  // the user may close the dialog from here on

        Tavon::CHttpClientA client;
        if (IsInternetConnected())
            SendReport(client, strCrashFile, strVersion);

        // A closed dialog has no window any more: the post then fails, which is harmless.
        ::PostMessageA(hDialog, WM_REPORT_SENT, 0, 0);
        return 0;  // the client goes after the message: the dialog waits for this thread's end
    } catch (const std::exception& e) {
        ::OutputDebugStringA(e.what());
    } catch (...) {
    }
    ::PostMessageA(hDialog, WM_REPORT_SENT, 0, 0);
    return 0;
}
