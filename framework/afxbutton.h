// CButton: a button control.
#pragma once
#include "afxwnd.h"

class CButton : public CWnd {
public:
    int GetCheck() const { return int(::SendMessageA(m_hWnd, BM_GETCHECK, 0, 0)); }
    void SetCheck(int nCheck) { ::SendMessageA(m_hWnd, BM_SETCHECK, WPARAM(nCheck), 0); }
};
