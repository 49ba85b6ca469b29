#include "CrashReportDlg.h"

#include <process.h>
#include <shellapi.h>

#include "ReportSendWorker.h"
#include "resource.h"

namespace {
const COLORREF s_crTransparent = RGB(212, 208, 200);
const COLORREF s_crRestartLabel = RGB(255, 0, 0);
const POINT s_ptPicture = {25, 75};
}  // namespace

BEGIN_MESSAGE_MAP(CCrashReportDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_SEND, OnSendReport)
    ON_BN_CLICKED(IDC_CANCEL_REPORT, OnCancel)
    ON_MESSAGE(WM_REPORT_SENT, OnReportSent)
    ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

CCrashReportDlg::CCrashReportDlg(CWnd* pParent)
    : CDialog(IDD_CRASHREPORT, pParent),
      m_hIcon(::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME))),
      m_hWorkerDetached(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

// A worker still running when the dialog closes is not waited for: it no longer reads this
// object, and the process ends right after the dialog.
CCrashReportDlg::~CCrashReportDlg() {
    if (m_hSendThread)
        ::CloseHandle(m_hSendThread);
    if (m_hWorkerDetached)
        ::CloseHandle(m_hWorkerDetached);
}

void CCrashReportDlg::SetCrashInfo(const CrashInfo& info) {
    m_crashInfo = info;
    if (!m_crashInfo.m_strLngFile.IsEmpty())
        m_bNativeLanguage = FALSE;
}

void CCrashReportDlg::WorkerDetached() {
    ::SetEvent(m_hWorkerDetached);
}

void CCrashReportDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_RESTART, m_ctlRestart);
}

BOOL CCrashReportDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (HMENU hSysMenu = GetSystemMenu(FALSE)) {
        const std::wstring strAboutMenu = AfxLoadStringW(IDS_ABOUTBOX);
        if (!strAboutMenu.empty()) {
            ::AppendMenuW(hSysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(hSysMenu, MF_STRING, IDM_ABOUTBOX, strAboutMenu.c_str());
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    SetDlgItemText(IDC_CRASH_EXCEPT, m_crashInfo.m_strExcept);
    SetDlgItemText(IDC_CRASH_ADDR, m_crashInfo.m_strAddr);
    SetDlgItemText(IDC_CRASH_CODE, m_crashInfo.m_strCode);

    m_ctlRestart.SetCheck(BST_CHECKED);
    return TRUE;
}

void CCrashReportDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX)
        return;
    CDialog::OnSysCommand(nID, lParam);
}

void CCrashReportDlg::OnPaint() {
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, WPARAM(dc.GetSafeHdc()), 0);
        const int cxIcon = ::GetSystemMetrics(SM_CXICON);
        const int cyIcon = ::GetSystemMetrics(SM_CYICON);
        RECT rect;
        GetClientRect(&rect);
        const int x = (rect.right - rect.left - cxIcon + 1) / 2;
        const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
        return;
    }

    CPaintDC dc(this);
    CBitmap bitmap;
    CImageList imageList;
    BITMAP bm = {};
    if (bitmap.LoadBitmap(IDB_CRASH) && bitmap.GetBitmap(&bm) &&
        imageList.Create(bm.bmWidth, bm.bmHeight, ILC_COLOR32 | ILC_MASK, 0, 1)) {
        imageList.Add(bitmap, s_crTransparent);
        imageList.Draw(&dc, 0, s_ptPicture, ILD_TRANSPARENT);
    }
    Default();
}

HCURSOR CCrashReportDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

HBRUSH CCrashReportDlg::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    HBRUSH hbr = CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
    if (pWnd->GetDlgCtrlID() == IDC_RESTART_LABEL)
        pDC->SetTextColor(s_crRestartLabel);
    return hbr;
}

void CCrashReportDlg::OnSendReport() {
    ::ResetEvent(m_hWorkerDetached);
    m_hSendThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReportSendWorker, this, 0, nullptr));
    if (!m_hSendThread) {
        ::OutputDebugStringA("_beginthreadex() failed\r\n");
        return;
    }

    // The dialog may be closed while the worker runs, and the worker reads this object when it
    // starts: wait until it has taken its copies (or has ended) so that it never reads a
    // destroyed dialog. This takes only as long as copying two strings.
    const HANDLE handles[] = {m_hWorkerDetached, m_hSendThread};
    ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);

    SetTitleFromString(m_bNativeLanguage ? IDS_SENDING_CN : IDS_SENDING_EN);
    GetDlgItem(IDC_SEND)->EnableWindow(FALSE);
    GetDlgItem(IDC_CANCEL_REPORT)->EnableWindow(FALSE);
}

LRESULT CCrashReportDlg::OnReportSent(WPARAM, LPARAM) {
    if (m_hSendThread) {
        if (::WaitForSingleObject(m_hSendThread, INFINITE) != WAIT_OBJECT_0)
            ::OutputDebugStringA("WaitForSingleObject failed");
        else
            ::CloseHandle(m_hSendThread);
        m_hSendThread = nullptr;
    }

    SetTitleFromString(m_bNativeLanguage ? IDS_SENT_CN : IDS_SENT_EN);
    GetDlgItem(IDC_SEND)->EnableWindow(TRUE);
    GetDlgItem(IDC_CANCEL_REPORT)->EnableWindow(TRUE);

    RestartProductIfChecked();
    OnOK();
    return 0;
}

void CCrashReportDlg::OnCancel() {
    RestartProductIfChecked();
    OnOK();
}

void CCrashReportDlg::RestartProductIfChecked() {
    if (m_ctlRestart.GetCheck() != 0)
        ::ShellExecuteA(nullptr, "open", m_crashInfo.m_strModule, nullptr, nullptr, SW_SHOW);
}

// Titles go through UTF-16 so that the Chinese ones read right under any ANSI code page.
void CCrashReportDlg::SetTitleFromString(UINT nID) {
    SetWindowTextW(AfxLoadStringW(nID).c_str());
}
