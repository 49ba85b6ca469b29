// Plays the crashed product and the user for crashreport.exe: starts it as its debugger with an
// exact command line, runs the actions, waits for it and all it started, then prints what it saw
// as "kind value" lines, texts in hex. Usage: reporter_driver [--output FILE] EXE HEX_LINE ACTION...
//   dialog: wait for it; print its title, each control's (1000-1010) text, enabled and checked
//   state, and the focus.  quiet: wait for the first debugger output or the end (no hand-off).
//   click:ID key:VK sys:CMD focus:ID disabled:ID unchecked:ID paint pause:MS (the demo's only)
// At the end: "out" (debugger output) and "ev" (the window hook's) in order, exit, procs, peak.
#include <windows.h>
// after windows.h, which it needs
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>

namespace {
const DWORD kTimeoutMs = 120000;  // only a broken reporter reaches it: far above a loaded run
std::string g_strReport;          // what is printed at the end
CRITICAL_SECTION g_lock;
HANDLE g_hProcess, g_hJob;
DWORD g_dwPid, g_dwExit = STILL_ACTIVE;
std::atomic<int> g_nOutputs{0};
HWND g_hDialog;

std::string Hex(const std::string& str) {
    std::string strHex;
    char sz[3];
    for (unsigned char ch : str)
        strHex += (std::snprintf(sz, sizeof sz, "%02x", ch), sz);
    return strHex;
}

void Print(const std::string& strKind, const std::string& strValue) {
    EnterCriticalSection(&g_lock);
    g_strReport += strKind + " " + strValue + "\n";
    LeaveCriticalSection(&g_lock);
}

std::string Text(HWND hWnd) {  // in UTF-8
    WCHAR szWide[1024] = L"";
    char sz[3072] = "";
    ::InternalGetWindowText(hWnd, szWide, 1024);
    ::WideCharToMultiByte(CP_UTF8, 0, szWide, -1, sz, sizeof sz, nullptr, nullptr);
    return Hex(sz);
}

bool WaitUntil(const std::function<bool()>& done) {
    for (DWORD dwStart = ::GetTickCount(); !done(); ::Sleep(10))
        if (::GetTickCount() - dwStart > kTimeoutMs)
            return false;
    return true;
}

// Debug events go to the thread that created the process.
void DebugLoop(std::string strExe, std::string strLine, HANDLE hStarted) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(strExe.c_str(), &strLine[0], nullptr, nullptr, FALSE,
                          DEBUG_ONLY_THIS_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi))
        return (void)::SetEvent(hStarted);
    ::AssignProcessToJobObject(g_hJob, pi.hProcess);
    // In place before the first window: titles and enables are recorded where they are set.
    HMODULE hHook = ::LoadLibraryA("window_hook.dll");  // beside this exe
    ::SetWindowsHookExW(WH_CALLWNDPROCRET, (HOOKPROC)(void*)::GetProcAddress(hHook, "WindowHookProc"), hHook,
                        pi.dwThreadId);
    g_hProcess = pi.hProcess;
    g_dwPid = pi.dwProcessId;
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    ::SetEvent(hStarted);
    for (DEBUG_EVENT ev; ::WaitForDebugEvent(&ev, INFINITE);) {
        DWORD dwContinue = DBG_CONTINUE;
        if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && ev.u.CreateProcessInfo.hFile)
            ::CloseHandle(ev.u.CreateProcessInfo.hFile);
        if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && ev.u.LoadDll.hFile)
            ::CloseHandle(ev.u.LoadDll.hFile);
        if (ev.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {  // the reporter writes 8-bit text only
            std::string str(ev.u.DebugString.nDebugStringLength, '\0');
            SIZE_T cb = 0;
            ::ReadProcessMemory(g_hProcess, ev.u.DebugString.lpDebugStringData, &str[0], str.size(), &cb);
            str.resize(strnlen(str.c_str(), cb));
            const bool bHook = !str.empty() && str[0] == '\1';
            Print(bHook ? "ev" : "out", Hex(bHook ? str.substr(1) : str));
            g_nOutputs += bHook ? 0 : 1;
        }
        if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
            ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            dwContinue = DBG_EXCEPTION_NOT_HANDLED;
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            g_dwExit = ev.u.ExitProcess.dwExitCode;
        ::ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, dwContinue);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
}

