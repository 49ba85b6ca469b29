#include "CrashReport.h"

#include "CrashReportDlg.h"
#include "HandOff.h"

BEGIN_MESSAGE_MAP(CCrashReportApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CCrashReportApp theApp;

CCrashReportApp::CCrashReportApp() : CWinApp(nullptr) {}

BOOL CCrashReportApp::InitInstance() {
    char szModulePath[MAX_PATH] = "";
    ::GetModuleFileNameA(nullptr, szModulePath, MAX_PATH);
    if (!ParseCrashHandOff(::GetCommandLineA(), szModulePath, m_crashInfo, ::OutputDebugStringA))
        return FALSE;

    AfxEnableControlContainer();
    Enable3dControlsStatic();

    CCrashReportDlg dlg;
    m_pMainWnd = &dlg;
    dlg.SetCrashInfo(m_crashInfo);
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The dialog was the whole application: no message loop.
    return FALSE;
}
