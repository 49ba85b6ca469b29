// Drives crashreport.exe end to end the way the crashed product and a user do: starts it with a
// hand-off as its debugger (so every OutputDebugString text is captured exactly), finds the
// dialog, reads its controls, clicks and types, and waits for the process and whatever it
// started (the job object holds the reporter and every process it starts).
#pragma once
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

std::string ToWindowsPath(const std::string& strUnixPath);  // "/a/b" -> "Z:\a\b"

// The pixels of a window's client area as they are on the screen.
struct CClientShot {
    int cx = 0;
    int cy = 0;
    std::vector<COLORREF> pixels;  // row by row from the top
    COLORREF At(int x, int y) const { return pixels[size_t(y) * size_t(cx) + size_t(x)]; }
};

// How long a wait for a state may take before the test gives up. Only a broken reporter reaches
// it: a loaded machine slows Wine down by whole seconds, so it is far above any normal run.
const DWORD kDriverTimeoutMs = 120000;

class CReporterDriver {
public:
    CReporterDriver();
    ~CReporterDriver();  // ends a reporter still running
    CReporterDriver(const CReporterDriver&) = delete;
    CReporterDriver& operator=(const CReporterDriver&) = delete;

    // Starts szExe with exactly this command line. FALSE when it could not be started.
    bool Launch(const std::string& strExe, const std::string& strCommandLine);

    // The reporter's dialog once it is shown, or null after nTimeoutMs (or when the process ended).
    HWND WaitForDialog(DWORD nTimeoutMs = kDriverTimeoutMs);
    HWND Dialog() const { return m_hDialog; }

    std::wstring Title() const;
    std::wstring ControlText(int nID) const;
    bool IsChecked(int nID) const;
    bool IsEnabled(int nID) const;
    HWND Focus() const;  // the control with the keyboard focus in the reporter
    CClientShot CaptureClient() const;
    RECT ControlRect(int nID) const;  // in the dialog's client coordinates

    void Click(int nID);               // a mouse click on the control (BM_CLICK)
    void PressKey(UINT nVirtualKey);   // a key press on the control with the focus
    void FocusControl(int nID);        // moves the focus like the Tab key would
    void SysCommand(WPARAM nCommand);  // a system-menu command (SC_CLOSE for the close box)

    // Waits for the reporter and every process it started to end. FALSE on time-out.
    bool WaitForExit(DWORD nTimeoutMs = kDriverTimeoutMs);
    DWORD ExitCode() const { return m_dwExitCode; }
    HANDLE Process() const { return m_hProcess; }  // null before Launch
    // Processes started in the job so far, the reporter included.
    DWORD ProcessesStarted() const;

    // Every debugger output text of the reporter so far, in order, each exactly as written.
    std::vector<std::string> Output() const;
    // Every title the dialog was given, in order, starting with the template's.
    std::vector<std::wstring> Titles() const;
    // What the window hook saw, in order: "title:<UTF-8 title>", "enable:<control id>:<0|1>" and
    // "icon:<message>:<wParam>:128" (see window_hook.c); only those beginning with pszKind if given.
    std::vector<std::string> WindowEvents(const char* pszKind = nullptr) const;

    // Waits nMs while running the calling thread's messages.
    static void Pump(DWORD nMs);
    // Waits until the condition holds (TRUE) or nTimeoutMs have passed (its last value).
    static bool WaitUntil(const std::function<bool()>& condition, DWORD nTimeoutMs = kDriverTimeoutMs);

private:
    void _DebugLoop(std::string strExe, std::string strCommandLine);
    bool _WaitPumping(HANDLE hObject, DWORD nTimeoutMs);

    HANDLE m_hJob;
    HANDLE m_hStarted;  // set once the process exists (or failed to start)
    HANDLE m_hProcess = nullptr;
    DWORD m_dwProcessId = 0;
    bool m_bLaunched = false;
    DWORD m_dwExitCode = STILL_ACTIVE;
    HWND m_hDialog = nullptr;
    HMODULE m_hHookDll = nullptr;
    HHOOK m_hHook = nullptr;
    std::wstring m_strInitialTitle;
    std::thread m_debugThread;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_output;
    std::vector<std::string> m_windowEvents;
};
