// Plays the crashed product: starts the reporter with a crash hand-off and waits for it.
// Usage: crash_sim <crashreport.exe> [key=value ...]
#include <cstdio>
#include <cstring>

#include "handoff.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: crash_sim <crashreport.exe> [key=value ...]\n");
        return 2;
    }
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 2; i < argc; ++i) {
        const char* pEq = std::strchr(argv[i], '=');
        if (pEq)
            entries.emplace_back(std::string(argv[i], size_t(pEq - argv[i])), std::string(pEq + 1));
    }
    const std::string strExe = CanonicalProgramPath(argv[1]);
    std::string strCommandLine = BuildHandOff(strExe, entries);

    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(strExe.c_str(), &strCommandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", strExe.c_str(), ::GetLastError());
        return 1;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExit = 0;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return int(dwExit);
}
