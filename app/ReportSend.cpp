#include "ReportSend.h"

#include <mbstring.h>
#include <wininet.h>

#include <memory>

#include "ErrorText.h"
#include "client.h"

// The report server's URL is the build's (QUILLA_REPORT_URL): a product team builds its own.
#ifndef REPORT_URL
#error REPORT_URL must be defined by the build (QUILLA_REPORT_URL)
#endif

namespace {

// Written in this order and spelling, whatever the server's spelling.
const char* const kDumpedHeaders[] = {
    "Server",  "Date",          "X-Powered-By", "Content-Length",    "Set-Cookie",
    "Expires", "Cache-control", "Connection",   "Transfer-Encoding", "Content-Type",
};

const DWORD kReadBuffSize = 10240;  // one chunk plus its NUL
// Beyond this the answer is neither kept nor read: the debugger takes only ~64 KB of one output
// call anyway, and an endless answer must not keep the worker or its memory growing.
const DWORD kMaxDumpedBody = 1024 * 1024;

// The version as a query value: bytes that would end the request line or the value, or split
// it into further parameters, are percent-encoded; every other byte goes as it always has.
std::string QueryValue(LPCSTR szValue) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string str;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(szValue); *p; ++p) {
        if (*p <= 0x20 || *p == 0x7F || *p == '#' || *p == '&') {
            str += '%';
            str += kHex[*p >> 4];
            str += kHex[*p & 0xF];
        } else {
            str += static_cast<char>(*p);
        }
    }
    return str;
}

// Status line, the listed headers, an empty line, the body when it is text, an empty line.
std::string DumpResponse(Tavon::CHttpResponseA& response) {
    std::string strDump = std::to_string(response.GetStatus()) + " " + response.GetStatusText() + "\r\n";
    for (const char* szName : kDumpedHeaders) {
        if (const char* szValue = response.GetHeader(szName, 0))
            strDump.append(szName).append(": ").append(szValue).append("\r\n");
    }
    strDump += "\r\n";

    const char* szContType = response.GetHeader("Content-Type", 0);
    const bool bIsText = szContType && ::_mbsnicmp(reinterpret_cast<const unsigned char*>(szContType),
                                                   reinterpret_cast<const unsigned char*>("text/"), 5) == 0;

    BYTE abyBuff[kReadBuffSize];
    for (DWORD cbTotal = 0; cbTotal < kMaxDumpedBody;) {
        const DWORD cbWant =
            kMaxDumpedBody - cbTotal < kReadBuffSize - 1 ? kMaxDumpedBody - cbTotal : kReadBuffSize - 1;
        const DWORD cbRead = response.ReadContent(abyBuff, cbWant);
        if (cbRead == 0)
            break;
        cbTotal += cbRead;
        if (bIsText) {
            abyBuff[cbRead] = 0;
            strDump += reinterpret_cast<const char*>(abyBuff);  // up to the first NUL of the chunk
        }
    }
    return strDump + "\r\n";
}

ESendOutcome Classify(DWORD dwStatus) {
    if (dwStatus >= 200 && dwStatus < 300)
        return ESendOutcome::Delivered;
    if (dwStatus >= 400 && dwStatus < 500 && dwStatus != 407 && dwStatus != 408 && dwStatus != 429)
        return ESendOutcome::Final;
    return ESendOutcome::Retry;
}

// What a support team needs to tell the failures apart (a refused connection, a refused
// certificate, a time-out all fail in the same call).
std::string LibraryErrorText(const Tavon::httpclientexceptionA& e) {
    std::string str = "library error " + std::to_string(e.GetErrorCode()) + " \"" + e.GetErrorMessage() + "\"";
    return e.GetWin32LastError() ? str + " with " + LastErrorText(e.GetWin32LastError()) : str;
}

}  // namespace

BOOL IsInternetConnected() {
    DWORD dwFlags = 0;
    if (!::InternetGetConnectedState(&dwFlags, 0))
        return FALSE;
    if (dwFlags & INTERNET_CONNECTION_OFFLINE)
        return FALSE;
    return (dwFlags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)) != 0;
}

CSendResult SendReport(LPCSTR szPath, LPCSTR szFileName, LPCSTR szVersion, BOOL bDump) {
    Tavon::CHttpClientA client;
    try {
        client.SetSessionSettings("My User Agent v1.0", 0, nullptr, nullptr, 0);
        client.SetUseUtf8(FALSE);
#ifdef REPORT_TIMEOUT_MS
        // Test builds wait less for a silent server; otherwise the client's defaults hold.
        client.SetTimeouts(REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS, REPORT_TIMEOUT_MS);
#endif
        if (szFileName) {
            client.SetStrictFileCheck(TRUE);
            client.AddFileParam("file", szPath, szFileName);
        } else {
            client.AddParam("file", szPath, Tavon::HTTPCLIENT_PARAM_FILE);
        }

        const std::string strUrl = std::string(REPORT_URL) + "?version=" + QueryValue(szVersion);
        // No cookies: the reporter has no use for them, and the platform's cookie store is slow
        // with many and replays them on the next report.
        client.StartUploadEx(nullptr, nullptr, strUrl.c_str(),
                             Tavon::HTTPCLIENT_REQUEST_FLAGS_NOCACHE | INTERNET_FLAG_NO_COOKIES);

        std::unique_ptr<Tavon::CHttpResponseA> pResponse;
        while (!pResponse)
            pResponse.reset(client.ProceedStep(1024));

        const DWORD dwStatus = pResponse->GetStatus();
        const CSendResult result = {Classify(dwStatus), std::to_string(dwStatus) + " " + pResponse->GetStatusText()};
        // The answer's status decides: a body that fails to arrive after a 2xx does not make the
        // report worth sending again.
        try {
            if (bDump)
                ::OutputDebugStringA(DumpResponse(*pResponse).c_str());
        } catch (const Tavon::httpclientexceptionA& e) {
            ::OutputDebugStringA(e.GetErrorMessage());
        }
        return result;
    } catch (const Tavon::httpclientexceptionA& e) {
        if (bDump)
            ::OutputDebugStringA(e.GetErrorMessage());
        return {ESendOutcome::Retry, LibraryErrorText(e)};
    }
}
