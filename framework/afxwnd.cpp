#include "afxwnd.h"

#include "afxdc.h"

CWnd* CWnd::GetDlgItem(int nID) {
    HWND hChild = ::GetDlgItem(m_hWnd, nID);
    if (!hChild)
        return nullptr;
    std::unique_ptr<CWnd>& pChild = m_tempChildren[hChild];
    if (!pChild)
        pChild = std::make_unique<CWnd>(hChild);
    return pChild.get();
}

LRESULT CWnd::Default() {
    return ::DefWindowProcW(m_hWnd, m_msgCur.message, m_msgCur.wParam, m_msgCur.lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
    return OnCmdMsg(LOWORD(wParam), HIWORD(wParam));
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    *pResult = 0;
    if (message == WM_COMMAND)
        return OnCommand(wParam, lParam);

    UINT nCtlColor = 0;
    UINT nMapped = message;
    if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) {
        nCtlColor = message - WM_CTLCOLORMSGBOX;  // CTLCOLOR_MSGBOX ... CTLCOLOR_STATIC
        nMapped = WM_CTLCOLOR;
    }
    const AFX_MSGMAP_ENTRY* pEntry = FindMessageEntry(nMapped, 0, 0);
    if (!pEntry)
        return FALSE;

    const CurrentMsg msgSaved = m_msgCur;
    m_msgCur = {message, wParam, lParam};
    switch (pEntry->nSig) {
        case AfxSig_vv:
            (this->*pEntry->fn.pfn_vv)();
            break;
        case AfxSig_vwl:
            (this->*pEntry->fn.pfn_vwl)(UINT(wParam), lParam);
            break;
        case AfxSig_hv:
            *pResult = LRESULT((this->*pEntry->fn.pfn_hv)());
            break;
        case AfxSig_lwl:
            *pResult = (this->*pEntry->fn.pfn_lwl)(wParam, lParam);
            break;
        case AfxSig_hDWw: {
            CDC dc(reinterpret_cast<HDC>(wParam));
            CWnd wndCtl(reinterpret_cast<HWND>(lParam));
            *pResult = LRESULT((this->*pEntry->fn.pfn_hDWw)(&dc, &wndCtl, nCtlColor));
            break;
        }
        case AfxSig_end:
            break;
    }
    m_msgCur = msgSaved;
    return TRUE;
}

void CWnd::OnSysCommand(UINT, LPARAM) {
    Default();
}

HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) {
    return HBRUSH(Default());
}
