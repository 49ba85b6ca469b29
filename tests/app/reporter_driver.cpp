// Plays the crashed product and the user for a program under test (crashreport.exe; the bench's
// bare dialogs): starts it as its debugger with an exact command line, plays the actions, waits
// for it and all it started, and prints what it saw as "kind value" lines, texts in hex.
//   reporter_driver [--output FILE] EXE HEX_LINE ACTION...   one run
//   reporter_driver   a run a line of input ("EXE<tab>HEX_LINE<tab>ACTION..."), each answered by
//                     its lines and "end": one Wine process for a whole table
// Actions: dialog (wait for it; print its title, each control's (1000-1010) text, enabled and
// checked state, and the focus), click:ID, key:VK (on the focus), sys:CMD, focus:ID (wait for it),
// paint (see Paint), pause:MS, kept:N (wait for N reports in the reporter's store), kill,
// hold:HEX_PATH (before the start, open that file without sharing until the end, as a scanner may:
// "held ACTION", or "failed ACTION"). Without actions it waits for the end.
// Printed: "at start|ACTION <us>" (the steady clock, for the bench), "failed ACTION" (its state
// never came, or it is unknown: the rest are skipped), "out" (debugger output) and "ev" (the
// window hook's) in order, "exit" ("none": its end never came), "procs" (processes started in its
// job, itself included).
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
const DWORD kTimeoutMs = 120000;  // only a broken program reaches it: far above a loaded run
const DWORD kLeftoverMs = 30000;

std::string Hex(const std::string& str) {
    std::string strHex;
    for (unsigned char ch : str)
        strHex += {"0123456789abcdef"[ch >> 4], "0123456789abcdef"[ch & 15]};
    return strHex;
}

std::string Text(HWND hWnd) {  // in UTF-8
    WCHAR szWide[1024] = L"";
    char sz[3072] = "";
    ::InternalGetWindowText(hWnd, szWide, 1024);
    ::WideCharToMultiByte(CP_UTF8, 0, szWide, -1, sz, sizeof sz, nullptr, nullptr);
    return Hex(sz);
}

std::string Unhex(const std::string& strHex) {
    std::string str;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2)
        str += char(std::stoi(strHex.substr(i, 2), nullptr, 16));
    return str;
}

std::string Now() {
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(t).count());
}

bool WaitUntil(const std::function<bool()>& done) {
    for (DWORD dwStart = ::GetTickCount(); !done(); ::Sleep(10))
        if (::GetTickCount() - dwStart > kTimeoutMs)
            return false;
    return true;
}

class CRun {
public:
    // A whole run of EXE HEX_LINE ACTION...: what was seen, as the lines to print.
    std::string Play(const std::vector<std::string>& args) {
        if (args.size() < 2)
            return "failed usage: EXE HEX_LINE ACTION...\n";
        std::vector<HANDLE> held;  // files held without sharing, as a scanner may
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i].compare(0, 5, "hold:") != 0)
                continue;
            const std::string strPath = Unhex(args[i].substr(5));
            held.push_back(::CreateFileA(strPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                         nullptr));
            Print(held.back() != INVALID_HANDLE_VALUE ? "held" : "failed", args[i]);
        }
        std::thread debugger(&CRun::Debug, this, args[0], Unhex(args[1]));
        ::WaitForSingleObject(m_hStarted, INFINITE);
        for (size_t i = 2; m_hProcess && i < args.size(); ++i) {
            if (!Act(args[i])) {
                Print("failed", args[i]);
                break;
            }
            Print("at", args[i] + " " + Now());
            if (args[i] == "dialog")
                Describe();
        }
        // It and what it started (the restarted product, a flush) end by themselves; but under Wine
        // a process killed amid a socket operation may never end nor report its end: each is waited
        // for at most kLeftoverMs after the kill or the program's end, far above a test's flush.
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job = {};
        DWORD dwEndedAt = 0;
        const bool bWaited = m_hProcess && WaitUntil([&] {
            const auto kInfo = JobObjectBasicAccountingInformation;
            ::QueryInformationJobObject(m_hJob, kInfo, &job, sizeof job, nullptr);
            if (!Ended())
                return m_dwKilledAt && ::GetTickCount() - m_dwKilledAt > kLeftoverMs;
            dwEndedAt = dwEndedAt ? dwEndedAt : ::GetTickCount();
            ResumeLeftovers();
            return job.ActiveProcesses == 0 || ::GetTickCount() - dwEndedAt > kLeftoverMs;
        });
        if (!bWaited || job.ActiveProcesses)
            ::TerminateJobObject(m_hJob, 1);
        m_bGiveUp = m_hProcess && !Ended();  // its end would never reach the debugger thread
        debugger.join();
        Print("exit", m_bGiveUp ? "none" : std::to_string(m_dwExit));
        Print("procs", std::to_string(job.TotalProcesses));
        held.insert(held.end(), {m_hProcess, m_hStarted, m_hJob});
        for (HANDLE h : held)
            if (h && h != INVALID_HANDLE_VALUE)
                ::CloseHandle(h);
        return m_strReport;
    }

