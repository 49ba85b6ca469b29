#include "reporter_driver.h"

#include <algorithm>
#include <cstring>

namespace {
const char s_szHookTag[] = "\1";  // debugger output of the window hook

std::wstring FromUtf8(const std::string& str) {
    std::wstring strWide(str.size(), L'\0');
    int cch = ::MultiByteToWideChar(CP_UTF8, 0, str.data(), int(str.size()), &strWide[0], int(strWide.size()));
    strWide.resize(size_t(cch > 0 ? cch : 0));
    return strWide;
}
}  // namespace

std::string ToWindowsPath(const std::string& strUnixPath) {
    std::string str = "Z:" + strUnixPath;
    std::replace(str.begin(), str.end(), '/', '\\');
    return str;
}

CReporterDriver::CReporterDriver()
    : m_hJob(::CreateJobObjectA(nullptr, nullptr)), m_hStarted(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CReporterDriver::~CReporterDriver() {
    if (m_hProcess && !WaitForExit(0)) {
        ::TerminateJobObject(m_hJob, 1);
        WaitForExit(5000);
    }
    if (m_debugThread.joinable())
        m_debugThread.join();
    if (m_hHook)
        ::UnhookWindowsHookEx(m_hHook);
    if (m_hHookDll)
        ::FreeLibrary(m_hHookDll);
    if (m_hProcess)
        ::CloseHandle(m_hProcess);
    ::CloseHandle(m_hStarted);
    ::CloseHandle(m_hJob);
}

bool CReporterDriver::Launch(const std::string& strExe, const std::string& strCommandLine) {
    // The first program of a Wine session to need the desktop starts its process (explorer). The
    // reporter must not be that program: the desktop would join the job, which then never empties.
    ::GetDesktopWindow();
    m_debugThread = std::thread(&CReporterDriver::_DebugLoop, this, strExe, strCommandLine);
    ::WaitForSingleObject(m_hStarted, INFINITE);
    if (!m_bLaunched)
        return false;
    return true;
}

// The debugging thread must be the one that created the process: debug events go to it.
void CReporterDriver::_DebugLoop(std::string strExe, std::string strCommandLine) {
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(strExe.c_str(), &strCommandLine[0], nullptr, nullptr, FALSE,
                          DEBUG_ONLY_THIS_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
        ::SetEvent(m_hStarted);
        return;
    }
    ::AssignProcessToJobObject(m_hJob, pi.hProcess);
    // A hook on the reporter's main thread, in place before its first window: it records titles
    // and enabled states where they are set (polling misses what changes just before the
    // dialog closes).
    m_hHookDll = ::LoadLibraryA(ToWindowsPath(WINDOW_HOOK_DLL).c_str());
    if (HOOKPROC pfnHook = m_hHookDll ? reinterpret_cast<HOOKPROC>(
                                            reinterpret_cast<void*>(::GetProcAddress(m_hHookDll, "WindowHookProc")))
                                      : nullptr)
        m_hHook = ::SetWindowsHookExW(WH_CALLWNDPROCRET, pfnHook, m_hHookDll, pi.dwThreadId);
    m_hProcess = pi.hProcess;
    m_dwProcessId = pi.dwProcessId;
    m_bLaunched = true;
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    ::SetEvent(m_hStarted);

    for (;;) {
        DEBUG_EVENT event = {};
        if (!::WaitForDebugEvent(&event, INFINITE))
            break;
        DWORD dwContinue = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile)
                    ::CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile)
                    ::CloseHandle(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                const size_t cbChar = info.fUnicode ? 2 : 1;
                std::vector<char> buffer(size_t(info.nDebugStringLength) * cbChar);
                SIZE_T cbRead = 0;
                ::ReadProcessMemory(m_hProcess, info.lpDebugStringData, buffer.data(), buffer.size(), &cbRead);
                std::string strText;
                if (info.fUnicode) {
                    std::wstring strWide(reinterpret_cast<const wchar_t*>(buffer.data()), cbRead / 2);
                    strWide.resize(wcsnlen(strWide.c_str(), strWide.size()));
                    int cb = ::WideCharToMultiByte(CP_ACP, 0, strWide.data(), int(strWide.size()), nullptr, 0, nullptr,
                                                   nullptr);
                    strText.resize(size_t(cb));
                    ::WideCharToMultiByte(CP_ACP, 0, strWide.data(), int(strWide.size()), &strText[0], cb, nullptr,
                                          nullptr);
                } else {
                    strText.assign(buffer.data(), strnlen(buffer.data(), cbRead));
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                if (strText.compare(0, sizeof(s_szHookTag) - 1, s_szHookTag) == 0)
                    m_windowEvents.push_back(strText.substr(sizeof(s_szHookTag) - 1));
                else
                    m_output.push_back(strText);
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    dwContinue = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                m_dwExitCode = event.u.ExitProcess.dwExitCode;
                break;
            default:
                break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, dwContinue);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
}

void CReporterDriver::Pump(DWORD nMs) {
    const DWORD dwEnd = ::GetTickCount() + nMs;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        const DWORD dwNow = ::GetTickCount();
        if (LONG(dwEnd - dwNow) <= 0)
            return;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, dwEnd - dwNow, QS_ALLINPUT);
    }
}

