#include "afxdlg.h"

#include "afxapp.h"
#include "afxddx.h"

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal() {
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    return ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), hParent, _DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::DoDataExchange(CDataExchange*) {}

HBRUSH CDialog::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    return CWnd::OnCtlColor(pDC, pWnd, nCtlColor);
}

// Commands the dialog does not handle go on to the application object.
BOOL CDialog::OnCmdMsg(UINT nID, UINT nCode) {
    if (CWnd::OnCmdMsg(nID, nCode))
        return TRUE;
    CWinApp* pApp = AfxGetApp();
    return pApp && pApp->OnCmdMsg(nID, nCode);
}

INT_PTR CALLBACK CDialog::_DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* pDlg;
    if (message == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        pDlg->m_hWnd = hWnd;
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    } else {
        pDlg = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    }
    if (!pDlg)
        return FALSE;

    // No exception may unwind into the system's dialog code: a failed handler counts as
    // unhandled and the default processing runs.
    INT_PTR nResult = FALSE;
    try {
        nResult = pDlg->_HandleMessage(message, wParam, lParam);
    } catch (...) {
        AfxTraceCaughtException();
        nResult = FALSE;
    }
    if (message == WM_NCDESTROY) {
        for (CWnd* pControl : pDlg->m_boundControls)
            pControl->m_hWnd = nullptr;
        pDlg->m_boundControls.clear();
        pDlg->_ReleaseChildren();
        pDlg->m_hWnd = nullptr;
    }
    return nResult;
}

INT_PTR CDialog::_HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return OnInitDialog();

    LRESULT lResult = 0;
    if (!OnWndMsg(message, wParam, lParam, &lResult))
        return FALSE;
    switch (message) {
        // These give their result as the dialog procedure's return value.
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_QUERYDRAGICON:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
            return INT_PTR(lResult);
        default:
            ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, lResult);
            return TRUE;
    }
}
