// Upload throughput of the client against plain WinInet, and the client's peak working set.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client.h"
#include "sink.h"

using namespace Tavon;

namespace {

std::string MakeFile(DWORD cbSize) {
    char szDir[MAX_PATH];
    GetTempPathA(MAX_PATH, szDir);
    const std::string sPath = std::string(szDir) + "bench_upload_" + std::to_string(cbSize) + ".bin";
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 31 + 7);
    for (DWORD cbDone = 0; cbDone < cbSize;) {
        DWORD cb = cbSize - cbDone < chunk.size() ? cbSize - cbDone : DWORD(chunk.size()), cbWritten = 0;
        WriteFile(h, chunk.data(), cb, &cbWritten, nullptr);
        cbDone += cb;
    }
    CloseHandle(h);
    return sPath;
}

void Check(bool bOk, const char* szWhat) {
    if (!bOk) {
        std::fprintf(stderr, "%s failed (%lu)\n", szWhat, GetLastError());
        std::exit(1);
    }
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One upload through the client; returns the seconds taken.
double ClientUpload(const CSink& sink, const std::string& sPath, DWORD nDesired) {
    const auto t0 = std::chrono::steady_clock::now();
    CHttpClientA client;
    client.AddParam("file", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    client.StartUpload(sink.Url().c_str());
    CHttpResponseA* pResponse = nullptr;
    while (!(pResponse = client.ProceedStep(nDesired))) {
    }
    std::unique_ptr<CHttpResponseA> response(pResponse);
    Check(response->GetStatus() == 200, "client upload");
    return Seconds(t0);
}

// The same request body sent through WinInet directly, in writes of cbChunk bytes.
double BaselineUpload(const CSink& sink, const std::string& sPath, DWORD cbFile, DWORD cbChunk) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string B = HTTPCLIENT_FIXED_BOUNDARY;
    const std::string sHead = "--" + B + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + sPath +
                              "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string sTail = "\r\n--" + B + "--\r\n";
    HINTERNET hInternet = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET hConnection =
        InternetConnectA(hInternet, "127.0.0.1", sink.Port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    const char* aszAccept[] = {"*/*", nullptr};
    HINTERNET hRequest = HttpOpenRequestA(hConnection, "POST", "/upload", "HTTP/1.1", nullptr, aszAccept,
                                          HTTPCLIENT_REQUEST_FLAGS_NOCACHE, 0);
    Check(hRequest != nullptr, "HttpOpenRequest");
    const std::string sType = "Content-Type: " + std::string(HTTPCLIENT_FIXED_UPLOAD_CONTTYPE) + "\r\n";
    HttpAddRequestHeadersA(hRequest, sType.c_str(), DWORD(sType.size()), HTTP_ADDREQ_FLAG_ADD);
    INTERNET_BUFFERSA ib = {};
    ib.dwStructSize = sizeof ib;
    ib.dwBufferTotal = DWORD(sHead.size() + cbFile + sTail.size());
    Check(HttpSendRequestExA(hRequest, &ib, nullptr, 0, 0), "HttpSendRequestEx");

    auto write = [&](const void* p, DWORD cb) {
        for (DWORD cbDone = 0; cbDone < cb;) {
            DWORD cbNow = 0;
            Check(InternetWriteFile(hRequest, static_cast<const char*>(p) + cbDone, cb - cbDone, &cbNow) && cbNow,
                  "InternetWriteFile");
            cbDone += cbNow;
        }
    };
    write(sHead.data(), DWORD(sHead.size()));
    HANDLE hFile = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    std::vector<BYTE> buf(cbChunk);
    DWORD cbRead = 0;
    while (ReadFile(hFile, buf.data(), DWORD(buf.size()), &cbRead, nullptr) && cbRead)
        write(buf.data(), cbRead);
    CloseHandle(hFile);
    write(sTail.data(), DWORD(sTail.size()));
    Check(HttpEndRequestA(hRequest, nullptr, 0, 0), "HttpEndRequest");
    char szAnswer[16];
    DWORD cbAnswer = 0;
    InternetReadFile(hRequest, szAnswer, sizeof szAnswer, &cbAnswer);
    InternetCloseHandle(hRequest);
    InternetCloseHandle(hConnection);
    InternetCloseHandle(hInternet);
    return Seconds(t0);
}

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return double(pmc.PeakWorkingSetSize) / (1 << 20);
}

}  // namespace

int main() {
    CSink sink;
    // The last WinInet column uses the client's chunk size: under Wine the cost is mostly per write.
    std::printf("%-10s %14s %14s %14s %9s %9s %10s %14s\n", "file", "step 1024", "step 57344", "WinInet 64K",
                "1024/base", "57344/base", "peak WS", "WinInet 56K");
    for (DWORD cbFile : {DWORD(1) << 20, DWORD(256) << 20}) {
        const std::string sPath = MakeFile(cbFile);
        // Small files are sent several times so that each figure covers at least 64 MiB.
        const int nReps = cbFile >= (64u << 20) ? 1 : int((64u << 20) / cbFile);
        ClientUpload(sink, sPath, 57344);  // warm the file cache and the connection set-up
        // Best of three for the two figures that are compared; the loaded machine adds noise.
        double t57344 = 1e9, tBase = 1e9, tBase56 = 1e9, t1024 = 0;
        for (int nTrial = 0; nTrial < 3; ++nTrial) {
            double tB = 0, tC = 0, tB56 = 0;
            for (int i = 0; i < nReps; ++i) {
                tB += BaselineUpload(sink, sPath, cbFile, 65536);
                tC += ClientUpload(sink, sPath, 57344);
                tB56 += BaselineUpload(sink, sPath, cbFile, HTTPCLIENT_READ_BUFF_SIZE);
            }
            tBase = tB < tBase ? tB : tBase;
            t57344 = tC < t57344 ? tC : t57344;
            tBase56 = tB56 < tBase56 ? tB56 : tBase56;
        }
        for (int i = 0; i < nReps; ++i)
            t1024 += ClientUpload(sink, sPath, 1024);
        const double dMB = double(cbFile) * nReps / 1e6;
        std::printf("%6lu MiB %9.1f MB/s %9.1f MB/s %9.1f MB/s %9.2f %9.2f %7.1f MiB %9.1f MB/s\n", cbFile >> 20,
                    dMB / t1024, dMB / t57344, dMB / tBase, tBase / t1024, tBase / t57344, PeakWorkingSetMiB(),
                    dMB / tBase56);
        std::fflush(stdout);
        DeleteFileA(sPath.c_str());
    }
    return 0;
}