private:
    void Print(const std::string& strKind, const std::string& strValue) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strReport += strKind + " " + strValue + "\n";
    }

    // Debug events go to the thread that created the process.
    void Debug(std::string strExe, std::string strLine) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        Print("at", "start " + Now());
        const DWORD dwFlags = DEBUG_ONLY_THIS_PROCESS | CREATE_SUSPENDED;
        if (!::CreateProcessA(strExe.c_str(), &strLine[0], nullptr, nullptr, FALSE, dwFlags,
                              nullptr, nullptr, &si, &pi))
            return (void)::SetEvent(m_hStarted);
        ::AssignProcessToJobObject(m_hJob, pi.hProcess);
        // In place before the first window: titles and enables are recorded where they are set.
        static const HMODULE hHook = ::LoadLibraryA("window_hook.dll");  // beside this exe
        const auto pfnHook = (HOOKPROC)(void*)::GetProcAddress(hHook, "WindowHookProc");
        ::SetWindowsHookExW(WH_CALLWNDPROCRET, pfnHook, hHook, pi.dwThreadId);
        m_hProcess = pi.hProcess;
        m_dwPid = pi.dwProcessId;
        ::ResumeThread(pi.hThread);
        ::CloseHandle(pi.hThread);
        ::SetEvent(m_hStarted);
        for (DEBUG_EVENT ev; !m_bGiveUp;) {
            if (!::WaitForDebugEvent(&ev, 100))
                continue;
            DWORD dwContinue = DBG_CONTINUE;
            if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && ev.u.CreateProcessInfo.hFile)
                ::CloseHandle(ev.u.CreateProcessInfo.hFile);
            if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && ev.u.LoadDll.hFile)
                ::CloseHandle(ev.u.LoadDll.hFile);
            if (ev.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT)  // the programs write 8-bit text
                Output(ev.u.DebugString);
            if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                dwContinue = DBG_EXCEPTION_NOT_HANDLED;
            if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
                m_dwExit = ev.u.ExitProcess.dwExitCode;
            ::ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, dwContinue);
            if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
                break;
        }
    }

    void Output(const OUTPUT_DEBUG_STRING_INFO& info) {
        std::string str(info.nDebugStringLength, '\0');
        SIZE_T cb = 0;
        if (!::ReadProcessMemory(m_hProcess, info.lpDebugStringData, &str[0], str.size(), &cb))
            return;  // a process being killed: its memory is gone
        str.resize(strnlen(str.c_str(), cb));
        const bool bHook = !str.empty() && str[0] == '\1';
        Print(bHook ? "ev" : "out", Hex(bHook ? str.substr(1) : str));
    }

    bool Ended() const { return ::WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0; }

    // A process is made with its first thread suspended, then resumed by its maker: one whose maker
    // was killed in between would wait for ever. Ended early instead, it could be left half made,
    // beyond the reach of any kill; so its thread is resumed, and it runs its course.
    void ResumeLeftovers() const {
        struct {
            JOBOBJECT_BASIC_PROCESS_ID_LIST list;
            ULONG_PTR more[15];
        } ids = {{16, 0, {0}}, {}};
        ::QueryInformationJobObject(m_hJob, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr);
        const ULONG_PTR *pIds = ids.list.ProcessIdList, *pEnd = pIds + ids.list.NumberOfProcessIdsInList;
        const HANDLE hThreads = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 thread = {sizeof thread, 0, 0, 0, 0, 0, 0};
        for (BOOL b = ::Thread32First(hThreads, &thread); b; b = ::Thread32Next(hThreads, &thread)) {
            if (std::find(pIds, pEnd, ULONG_PTR(thread.th32OwnerProcessID)) == pEnd)
                continue;
            const HANDLE hThread = ::OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.th32ThreadID);
            if (hThread) {
                ::ResumeThread(hThread);
                ::CloseHandle(hThread);
            }
        }
        ::CloseHandle(hThreads);
    }

    HWND Item(int nID) const { return ::GetDlgItem(m_hDialog, nID); }

    HWND Focus() const {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        ::GetGUIThreadInfo(::GetWindowThreadProcessId(m_hDialog, nullptr), &info);
        return info.hwndFocus;
    }

    void Describe() {
        Print("title", Text(m_hDialog));
        for (int nID = 1000; nID <= 1010; ++nID) {
            std::string strState = std::to_string(::IsWindowEnabled(Item(nID)));
            strState += std::to_string(::SendMessageW(Item(nID), BM_GETCHECK, 0, 0));
            Print("text" + std::to_string(nID), Text(Item(nID)) + " " + strState);
        }
        Print("focus", std::to_string(::GetDlgCtrlID(Focus())));
    }

    // The picture at (25, 75): its sign drawn, its background colour left out; red only on 1010.
    void Paint() {
        HDC hdc = ::GetDC(nullptr);  // the screen: another process's window surface is not readable
        POINT pt = {0, 0};
        ::ClientToScreen(m_hDialog, &pt);
        const auto At = [&](int x, int y) { return ::GetPixel(hdc, pt.x + x, pt.y + y); };
        const auto Red = [&](int nID) {
            RECT r;
            ::GetWindowRect(Item(nID), &r);
            for (int y = r.top; y < r.bottom; ++y)
                for (int x = r.left; x < r.right; ++x)
                    if (::GetPixel(hdc, x, y) == RGB(255, 0, 0))
                        return '1';
            return '0';
        };
        WaitUntil([&] { return At(45, 125) == RGB(255, 204, 26) && Red(1010) == '1'; });
        // (45, 111): the sign's top row, so a picture moved down by a pixel shows; (217, 229): the
        // top right corner of 1010, the dialog's own colour behind a label's text
        char sz[96];
        std::snprintf(sz, sizeof sz, "%06lx %06lx %06lx %06lx %06lx %c%c%c %06lx",
                      At(45, 125), At(45, 111), At(21, 105), At(27, 105), At(27, 132),
                      Red(1010), Red(1007), Red(1006), At(217, 229));
        Print("paint", sz);
        ::ReleaseDC(nullptr, hdc);
    }

    // Plays one action; false when the state it waits for never came, or the action is unknown.
    bool Act(const std::string& strAction) {
        const size_t iColon = strAction.find(':');
        const std::string strVerb = strAction.substr(0, iColon);
        const int n = iColon == std::string::npos ? 0 : std::atoi(strAction.c_str() + iColon + 1);
        if (strVerb == "dialog") {
            WaitUntil([this] {
                HWND h = nullptr;
                while (!m_hDialog && (h = ::FindWindowExW(nullptr, h, L"#32770", nullptr))) {
                    DWORD dwPid = 0;
                    ::GetWindowThreadProcessId(h, &dwPid);
                    m_hDialog = dwPid == m_dwPid && ::IsWindowVisible(h) ? h : nullptr;
                }
                return m_hDialog || Ended();
            });
            return m_hDialog != nullptr;
        }
        if (strVerb == "click") {
            ::PostMessageW(Item(n), BM_CLICK, 0, 0);
        } else if (strVerb == "key") {
            HWND hTarget = Focus() ? Focus() : m_hDialog;
            ::PostMessageW(hTarget, WM_KEYDOWN, n, 1);
            ::PostMessageW(hTarget, WM_KEYUP, n, LPARAM(0xC0000001));
        } else if (strVerb == "sys") {
            ::PostMessageW(m_hDialog, WM_SYSCOMMAND, n, 0);
        } else if (strVerb == "focus") {
            ::PostMessageW(m_hDialog, WM_NEXTDLGCTL, WPARAM(Item(n)), TRUE);
            return WaitUntil([&] { return Focus() == Item(n); });
        } else if (strVerb == "pause") {
            ::Sleep(DWORD(n));
        } else if (strVerb == "paint") {
            Paint();
        } else if (strVerb == "kept") {  // reports in the reporter's store
            const auto dir = std::filesystem::path(getenv("LOCALAPPDATA")) / "Quilla\\CrashReports";
            return WaitUntil([&] {
                std::error_code error;  // no folder yet: no report
                std::filesystem::directory_iterator it(dir, error);
                const auto IsRecord = [](auto& e) { return e.path().extension() == ".rec"; };
                return std::count_if(begin(it), end(it), IsRecord) >= n;
            });
        } else if (strVerb == "kill") {
            ::TerminateProcess(m_hProcess, 1);
            m_dwKilledAt = ::GetTickCount();
        } else if (strVerb == "hold") {  // done before the start
        } else {
            return false;
        }
        return true;
    }

    HANDLE m_hJob = ::CreateJobObjectA(nullptr, nullptr);
    HANDLE m_hStarted = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE m_hProcess = nullptr;
    DWORD m_dwPid = 0;
    DWORD m_dwExit = STILL_ACTIVE;
    DWORD m_dwKilledAt = 0;
    std::atomic<bool> m_bGiveUp{false};
    HWND m_hDialog = nullptr;
    std::mutex m_mutex;  // the debugger thread prints too
    std::string m_strReport;
};

}  // namespace

int main(int argc, char** argv) {
    // The first program of a Wine session to need the desktop starts it: that must not be the
    // program under test, or the desktop would join its job, which would then never empty.
    ::GetDesktopWindow();
    const bool bToFile = argc > 2 && std::string(argv[1]) == "--output";
    std::vector<std::string> args(argv + (bToFile ? 3 : 1), argv + argc);
    if (!args.empty()) {  // the file appears only once the run is over: the demo waits for it
        const std::string strReport = CRun().Play(args);
        FILE* pFile = bToFile ? std::fopen(argv[2], "wb") : stdout;
        std::fputs(strReport.c_str(), pFile);
        return std::fclose(pFile);
    }
    for (std::string strInput; std::getline(std::cin, strInput); std::fflush(stdout)) {
        std::istringstream input(strInput);
        for (args.clear(); std::getline(input, strInput, '\t');)
            args.push_back(strInput);
        std::fputs((CRun().Play(args) + "end\n").c_str(), stdout);
    }
    return 0;
}