BOOL CALLBACK FindDialog(HWND hWnd, LPARAM) {
    DWORD dwPid = 0;
    WCHAR szClass[16] = L"";
    ::GetWindowThreadProcessId(hWnd, &dwPid);
    ::GetClassNameW(hWnd, szClass, 16);
    if (dwPid == g_dwPid && !lstrcmpW(szClass, L"#32770") && ::IsWindowVisible(hWnd))
        g_hDialog = hWnd;
    return !g_hDialog;
}

bool Ended() {
    return ::WaitForSingleObject(g_hProcess, 0) == WAIT_OBJECT_0;
}

HWND Item(int nID) {
    return ::GetDlgItem(g_hDialog, nID);
}

HWND Focus() {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(g_hDialog, nullptr), &info);
    return info.hwndFocus;
}

// The picture at (25, 75): its sign drawn, its background colour left out; red only on 1010.
void Paint() {
    HDC hdc = ::GetDC(nullptr);  // the screen: another process's window surface is not readable
    POINT pt = {0, 0};
    ::ClientToScreen(g_hDialog, &pt);
    const auto At = [&](int x, int y) { return ::GetPixel(hdc, pt.x + x, pt.y + y); };
    const auto Red = [&](int nID) {
        RECT r;
        ::GetWindowRect(Item(nID), &r);
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                if (COLORREF c = ::GetPixel(hdc, x, y); GetRValue(c) >= 200 && GetGValue(c) <= 80 && GetBValue(c) <= 80)
                    return '1';
        return '0';
    };
    WaitUntil([&] { return At(45, 125) == RGB(255, 204, 26) && Red(1010) == '1'; });
    char sz[96];  // (45, 111): the sign's top row, so a picture moved down by a pixel shows
    std::snprintf(sz, sizeof sz, "%06lx %06lx %06lx %06lx %06lx %c%c%c", At(45, 125), At(45, 111), At(21, 105),
                  At(27, 105), At(27, 132), Red(1010), Red(1007), Red(1006));
    Print("paint", sz);
    ::ReleaseDC(nullptr, hdc);
}

bool Act(const std::string& strAction) {
    const size_t iColon = strAction.find(':');
    const std::string strVerb = strAction.substr(0, iColon);
    const int n = iColon == std::string::npos ? 0 : std::atoi(strAction.c_str() + iColon + 1);
    if (strVerb == "dialog") {
        WaitUntil([] { return ::EnumWindows(FindDialog, 0), g_hDialog || Ended(); });
        if (!g_hDialog)
            return false;
        Print("title", Text(g_hDialog));
        for (int nID = 1000; nID <= 1010; ++nID)
            Print("text" + std::to_string(nID), Text(Item(nID)) + " " + std::to_string(::IsWindowEnabled(Item(nID))) +
                                                    std::to_string(::SendMessageW(Item(nID), BM_GETCHECK, 0, 0)));
        Print("focus", std::to_string(::GetDlgCtrlID(Focus())));
    } else if (strVerb == "quiet") {
        WaitUntil([] { return g_nOutputs > 0 || Ended(); });
    } else if (strVerb == "click") {
        ::PostMessageW(Item(n), BM_CLICK, 0, 0);
    } else if (strVerb == "key") {
        HWND hTarget = Focus() ? Focus() : g_hDialog;
        ::PostMessageW(hTarget, WM_KEYDOWN, n, 1);
        ::PostMessageW(hTarget, WM_KEYUP, n, LPARAM(0xC0000001));
    } else if (strVerb == "sys") {
        ::PostMessageW(g_hDialog, WM_SYSCOMMAND, n, 0);
    } else if (strVerb == "focus") {
        ::PostMessageW(g_hDialog, WM_NEXTDLGCTL, WPARAM(Item(n)), TRUE);
        return WaitUntil([n] { return Focus() == Item(n); });
    } else if (strVerb == "disabled" || strVerb == "unchecked") {
        return WaitUntil(
            [&] { return strVerb == "disabled" ? !::IsWindowEnabled(Item(n)) : !IsDlgButtonChecked(g_hDialog, n); });
    } else if (strVerb == "pause") {
        ::Sleep(DWORD(n));
    } else if (strVerb == "paint") {
        Paint();
    }
    return true;
}

