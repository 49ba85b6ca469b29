/* Loaded into the reporter by the test driver's window hook: reports, as debugger output tagged
 * with "\1", every title given to a dialog ("title:" + UTF-8) and every enabling or disabling of
 * a dialog's control ("enable:<id>:<0|1>"), and the icon a dialog answers to WM_GETICON and
 * WM_QUERYDRAGICON ("icon:<message>:<wParam>:128" when it is icon 128, else the handle), in
 * order with the reporter's own output. Runs after each message, so it sees the results. */
#include <windows.h>

#include <stdio.h>

static BOOL IsDialog(HWND hWnd) {
    WCHAR szClass[16] = L"";
    return hWnd && GetClassNameW(hWnd, szClass, 16) && lstrcmpW(szClass, L"#32770") == 0;
}

__declspec(dllexport) LRESULT CALLBACK WindowHookProc(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HC_ACTION) {
        const CWPRETSTRUCT* pMsg = (const CWPRETSTRUCT*)lParam;
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
        } else if ((pMsg->message == WM_GETICON || pMsg->message == WM_QUERYDRAGICON) && IsDialog(pMsg->hwnd)) {
            HICON hIcon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(128));
            if (pMsg->lResult && (HICON)pMsg->lResult == hIcon)
                snprintf(szText, sizeof(szText), "\1icon:%u:%u:128", pMsg->message, (unsigned)pMsg->wParam);
            else
                snprintf(szText, sizeof(szText), "\1icon:%u:%u:%p", pMsg->message, (unsigned)pMsg->wParam,
                         (void*)pMsg->lResult);
            OutputDebugStringA(szText);
        }
    }
    return CallNextHookEx(NULL, nCode, wParam, lParam);
}
