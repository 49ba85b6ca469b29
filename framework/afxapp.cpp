#include "afxapp.h"

#include <commctrl.h>

#include <exception>

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

void AfxTraceCaughtException() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        ::OutputDebugStringA(e.what());
    } catch (...) {
        ::OutputDebugStringA("Unknown exception caught by the framework.");
    }
}

HINSTANCE AfxGetInstanceHandle() {
    return g_pApp && g_pApp->m_hInstance ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetInstanceHandle();
}

void AfxEnableControlContainer() {}

std::wstring AfxLoadStringW(UINT nID) {
    // Length 0 gives a read-only pointer to the resource text itself (not NUL-terminated).
    LPCWSTR pszResource = nullptr;
    int nLength = ::LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&pszResource), 0);
    return nLength > 0 && pszResource ? std::wstring(pszResource, size_t(nLength)) : std::wstring();
}

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCSTR pszAppName) : m_strAppName(pszAppName) {
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::Run() {
    MSG msg;
    BOOL bRet;
    while ((bRet = ::GetMessageA(&msg, nullptr, 0, 0)) != 0 && bRet != -1) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    m_nExitCode = bRet == -1 ? -1 : int(msg.wParam);
    return ExitInstance();
}

int CWinApp::ExitInstance() {
    return m_nExitCode;
}

// The program ships no help file.
void CWinApp::OnHelp() {}

int _AfxWinMain(HINSTANCE hInstance) {
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return -1;
    pApp->m_hInstance = hInstance;
    if (pApp->m_strAppName.IsEmpty()) {
        char szPath[MAX_PATH] = "";
        ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
        CString strPath(szPath);
        CString strName = strPath.Mid(strPath.ReverseFind('\\') + 1);
        int nDot = strName.Find('.');
        pApp->m_strAppName = nDot >= 0 ? strName.Left(nDot) : strName;
    }

    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);

    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}

// Nothing thrown may leave the entry point into the C runtime's start-up code.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    try {
        return _AfxWinMain(hInstance);
    } catch (...) {
        AfxTraceCaughtException();
        return -1;
    }
}
