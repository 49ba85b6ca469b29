// The reporter end to end, as the crashed product starts it: upload throughput of a 32 MiB crash
// file against plain WinInet with 1 KiB writes of the same body; the time from the send button to
// the report at the server for a 64 MiB crash file against a reporter that does not keep the
// report before it sends (argv[1], the last such build: what keeping it first costs); time from
// process start to the dialog against bare Win32 programs (an empty dialog, and the reporter's own
// dialog template: what the framework, the worker's DLLs and the start-up add), and the size of
// the shipped exe. Prints figures only; run by scripts/run-bench.sh, not by ctest.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sink.h"

namespace {

using Clock = std::chrono::steady_clock;

const DWORD s_cbCrashFile = 32u << 20;
const DWORD s_cbLargeCrashFile = 64u << 20;
const char s_szBoundary[] = "----MIRAS-0123456789abcdef0123456789abcdef0";  // as long as the reporter's

void Check(bool bOk, const char* pszWhat) {
    if (!bOk) {
        std::fprintf(stderr, "%s failed (%lu)\n", pszWhat, ::GetLastError());
        std::exit(1);
    }
}

double Seconds(Clock::time_point t0, Clock::time_point t1) {
    return std::chrono::duration<double>(t1 - t0).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Every run's figure, so that the noise of a loaded machine shows beside the median.
std::string Runs(const std::vector<double>& values, double dScale) {
    std::string str = "  runs:";
    for (double d : values) {
        char sz[32];
        std::snprintf(sz, sizeof sz, " %.1f", d * dScale);
        str += sz;
    }
    return str;
}

// The path the system reports for the program at strPath (GetModuleFileNameA's spelling).
std::string Canonical(const std::string& strPath) {
    char szFull[MAX_PATH] = "", szLong[MAX_PATH] = "";
    ::GetFullPathNameA(strPath.c_str(), MAX_PATH, szFull, nullptr);
    return ::GetLongPathNameA(szFull, szLong, MAX_PATH) ? szLong : szFull;
}

std::string MakeCrashFile(DWORD cbSize, const char* pszName) {
    char szDir[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szDir);
    const std::string strPath = Canonical(std::string(szDir) + pszName);
    HANDLE hFile =
        ::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(hFile != INVALID_HANDLE_VALUE, "creating the crash file");
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 31 + 7);
    for (DWORD cbDone = 0; cbDone < cbSize; cbDone += DWORD(chunk.size())) {
        DWORD cbWritten = 0;
        Check(::WriteFile(hFile, chunk.data(), DWORD(chunk.size()), &cbWritten, nullptr), "writing the crash file");
    }
    ::CloseHandle(hFile);
    return strPath;
}

// The tests' driver (tests/app/reporter_driver.cpp) plays the program from its start to its end;
// its "at" lines tell when it started and when each action was done, by the steady clock, which is
// the system's (checked here). It finds the dialog by polling every 10 ms.
std::map<std::string, double> Drive(const std::string& strExe, const std::string& strLine, const char* pszActions) {
    std::string strHex;
    for (unsigned char ch : strLine) {
        char sz[3];
        std::snprintf(sz, sizeof sz, "%02x", ch);
        strHex += sz;
    }
    char szOutput[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szOutput);
    std::strcat(szOutput, "bench_reporter.driver.txt");
    std::string strCommand =
        "reporter_driver --output \"" + std::string(szOutput) + "\" \"" + strExe + "\" " + strHex + " " + pszActions;
    static const std::string strDriver = Canonical("Z:" DRIVER_EXE);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const double dBefore = Seconds(Clock::time_point(), Clock::now());
    Check(::CreateProcessA(strDriver.c_str(), &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi),
          "starting the driver");
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExit = 1;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    std::map<std::string, double> at;  // seconds
    std::ifstream output(szOutput);
    for (std::string strLine; std::getline(output, strLine);) {
        std::istringstream line(strLine);
        std::string strKind, strWhat;
        double dMicroseconds = 0;
        line >> strKind;
        if (strKind == "at" && line >> strWhat >> dMicroseconds)
            at[strWhat] = dMicroseconds / 1e6;
        Check(strKind != "failed" && strLine != "exit none", "the driver's run");
    }
    Check(dwExit == 0 && at["start"] > dBefore && at["start"] < Seconds(Clock::time_point(), Clock::now()),
          "the driver's clock");
    return at;
}

// Seconds from process start to the dialog shown; the program is then closed without sending.
double StartToDialog(const std::string& strExe, const std::string& strLine, const char* pszClose) {
    std::map<std::string, double> at = Drive(strExe, strLine, (std::string("dialog ") + pszClose).c_str());
    return at["dialog"] - at["start"];
}

std::string ReporterHandOff(const std::string& strReporter, const std::string& strCrashFile) {
    return "\"" + strReporter + "\" crash file:" + strCrashFile +
           "\r\n\tmodule:C:\\nonexistent\\quilla.exe\r\n\texcept:EXCEPTION_ACCESS_VIOLATION\r\n\t"
           "addr:0x0040A1B2\r\n\tversion:1.0.3\r\n\t";
}

// Seconds from the press of the send button to the body's last byte at the server.
double ButtonToDelivered(CSink& sink,
                         const std::string& strReporter,
                         const std::string& strCrashFile,
                         unsigned long long* pcbBody = nullptr) {
    const unsigned nBefore = sink.DoneCount();
    std::map<std::string, double> at =
        Drive(strReporter, ReporterHandOff(strReporter, strCrashFile), "dialog click:1005 click:1000");
    CSink::CDone done;
    Check(sink.WaitDone(nBefore + 1, 300000, &done), "the reporter's upload");
    WIN32_FILE_ATTRIBUTE_DATA attr = {};
    Check(::GetFileAttributesExA(strCrashFile.c_str(), GetFileExInfoStandard, &attr) && done.cbBody > attr.nFileSizeLow,
          "the reporter's upload (body too short)");
    if (pcbBody)
        *pcbBody = done.cbBody;
    return Seconds(Clock::time_point(), done.tEnd) - at["click:1000"];
}

// MB/s of the reporter's upload: from the press of the send button to the body's last byte.
double ReporterUpload(CSink& sink, const std::string& strReporter, const std::string& strCrashFile) {
    unsigned long long cbBody = 0;
    const double dSeconds = ButtonToDelivered(sink, strReporter, strCrashFile, &cbBody);
    return double(cbBody) / 1e6 / dSeconds;
}

// MB/s of the same request sent through WinInet directly: the file read in large blocks and
// written in 1 KiB pieces, the step the reporter uses.
double BaselineUpload(CSink& sink, const std::string& strCrashFile) {
    const std::string strHead = std::string("--") + s_szBoundary +
                                "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + strCrashFile +
                                "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string strTail = std::string("\r\n--") + s_szBoundary + "--\r\n";
    const unsigned nBefore = sink.DoneCount();
    const Clock::time_point t0 = Clock::now();
    HINTERNET hInternet = ::InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET hConnection =
        ::InternetConnectA(hInternet, "127.0.0.1", sink.Port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    const char* aszAccept[] = {"*/*", nullptr};
    HINTERNET hRequest =
        ::HttpOpenRequestA(hConnection, "POST", "/vorlex.php?version=1.0.3", "HTTP/1.1", nullptr, aszAccept,
                           INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                               INTERNET_FLAG_KEEP_CONNECTION,
                           0);
    Check(hRequest != nullptr, "HttpOpenRequest");
    const std::string strType = std::string("Content-Type: multipart/form-data; boundary=") + s_szBoundary + "\r\n";
    ::HttpAddRequestHeadersA(hRequest, strType.c_str(), DWORD(strType.size()), HTTP_ADDREQ_FLAG_ADD);
    INTERNET_BUFFERSA ib = {};
    ib.dwStructSize = sizeof ib;
    ib.dwBufferTotal = DWORD(strHead.size() + s_cbCrashFile + strTail.size());
    Check(::HttpSendRequestExA(hRequest, &ib, nullptr, 0, 0), "HttpSendRequestEx");
    auto write = [&](const char* p, DWORD cb) {
        for (DWORD cbDone = 0; cbDone < cb;) {
            DWORD cbNow = 0;
            Check(::InternetWriteFile(hRequest, p + cbDone, cb - cbDone, &cbNow) && cbNow, "InternetWriteFile");
            cbDone += cbNow;
        }
    };
    write(strHead.data(), DWORD(strHead.size()));
    HANDLE hFile = ::CreateFileA(strCrashFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    Check(hFile != INVALID_HANDLE_VALUE, "opening the crash file");
    std::vector<char> block(1 << 16);
    DWORD cbRead = 0;
    while (::ReadFile(hFile, block.data(), DWORD(block.size()), &cbRead, nullptr) && cbRead) {
        for (DWORD cbDone = 0; cbDone < cbRead; cbDone += 1024)
            write(block.data() + cbDone, std::min<DWORD>(1024, cbRead - cbDone));
    }
    ::CloseHandle(hFile);
    write(strTail.data(), DWORD(strTail.size()));
    Check(::HttpEndRequestA(hRequest, nullptr, 0, 0), "HttpEndRequest");
    CSink::CDone done;
    Check(sink.WaitDone(nBefore + 1, 30000, &done), "the baseline upload");
    ::InternetCloseHandle(hRequest);
    ::InternetCloseHandle(hConnection);
    ::InternetCloseHandle(hInternet);
    return double(done.cbBody) / 1e6 / Seconds(t0, done.tEnd);
}

}  // namespace

int main(int argc, char** argv) {
    // The shippable (stripped) exe of this build tree: the same code as dist/, with the loopback URL.
    const std::string strReporter = Canonical("Z:" SHIP_EXE);
    const std::string strBare = Canonical("Z:" BARE_DIALOG_EXE);
    const std::string strTemplate = Canonical("Z:" BARE_TEMPLATE_EXE);
    CSink sink(REPORT_PORT);  // the port of the build's report URL
    const std::string strCrashFile = MakeCrashFile(s_cbCrashFile, "bench_reporter.dmp");

    // Warm-up: the file cache, Wine's DLLs and the first connection.
    BaselineUpload(sink, strCrashFile);
    StartToDialog(strBare, "bare_dialog.exe", "sys:61536");

    std::vector<double> reporter, baseline;
    for (int i = 0; i < 3; ++i) {
        reporter.push_back(ReporterUpload(sink, strReporter, strCrashFile));
        baseline.push_back(BaselineUpload(sink, strCrashFile));
    }
    std::vector<double> startReporter, startBare, startTemplate;
    for (int i = 0; i < 5; ++i) {  // the reporter without the restart: nothing to restart here
        startReporter.push_back(
            StartToDialog(strReporter, ReporterHandOff(strReporter, strCrashFile), "click:1005 click:1001"));
        startBare.push_back(StartToDialog(strBare, "bare_dialog.exe", "sys:61536"));
        startTemplate.push_back(StartToDialog(strTemplate, "bare_dialog_template.exe", "sys:61536"));
    }
    // Both reporters once before, for the file cache; then in turns, so that both meet the same load.
    std::vector<double> kept, landed;
    const std::string strLarge = MakeCrashFile(s_cbLargeCrashFile, "bench_reporter_large.dmp");
    const std::string strLanded = argc > 1 ? Canonical("Z:" + std::string(argv[1])) : "";
    for (int i = 0; i < 6; ++i) {
        const double dKept = ButtonToDelivered(sink, strReporter, strLarge);
        const double dLanded = strLanded.empty() ? 0 : ButtonToDelivered(sink, strLanded, strLarge);
        if (i > 0) {
            kept.push_back(dKept);
            landed.push_back(dLanded);
        }
    }
    ::DeleteFileA(strLarge.c_str());
    ::DeleteFileA(strCrashFile.c_str());

    const double dReporter = Median(reporter), dBaseline = Median(baseline);
    std::printf("32 MiB crash file, median of 3:\n");
    std::printf("  reporter upload (send pressed to last byte) %8.1f MB/s %s\n", dReporter, Runs(reporter, 1).c_str());
    std::printf("  plain WinInet, 1 KiB writes                 %8.1f MB/s %s\n", dBaseline, Runs(baseline, 1).c_str());
    std::printf("  ratio                                       %8.2f   (target >= 0.90)\n", dReporter / dBaseline);
    std::printf("64 MiB crash file, send pressed to the report at the server, median of 5:\n");
    std::printf("  kept first, then sent from the copy         %8.0f ms  %s\n", Median(kept) * 1000,
                Runs(kept, 1000).c_str());
    if (!strLanded.empty()) {
        std::printf("  sent from the crash file (argv[1])          %8.0f ms  %s\n", Median(landed) * 1000,
                    Runs(landed, 1000).c_str());
        std::printf("  ratio                                       %8.2f   (target <= 1.10)\n",
                    Median(kept) / Median(landed));
    }
    const double dStart = Median(startReporter), dBare = Median(startBare), dTemplate = Median(startTemplate);
    std::printf("Process start to dialog shown, median of 5:\n");
    std::printf("  reporter                                    %8.0f ms  %s\n", dStart * 1000,
                Runs(startReporter, 1000).c_str());
    std::printf("  bare Win32, an empty dialog                 %8.0f ms  %s\n", dBare * 1000,
                Runs(startBare, 1000).c_str());
    std::printf("  ratio                                       %8.2f   (target <= 1.20)\n", dStart / dBare);
    std::printf("  bare Win32, the reporter's dialog template  %8.0f ms  %s\n", dTemplate * 1000,
                Runs(startTemplate, 1000).c_str());
    std::printf("  ratio                                       %8.2f   (target <= 1.20)\n", dStart / dTemplate);
    WIN32_FILE_ATTRIBUTE_DATA attr = {};
    if (::GetFileAttributesExA(strReporter.c_str(), GetFileExInfoStandard, &attr))
        std::printf("Release exe (stripped): %lu bytes (limit 524288)\n", attr.nFileSizeLow);
    return 0;
}
