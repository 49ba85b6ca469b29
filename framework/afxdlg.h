// CDialog: a modal dialog from a dialog template resource. The template is loaded with the wide
// API so that its texts show right whatever the ANSI code page is.
#pragma once
#include "afxwnd.h"

#include <vector>

class CDataExchange;

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Runs the dialog until EndDialog; the dialog's result, or -1 when it could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

    // Exchanges data between the controls and the members: TRUE saves, FALSE loads.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    BOOL OnCmdMsg(UINT nID, UINT nCode) override;

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* pDX);

    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) override;

    DECLARE_MESSAGE_MAP()

private:
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
    static INT_PTR CALLBACK _DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR _HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    std::vector<CWnd*> m_boundControls;  // attached by DDX_Control, detached when the window goes
};
