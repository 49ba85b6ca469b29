// Plays the crashed product for the demo: starts the reporter with a crash hand-off as its
// debugger, optionally presses "send" after a while (headless runs), waits for the reporter and
// writes every debugger output text of it to a file.
// Usage: crash_sim [--send-after MS] [--output FILE] <crashreport.exe> [key=value ...]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "handoff.h"
#include "reporter_driver.h"

int main(int argc, char** argv) {
    DWORD dwSendAfterMs = 0;
    bool bSend = false;
    const char* pszOutput = nullptr;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--send-after") == 0) {
            dwSendAfterMs = DWORD(std::strtoul(argv[i + 1], nullptr, 10));
            bSend = true;
        } else if (std::strcmp(argv[i], "--output") == 0) {
            pszOutput = argv[i + 1];
        }
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: crash_sim [--send-after MS] [--output FILE] <crashreport.exe> [key=value ...]\n");
        return 2;
    }
    const std::string strExe = CanonicalProgramPath(argv[i]);
    std::vector<std::pair<std::string, std::string>> entries;
    for (++i; i < argc; ++i) {
        const char* pEq = std::strchr(argv[i], '=');
        if (pEq)
            entries.emplace_back(std::string(argv[i], size_t(pEq - argv[i])), std::string(pEq + 1));
    }

    CReporterDriver driver;
    if (!driver.Launch(strExe, BuildHandOff(strExe, entries))) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", strExe.c_str(), ::GetLastError());
        return 1;
    }
    if (bSend && driver.WaitForDialog(30000)) {
        CReporterDriver::Pump(dwSendAfterMs);
        driver.Click(1000);
    }
    while (!driver.WaitForExit(60000)) {
    }

    if (pszOutput) {
        if (FILE* pFile = std::fopen(pszOutput, "wb")) {
            for (const std::string& strText : driver.Output())
                std::fprintf(pFile, "%s\n", strText.c_str());
            std::fclose(pFile);
        }
    }
    return int(driver.ExitCode());
}
