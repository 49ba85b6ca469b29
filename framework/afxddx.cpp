#include "afxddx.h"

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd)
        return;
    rControl.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (rControl.m_hWnd)
        pDX->m_pDlgWnd->m_boundControls.push_back(&rControl);
}
