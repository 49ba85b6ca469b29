// Dialog data exchange: binds controls to member objects.
#pragma once
#include "afxdlg.h"

class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;
};

// Attaches the dialog's control with the id to rControl (once, on the first exchange).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
