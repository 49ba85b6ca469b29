// The crash report dialog: shows the crash, sends the report on a worker thread, restarts the
// crashed product if asked, and closes.
#pragma once
#include <afxwin.h>

#include "CrashInfo.h"

// Posted by the worker when it has finished, both arguments 0.
#define WM_REPORT_SENT 3033

class CCrashReportDlg : public CDialog {
public:
    explicit CCrashReportDlg(CWnd* pParent = nullptr);
    ~CCrashReportDlg() override;

    void SetCrashInfo(const CrashInfo& info);

    CString GetCrashFile() const { return m_crashInfo.m_strCrashFile; }
    CString GetVersion() const { return m_crashInfo.m_strVersion; }

    // Called by the worker once it has taken what it needs from this object; from then on the
    // dialog may be destroyed while the worker runs.
    void WorkerDetached();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam) override;
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnSendReport();
    LRESULT OnReportSent(WPARAM wParam, LPARAM lParam);
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) override;

    DECLARE_MESSAGE_MAP()

private:
    void RestartProductIfChecked();
    void SetTitleFromString(UINT nID);

    CButton m_ctlRestart;
    HICON m_hIcon;
    CrashInfo m_crashInfo;
    HANDLE m_hSendThread = nullptr;
    HANDLE m_hWorkerDetached;  // set by the worker once it no longer reads this object
    BOOL m_bNativeLanguage = TRUE;
};
