#include "ReportSendWorker.h"

#include <exception>

#include "CrashReportDlg.h"
#include "PendingStore.h"
#include "ReportSend.h"

namespace {

volatile LONG s_bDelivered = FALSE;
HANDLE s_hKeepEnded = nullptr;  // set once the worker's keep has ended, kept or not

// Sets the event however the keep is left.
struct CKeepEnded {
    ~CKeepEnded() { ::SetEvent(s_hKeepEnded); }
};

void WINAPI Trace(LPCSTR pszText) {
    ::OutputDebugStringA(pszText);
}

}  // namespace

unsigned __stdcall ReportSendWorker(void* pDialog) {
    CCrashReportDlg* pDlg = static_cast<CCrashReportDlg*>(pDialog);
    const HWND hDialog = pDlg->m_hWnd;
    // Nothing may unwind out of the thread routine; the library reports its own failures itself.
    try {
        const CString strCrashFile = pDlg->GetCrashFile();
        const CString strVersion = pDlg->GetVersion();
        s_hKeepEnded = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        pDlg->WorkerDetached();
        pDlg = nullptr;  // the user may close the dialog from here on: the process then ends

        // In the store before the first byte: whatever ends this process from here on leaves the
        // report to a later send. The kept copy goes out, named as the crash file; a crash file
        // that cannot be kept still goes out as it is.
        CPendingStore store(Trace);
        CPendingEntry entry;
        BOOL bKept = FALSE;
        {
            const CKeepEnded ended;
            bKept = !strCrashFile.IsEmpty() && store.Keep(strCrashFile, strVersion, entry);
        }
        CSendResult result = {ESendOutcome::Retry, "not connected"};
        if (IsInternetConnected())
            result = bKept ? SendReport(entry.m_strCopyPath.c_str(), strCrashFile, strVersion, TRUE)
                           : SendReport(strCrashFile, nullptr, strVersion, TRUE);
        if (bKept && result.outcome == ESendOutcome::Delivered)
            store.Delivered(entry);
        else if (bKept && result.outcome == ESendOutcome::Final)
            store.Drop(entry, nullptr);  // the dump shows the answer
        else if (bKept)
            store.Failed(entry, result.strLast.c_str());
        if (result.outcome == ESendOutcome::Delivered)
            ::InterlockedExchange(&s_bDelivered, TRUE);

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

void WaitUntilKept() {
    if (s_hKeepEnded)
        ::WaitForSingleObject(s_hKeepEnded, INFINITE);
}

BOOL ReportDelivered() {
    return s_bDelivered;
}