// A misspelt action would silently do nothing: the run is refused instead.
bool Known(const std::string& strAction) {
    static const std::set<std::string> kPlain = {"dialog", "quiet", "paint"};
    static const std::set<std::string> kWithNumber = {"click", "key", "sys", "focus", "disabled", "unchecked", "pause"};
    const size_t iColon = strAction.find(':');
    if (iColon == std::string::npos)
        return kPlain.count(strAction) > 0;
    return kWithNumber.count(strAction.substr(0, iColon)) > 0 && std::atoi(strAction.c_str() + iColon + 1) > 0;
}
}  // namespace

int main(int argc, char** argv) {
    InitializeCriticalSection(&g_lock);
    const char* pszOutput = argc > 2 && !std::strcmp(argv[1], "--output") ? argv[2] : nullptr;
    int i = pszOutput ? 3 : 1;
    if (argc < i + 2)
        return std::fprintf(stderr, "usage: reporter_driver [--output FILE] EXE HEX_COMMAND_LINE [ACTION...]\n"), 2;
    for (int j = i + 2; j < argc; ++j)
        if (!Known(argv[j]))
            return std::fprintf(stderr, "reporter_driver: unknown action %s\n", argv[j]), 2;
    std::string strLine;
    for (const char* p = argv[i + 1]; p[0] && p[1]; p += 2)
        strLine += char(std::strtoul(std::string(p, 2).c_str(), nullptr, 16));
    // The first program of a Wine session to need the desktop starts it: that must not be the
    // reporter, or the desktop would join the job, which would then never empty.
    ::GetDesktopWindow();
    g_hJob = ::CreateJobObjectA(nullptr, nullptr);
    HANDLE hStarted = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread debugger(DebugLoop, std::string(argv[i]), strLine, hStarted);
    ::WaitForSingleObject(hStarted, INFINITE);
    bool bGoOn = g_hProcess != nullptr;
    for (i += 2; bGoOn && i < argc; ++i)
        bGoOn = Act(argv[i]);
    // The reporter and whatever it started (the restarted product) end by themselves.
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    SIZE_T cbPeak = 0;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job = {};
    const bool bEnded =
        g_hProcess && WaitUntil([&] {
            if (::GetProcessMemoryInfo(g_hProcess, &pmc, sizeof pmc) && pmc.PeakWorkingSetSize > cbPeak)
                cbPeak = pmc.PeakWorkingSetSize;
            ::QueryInformationJobObject(g_hJob, JobObjectBasicAccountingInformation, &job, sizeof job, nullptr);
            return Ended() && job.ActiveProcesses == 0;
        });
    if (!bEnded)
        ::TerminateJobObject(g_hJob, 1);
    debugger.join();
    Print("exit", (bEnded ? std::to_string(g_dwExit) : "none") + "\nprocs " + std::to_string(job.TotalProcesses) +
                      "\npeak " + std::to_string(cbPeak >> 10));
    FILE* pFile = pszOutput ? std::fopen(pszOutput, "wb") : stdout;
    std::fputs(g_strReport.c_str(), pFile);
    return std::fclose(pFile);
}
