/* Loaded into the reporter by the driver's hook, runs after each of its messages: reports, as
 * debugger output tagged "\1" in order with the reporter's own, each title given to the dialog
 * ("title:" UTF-8), each enabling of a control ("enable:<id>:<0|1>") and the icon the dialog
 * answers to WM_GETICON and WM_QUERYDRAGICON ("icon:<message>:<wParam>:<128 or other>"). */
#include <windows.h>

#include <stdio.h>

static BOOL IsDialog(HWND hWnd) {
    WCHAR szClass[16] = L"";
    return hWnd && GetClassNameW(hWnd, szClass, 16) && lstrcmpW(szClass, L"#32770") == 0;
}

__declspec(dllexport) LRESULT CALLBACK WindowHookProc(int nCode, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* pMsg = (const CWPRETSTRUCT*)lParam;
    char szText[1024] = "";
    const UINT nMessage = pMsg->message;
    if (nCode != HC_ACTION) {
    } else if (nMessage == WM_SETTEXT && pMsg->lParam && !GetParent(pMsg->hwnd) &&
               IsDialog(pMsg->hwnd)) {
        const int cbTitle = (int)sizeof(szText) - 8;
        lstrcpyA(szText, "\1title:");
        WideCharToMultiByte(CP_UTF8, 0, (LPCWSTR)pMsg->lParam, -1, szText + 7, cbTitle, NULL, NULL);
    } else if (nMessage == WM_ENABLE && IsDialog(GetParent(pMsg->hwnd))) {
        snprintf(szText, sizeof(szText), "\1enable:%d:%d", GetDlgCtrlID(pMsg->hwnd), pMsg->wParam != 0);
    } else if ((nMessage == WM_GETICON || nMessage == WM_QUERYDRAGICON) && IsDialog(pMsg->hwnd)) {
        const HICON hIcon128 = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(128));
        const BOOL b128 = pMsg->lResult && (HICON)pMsg->lResult == hIcon128;
        snprintf(szText, sizeof(szText), "\1icon:%u:%u:%s", nMessage, (unsigned)pMsg->wParam,
                 b128 ? "128" : "other");
    }
    if (szText[0])
        OutputDebugStringA(szText);
    return CallNextHookEx(NULL, nCode, wParam, lParam);
}
