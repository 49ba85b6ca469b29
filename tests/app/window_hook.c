/* Loaded into the reporter by the test driver's window hook: reports, as debugger output tagged
 * with "\1", every title given to a dialog ("title:" + UTF-8) and every enabling or disabling of
 * a dialog's control ("enable:<id>:<0|1>"), in order with the reporter's own output. */
#include <windows.h>

#include <stdio.h>

static BOOL IsDialog(HWND hWnd)
{
    WCHAR szClass[16] = L"";
    return hWnd && GetClassNameW(hWnd, szClass, 16) && lstrcmpW(szClass, L"#32770") == 0;
}

__declspec(dllexport) LRESULT CALLBACK WindowHookProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode == HC_ACTION) {
        const CWPSTRUCT* pMsg = (const CWPSTRUCT*)lParam;
        char szText[1024];
        if (pMsg->message == WM_SETTEXT && pMsg->lParam && GetAncestor(pMsg->hwnd, GA_ROOT) == pMsg->hwnd &&
            IsDialog(pMsg->hwnd)) {
            lstrcpyA(szText, "\1title:");
            WideCharToMultiByte(CP_UTF8, 0, (LPCWSTR)pMsg->lParam, -1, szText + 7, (int)sizeof(szText) - 8, NULL, NULL);
            szText[sizeof(szText) - 1] = '\0';
            OutputDebugStringA(szText);
        } else if (pMsg->message == WM_ENABLE && IsDialog(GetParent(pMsg->hwnd))) {
            snprintf(szText, sizeof(szText), "\1enable:%d:%d", GetDlgCtrlID(pMsg->hwnd), pMsg->wParam ? 1 : 0);
            OutputDebugStringA(szText);
        }
    }
    return CallNextHookEx(NULL, nCode, wParam, lParam);
}