bool CReporterDriver::WaitUntil(const std::function<bool()>& condition, DWORD nTimeoutMs) {
    const DWORD dwStart = ::GetTickCount();
    while (!condition()) {
        if (::GetTickCount() - dwStart > nTimeoutMs)
            return condition();
        Pump(20);
    }
    return true;
}

bool CReporterDriver::_WaitPumping(HANDLE hObject, DWORD nTimeoutMs) {
    const DWORD dwEnd = ::GetTickCount() + nTimeoutMs;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        const LONG nLeft = LONG(dwEnd - ::GetTickCount());
        DWORD dwWait = ::MsgWaitForMultipleObjects(1, &hObject, FALSE, nLeft > 0 ? DWORD(nLeft) : 0, QS_ALLINPUT);
        if (dwWait == WAIT_OBJECT_0)
            return true;
        if (dwWait == WAIT_TIMEOUT || nLeft <= 0)
            return ::WaitForSingleObject(hObject, 0) == WAIT_OBJECT_0;
    }
}

namespace {
struct FindDialog {
    DWORD dwProcessId;
    HWND hFound;
};

BOOL CALLBACK FindDialogProc(HWND hWnd, LPARAM lParam) {
    FindDialog* pFind = reinterpret_cast<FindDialog*>(lParam);
    DWORD dwPid = 0;
    ::GetWindowThreadProcessId(hWnd, &dwPid);
    WCHAR szClass[32] = L"";
    ::GetClassNameW(hWnd, szClass, 32);
    if (dwPid == pFind->dwProcessId && lstrcmpW(szClass, L"#32770") == 0 && ::IsWindowVisible(hWnd)) {
        pFind->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND CReporterDriver::WaitForDialog(DWORD nTimeoutMs) {
    const DWORD dwEnd = ::GetTickCount() + nTimeoutMs;
    for (;;) {
        FindDialog find = {m_dwProcessId, nullptr};
        ::EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&find));
        if (find.hFound) {
            m_hDialog = find.hFound;
            // The template's title comes with the window's creation, not through WM_SETTEXT.
            m_strInitialTitle = Title();
            return m_hDialog;
        }
        if (LONG(dwEnd - ::GetTickCount()) <= 0 || ::WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0)
            return nullptr;
        Pump(20);
    }
}

std::wstring CReporterDriver::Title() const {
    WCHAR szTitle[512] = L"";
    ::InternalGetWindowText(m_hDialog, szTitle, 512);
    return szTitle;
}

std::wstring CReporterDriver::ControlText(int nID) const {
    WCHAR szText[1024] = L"";
    ::InternalGetWindowText(::GetDlgItem(m_hDialog, nID), szText, 1024);
    return szText;
}

bool CReporterDriver::IsChecked(int nID) const {
    return ::SendMessageW(::GetDlgItem(m_hDialog, nID), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool CReporterDriver::IsEnabled(int nID) const {
    return ::IsWindowEnabled(::GetDlgItem(m_hDialog, nID)) != FALSE;
}

HWND CReporterDriver::Focus() const {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(m_hDialog, nullptr), &info);
    return info.hwndFocus;
}

CClientShot CReporterDriver::CaptureClient() const {
    CClientShot shot;
    RECT rect;
    ::GetClientRect(m_hDialog, &rect);
    POINT ptOrigin = {0, 0};
    ::ClientToScreen(m_hDialog, &ptOrigin);
    shot.cx = rect.right;
    shot.cy = rect.bottom;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = shot.cx;
    bmi.bmiHeader.biHeight = -shot.cy;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* pBits = nullptr;
    HDC hScreen = ::GetDC(nullptr);
    HDC hMem = ::CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = ::CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = ::SelectObject(hMem, hBitmap);
    ::BitBlt(hMem, 0, 0, shot.cx, shot.cy, hScreen, ptOrigin.x, ptOrigin.y, SRCCOPY);
    ::GdiFlush();
    const DWORD* pPixel = static_cast<const DWORD*>(pBits);
    for (size_t i = 0; pPixel && i < size_t(shot.cx) * size_t(shot.cy); ++i)
        shot.pixels.push_back(RGB((pPixel[i] >> 16) & 0xFF, (pPixel[i] >> 8) & 0xFF, pPixel[i] & 0xFF));
    ::SelectObject(hMem, hOld);
    ::DeleteObject(hBitmap);
    ::DeleteDC(hMem);
    ::ReleaseDC(nullptr, hScreen);
    return shot;
}

RECT CReporterDriver::ControlRect(int nID) const {
    RECT rect = {};
    ::GetWindowRect(::GetDlgItem(m_hDialog, nID), &rect);
    ::MapWindowPoints(nullptr, m_hDialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void CReporterDriver::Click(int nID) {
    ::PostMessageW(::GetDlgItem(m_hDialog, nID), BM_CLICK, 0, 0);
}

void CReporterDriver::PressKey(UINT nVirtualKey) {
    HWND hTarget = Focus();
    ::PostMessageW(hTarget ? hTarget : m_hDialog, WM_KEYDOWN, nVirtualKey, 1);
    ::PostMessageW(hTarget ? hTarget : m_hDialog, WM_KEYUP, nVirtualKey, LPARAM(0xC0000001));
}

void CReporterDriver::FocusControl(int nID) {
    ::PostMessageW(m_hDialog, WM_NEXTDLGCTL, WPARAM(::GetDlgItem(m_hDialog, nID)), TRUE);
}

void CReporterDriver::SysCommand(WPARAM nCommand) {
    ::PostMessageW(m_hDialog, WM_SYSCOMMAND, nCommand, 0);
}

bool CReporterDriver::WaitForExit(DWORD nTimeoutMs) {
    if (!m_hProcess)
        return true;
    const DWORD dwStart = ::GetTickCount();
    if (!_WaitPumping(m_hProcess, nTimeoutMs))
        return false;
    // Processes that the reporter started (the restarted product) end on their own.
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        ::QueryInformationJobObject(m_hJob, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr);
        if (info.ActiveProcesses == 0)
            break;
        if (::GetTickCount() - dwStart > nTimeoutMs)
            return false;
        Pump(10);
    }
    if (m_debugThread.joinable())
        m_debugThread.join();
    return true;
}

DWORD CReporterDriver::ProcessesStarted() const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    ::QueryInformationJobObject(m_hJob, JobObjectBasicAccountingInformation, &info, sizeof(info), nullptr);
    return info.TotalProcesses;
}

std::vector<std::string> CReporterDriver::Output() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output;
}

std::vector<std::wstring> CReporterDriver::Titles() const {
    std::vector<std::wstring> titles{m_strInitialTitle};
    for (const std::string& strEvent : WindowEvents())
        if (strEvent.compare(0, 6, "title:") == 0)
            titles.push_back(FromUtf8(strEvent.substr(6)));
    return titles;
}

std::vector<std::string> CReporterDriver::WindowEvents(const char* pszKind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> events;
    for (const std::string& strEvent : m_windowEvents)
        if (!pszKind || strEvent.compare(0, strlen(pszKind), pszKind) == 0)
            events.push_back(strEvent);
    return events;
}
