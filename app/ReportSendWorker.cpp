#include "ReportSendWorker.h"

#include <wininet.h>

#include "CrashReportDlg.h"

#ifndef REPORT_URL
#error REPORT_URL must be defined by the build (QUILLA_REPORT_URL)
#endif

BOOL IsInternetConnected()
{
    DWORD dwFlags = 0;
    if (!::InternetGetConnectedState(&dwFlags, 0))
        return FALSE;
    if (dwFlags & INTERNET_CONNECTION_OFFLINE)
        return FALSE;
    return (dwFlags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)) != 0;
}

unsigned __stdcall ReportSendWorker(void* pDialog)
{
    CCrashReportDlg* pDlg = static_cast<CCrashReportDlg*>(pDialog);
    const HWND hDialog = pDlg->m_hWnd;
    // Nothing may unwind out of the thread routine.
    try {
        const CString strCrashFile = pDlg->GetCrashFile();
        const CString strVersion = pDlg->GetVersion();
        pDlg->WorkerDetached();
        pDlg = nullptr; // the dialog may be destroyed from here on

        // The upload of strCrashFile to REPORT_URL with strVersion comes with the HTTP client.
        (void)strCrashFile;
        (void)strVersion;
    } catch (...) {
    }
    ::PostMessageA(hDialog, WM_REPORT_SENT, 0, 0);
    return 0;
}
