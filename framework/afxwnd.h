// CWnd: a window handle with the message map dispatch. A CWnd never destroys its window: the
// dialog's window is destroyed by EndDialog, and the controls with it.
#pragma once
#include "afxcmdtarget.h"

#include <map>
#include <memory>

class CDC;

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}

    HWND m_hWnd = nullptr;

    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }

    // The child window with the id, wrapped in an object that this one keeps until its window
    // is destroyed; null when there is no such child.
    CWnd* GetDlgItem(int nID);

    void SetWindowTextW(LPCWSTR pszText) { ::SetWindowTextW(m_hWnd, pszText); }
    void SetDlgItemText(int nID, LPCSTR pszText) { ::SetDlgItemTextA(m_hWnd, nID, pszText); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon) {
        return HICON(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, LPARAM(hIcon)));
    }
    HMENU GetSystemMenu(BOOL bRevert) const { return ::GetSystemMenu(m_hWnd, bRevert); }

protected:
    // Runs the mapped handler of a message. FALSE when the map has none: the caller then lets
    // the system's default processing run.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

    // The system's default processing of the message being handled.
    LRESULT Default();

    virtual void OnSysCommand(UINT nID, LPARAM lParam);
    virtual HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    // The message being dispatched, for Default().
    struct CurrentMsg {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMsg m_msgCur = {};

    // Drops the child wrappers handed out by GetDlgItem (their windows are gone).
    void _ReleaseChildren() { m_tempChildren.clear(); }

private:
    std::map<HWND, std::unique_ptr<CWnd>> m_tempChildren;
};
