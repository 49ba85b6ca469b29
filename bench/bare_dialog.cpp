// The start-up yardstick for the reporter: a bare Win32 program that shows one modal dialog and
// ends when it is closed; no framework. Built twice: with an empty in-memory template, and with
// BARE_DIALOG_TEMPLATE, the reporter's own template and resources (its fonts and controls).
#include <windows.h>

namespace {
INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM) {
    if (nMsg == WM_COMMAND && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == 1001)) {  // 1001: the template's cancel
        EndDialog(hDlg, IDCANCEL);
        return TRUE;
    }
    return nMsg == WM_INITDIALOG;
}
}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
#ifdef BARE_DIALOG_TEMPLATE
    return int(DialogBoxParamW(hInstance, MAKEINTRESOURCEW(BARE_DIALOG_TEMPLATE), nullptr, DialogProc, 0));
#endif
    // DLGTEMPLATE, then empty menu and class arrays and the title, WORD-aligned.
    alignas(4) WORD awTemplate[32] = {};
    DLGTEMPLATE* pTemplate = reinterpret_cast<DLGTEMPLATE*>(awTemplate);
    pTemplate->style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
    pTemplate->cx = 240;
    pTemplate->cy = 120;
    WORD* pw = reinterpret_cast<WORD*>(pTemplate + 1);
    *pw++ = 0;
    *pw++ = 0;
    for (const char* psz = "Bare dialog"; *psz; ++psz)
        *pw++ = WORD(*psz);
    *pw = 0;
    return int(DialogBoxIndirectParamW(hInstance, pTemplate, nullptr, DialogProc, 0));
}
