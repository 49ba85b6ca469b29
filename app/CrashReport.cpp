#include "CrashReport.h"

#include "CrashReportDlg.h"
#include "HandOff.h"
#include "PendingFlush.h"
#include "ReportSendWorker.h"

BEGIN_MESSAGE_MAP(CCrashReportApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CCrashReportApp theApp;

CCrashReportApp::CCrashReportApp() : CWinApp(nullptr) {}

BOOL CCrashReportApp::InitInstance() {
    char szModulePath[MAX_PATH] = "";
    ::GetModuleFileNameA(nullptr, szModulePath, MAX_PATH);
    if (IsSendPendingCommand(::GetCommandLineA())) {
        SendPendingReports();
        return FALSE;
    }
    if (!ParseCrashHandOff(::GetCommandLineA(), szModulePath, m_crashInfo, ::OutputDebugStringA))
        return FALSE;

    AfxEnableControlContainer();
    Enable3dControlsStatic();

    CCrashReportDlg dlg;
    m_pMainWnd = &dlg;
    dlg.SetCrashInfo(m_crashInfo);
    dlg.DoModal();
    m_pMainWnd = nullptr;
    // Closed during a send: the process ends and cuts the send off, the report kept for later.
    WaitUntilKept();

    // The server has just taken a report: the ones that did not get through earlier follow, in a
    // process of their own, so that neither the user nor the product waits for them.
    if (ReportDelivered())
        StartPendingFlush(szModulePath);

    // The dialog was the whole application: no message loop.
    return FALSE;
}
