#include "tool.h"

#include <objbase.h>
#include <urlmon.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace Tavon {

namespace {

const char kOctetStream[] = "application/octet-stream";
const DWORD kMimeWindow = 256;

bool IsUtf(UINT CodePage) {
    return CodePage == CP_UTF8 || CodePage == CP_UTF7;
}

// Both narrow-from-wide conversions; only the exception family differs.
template <bool bWide>
[[noreturn]] void FailConversion(DWORD dwCode, DWORD dwLastError) {
    if constexpr (bWide)
        ThrowErrorFmtW(dwCode, dwLastError);
    else
        ThrowErrorFmt(dwCode, dwLastError);
}

template <bool bWide>
LPSTR WideToNarrow(LPCWSTR szStr, UINT CodePage) {
    int cb = ::WideCharToMultiByte(CodePage, 0, szStr, -1, nullptr, 0, nullptr, nullptr);
    if (cb == 0)
        FailConversion<bWide>(HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE, ::GetLastError());
    CHeapPtr<char> buf(static_cast<LPSTR>(std::malloc(static_cast<size_t>(cb))));
    if (!buf) {
        if constexpr (bWide)
            ThrowErrorW(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        else
            ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    if (::WideCharToMultiByte(CodePage, 0, szStr, -1, buf.get(), cb, nullptr, nullptr) == 0)
        FailConversion<bWide>(HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE, ::GetLastError());
    return buf.release();
}

// One entry of a proxy bypass list: "<local>" is any name without a dot, a leading "*" matches
// any prefix, otherwise the whole name must match.
bool BypassEntryMatches(const std::string& strEntry, LPCSTR szHost) {
    if (strEntry.empty())
        return false;
    if (lstrcmpiA(strEntry.c_str(), "<local>") == 0)
        return std::strchr(szHost, '.') == nullptr;
    if (strEntry[0] == '*') {
        const size_t cchHost = std::strlen(szHost), cchSuffix = strEntry.size() - 1;
        return cchHost >= cchSuffix && lstrcmpiA(szHost + cchHost - cchSuffix, strEntry.c_str() + 1) == 0;
    }
    return lstrcmpiA(strEntry.c_str(), szHost) == 0;
}

bool BypassListMatches(LPCSTR szBypass, LPCSTR szHost) {
    std::string strEntry;
    for (LPCSTR p = szBypass;; ++p) {
        if (*p == ';' || *p == ' ' || *p == '\0') {
            if (BypassEntryMatches(strEntry, szHost))
                return true;
            strEntry.clear();
            if (!*p)
                return false;
        } else {
            strEntry += *p;
        }
    }
}

struct CCoTaskMemDeleter {
    void operator()(void* p) const noexcept { ::CoTaskMemFree(p); }
};

}  // namespace

// ---- WinInet ---------------------------------------------------------------------------

HINTERNET CHttpToolA::OpenInternet(LPCSTR szUserAgent,
                                   DWORD dwAccessType,
                                   LPCSTR szProxyName,
                                   LPCSTR szProxyBypass,
                                   DWORD dwFlags) {
    HINTERNET h = ::InternetOpenA(szUserAgent, dwAccessType, szProxyName, szProxyBypass, dwFlags);
    if (!h)
        ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETOPEN, ::GetLastError());
    return h;
}

HINTERNET CHttpToolA::OpenConnection(HINTERNET hInternet,
                                     LPCSTR szServerAddr,
                                     INTERNET_PORT nServerPort,
                                     LPCSTR szUsrName,
                                     LPCSTR szUsrPwd) {
    if (!hInternet)
        ThrowErrorMsg("CHttpToolA::OpenConnection: hInternet can not be NULL.", 0);
    if (!szServerAddr)
        ThrowErrorMsg("CHttpToolA::OpenConnection: szServerAddr can not be NULL.", 0);
    if (!*szServerAddr)
        ThrowErrorMsg("CHttpToolA::OpenConnection: szServerAddr can not be an empty string.", 0);

    HINTERNET h =
        ::InternetConnectA(hInternet, szServerAddr, nServerPort, szUsrName, szUsrPwd, INTERNET_SERVICE_HTTP, 0, 0);
    if (!h)
        ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETCONNECT, ::GetLastError());
    return h;
}

HINTERNET CHttpToolA::OpenRequest(HINTERNET hConnection,
                                  LPCSTR szVerb,
                                  LPCSTR szObjectName,
                                  DWORD dwFlags,
                                  LPCSTR szReferer) {
    if (!hConnection)
        ThrowErrorMsg("CHttpToolA::OpenRequest: hConnection can not be NULL.", 0);
    if (!szObjectName)
        ThrowErrorMsg("CHttpToolA::OpenRequest: szObjectName can not be NULL.", 0);
    if (!*szObjectName)
        ThrowErrorMsg("CHttpToolA::OpenRequest: szObjectName can not be an empty string.", 0);

    LPCSTR aszAcceptTypes[] = {"*/*", nullptr};
    HINTERNET h =
        ::HttpOpenRequestA(hConnection, szVerb, szObjectName, "HTTP/1.1", szReferer, aszAcceptTypes, dwFlags, 0);
    if (!h)
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPOPENREQUEST, ::GetLastError());
    return h;
}

void CHttpToolA::CloseInternetHandle(HINTERNET& hInternet) noexcept {
    if (!hInternet)
        return;
    ::InternetCloseHandle(hInternet);
    hInternet = nullptr;
}

void CHttpToolA::AddHeader(HINTERNET hRequest, LPCSTR szName, LPCSTR szValue) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::AddHeader: hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpToolA::AddHeader: szName can not be NULL.", 0);
    if (!szValue)
        szValue = "";

    const size_t cchName = std::strlen(szName), cchValue = std::strlen(szValue);
    const size_t cchLine = cchName + cchValue + 4;
    CHeapPtr<char> line(static_cast<LPSTR>(std::malloc(cchLine + 1)));
    if (!line)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    char* p = line.get();
    std::memcpy(p, szName, cchName);
    std::memcpy(p + cchName, ": ", 2);
    std::memcpy(p + cchName + 2, szValue, cchValue);
    std::memcpy(p + cchName + 2 + cchValue, "\r\n", 3);

    if (!::HttpAddRequestHeadersA(hRequest, line.get(), static_cast<DWORD>(cchLine), HTTP_ADDREQ_FLAG_ADD))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS, ::GetLastError());
}

void CHttpToolA::SendRequestEx(HINTERNET hRequest, DWORD dwPostedSize) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::SendRequestEx: hRequest can not be NULL.", 0);

    static_assert(sizeof(INTERNET_BUFFERSA) == 40, "32-bit INTERNET_BUFFERSA expected");
    INTERNET_BUFFERSA ib = {};
    ib.dwStructSize = sizeof ib;
    ib.dwBufferTotal = dwPostedSize;
    if (!::HttpSendRequestExA(hRequest, &ib, nullptr, 0, 0))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPSENDREQUESTEX, ::GetLastError());
}

void CHttpToolA::InternetWriteFile(HINTERNET hRequest, const BYTE* pbyBuff, DWORD cbyBuff) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::InternetWriteFile: hRequest can not be NULL.", 0);
    if (!pbyBuff)
        ThrowErrorMsg("CHttpToolA::InternetWriteFile: pbyBuff can not be NULL.", 0);
    if (cbyBuff == 0)
        ThrowErrorMsg("CHttpToolA::InternetWriteFile: cbyBuff can not be zero.", 0);
    _InternetWriteFile(hRequest, pbyBuff, cbyBuff, ::InternetWriteFile);
}

void CHttpToolA::_InternetWriteFile(HINTERNET hRequest,
                                    const BYTE* pbyBuff,
                                    DWORD cbyBuff,
                                    PFN_HTTPCLIENT_WRITE pfnWrite) {
    DWORD cbSent = 0;
    while (cbSent < cbyBuff) {
        DWORD cbWritten = 0;
        if (!pfnWrite(hRequest, pbyBuff + cbSent, cbyBuff - cbSent, &cbWritten))
            ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETWRITEFILE, ::GetLastError());
        // A "successful" write that takes nothing would repeat forever: the connection is unusable.
        if (cbWritten == 0)
            ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETWRITEFILE, ERROR_INTERNET_CONNECTION_ABORTED);
        cbSent += cbWritten < cbyBuff - cbSent ? cbWritten : cbyBuff - cbSent;
    }
}

void CHttpToolA::EndRequest(HINTERNET hRequest) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::EndRequest: hRequest can not be NULL.", 0);
    ::SetLastError(ERROR_SUCCESS);
    if (!::HttpEndRequestA(hRequest, nullptr, 0, 0))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPENDREQUEST, ::GetLastError());
    // A receive timeout while waiting for the answer can end the request "successfully" without
    // any status line; that is a failure, not an answer.
    const DWORD dwEndErr = ::GetLastError();
    DWORD dwStatus = 0, cb = sizeof dwStatus;
    if (!::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &cb, nullptr) ||
        dwStatus == 0)
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPENDREQUEST, dwEndErr ? dwEndErr : ERROR_INTERNET_TIMEOUT);
}

void CHttpToolA::SetInternetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
    if (!::InternetSetOptionA(hInternet, dwOption, lpBuffer, dwBufferLength))
        ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETSETOPTION, ::GetLastError());
}

BOOL CHttpToolA::TunnelsTlsThroughProxy() noexcept {
    // Wine marks its ntdll with this export; measured with Wine 8.
    const HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    return !(hNtdll && ::GetProcAddress(hNtdll, "wine_get_version"));
}

BOOL CHttpToolA::UsesProxy(HINTERNET hInternet, LPCSTR szHost) {
    if (!hInternet)
        ThrowErrorMsg("CHttpToolA::UsesProxy: hInternet can not be NULL.", 0);
    if (!szHost)
        ThrowErrorMsg("CHttpToolA::UsesProxy: szHost can not be NULL.", 0);

    // A session that cannot report its proxy setting counts as direct, as when it has none.
    DWORD cb = 0;
    ::InternetQueryOptionA(hInternet, INTERNET_OPTION_PROXY, nullptr, &cb);
    if (cb < sizeof(INTERNET_PROXY_INFO))
        return FALSE;
    CHeapPtr<BYTE> pbyInfo(static_cast<BYTE*>(std::malloc(cb)));
    if (!pbyInfo)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    if (!::InternetQueryOptionA(hInternet, INTERNET_OPTION_PROXY, pbyInfo.get(), &cb))
        return FALSE;
    const auto* pInfo = reinterpret_cast<const INTERNET_PROXY_INFO*>(pbyInfo.get());
    LPCSTR szProxy = reinterpret_cast<LPCSTR>(pInfo->lpszProxy);
    if (pInfo->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !szProxy || !*szProxy)
        return FALSE;
    // "http=host:port https=..." names a proxy per scheme, and a plain name serves every scheme.
    // WinInet here sends https requests to the http entry too (measured; an https entry is unused).
    if (std::strchr(szProxy, '=')) {
        std::string strList = std::string(" ") + szProxy;
        for (char& c : strList)
            c = static_cast<char>(std::tolower(static_cast<BYTE>(c)));
        if (strList.find(" http=") == std::string::npos && strList.find(";http=") == std::string::npos)
            return FALSE;
    }
    LPCSTR szBypass = reinterpret_cast<LPCSTR>(pInfo->lpszProxyBypass);
    return !(szBypass && BypassListMatches(szBypass, szHost));
}

BOOL CHttpToolA::IsSecureChannel(HINTERNET hRequest) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::IsSecureChannel: hRequest can not be NULL.", 0);
    // A request that cannot report its security flags is not known to be secure.
    DWORD dwFlags = 0, cb = sizeof dwFlags;
    return ::InternetQueryOptionA(hRequest, INTERNET_OPTION_SECURITY_FLAGS, &dwFlags, &cb) &&
           (dwFlags & SECURITY_FLAG_SECURE);
}

LPSTR CHttpToolA::GetStatusText(HINTERNET hRequest) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::GetStatusText: hRequest can not be NULL.", 0);

    DWORD cbText = 0;
    BOOL bSized = ::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_TEXT, nullptr, &cbText, nullptr);
    DWORD dwErr = ::GetLastError();
    if (!bSized && dwErr != ERROR_INSUFFICIENT_BUFFER)
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, dwErr);
    if (bSized || cbText == 0) {
        // Nothing to ask for: the status line carries no reason phrase.
        return HeapStrDup("").release();
    }

    CHeapPtr<char> buf(static_cast<LPSTR>(std::malloc(cbText)));
    if (!buf)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    if (!::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_TEXT, buf.get(), &cbText, nullptr))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, ::GetLastError());
    return buf.release();
}

DWORD CHttpToolA::GetStatusCode(HINTERNET hRequest) {
    DWORD dwStatus = 0, cb = sizeof dwStatus;
    if (!::HttpQueryInfoA(hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &cb, nullptr))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, ::GetLastError());
    return dwStatus;
}

BOOL CHttpToolA::GetContentLength(HINTERNET hRequest, DWORD& cbContLen) {
    DWORD cb = sizeof cbContLen;
    if (::HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &cbContLen, &cb, nullptr))
        return TRUE;
    const DWORD dwErr = ::GetLastError();
    if (dwErr == ERROR_HTTP_HEADER_NOT_FOUND)
        return FALSE;
    ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, dwErr);
}

DWORD CHttpToolA::InternetReadFile(HINTERNET hRequest, BYTE* pbyBuff, DWORD cbBuff) {
    DWORD cbRead = 0;
    if (!::InternetReadFile(hRequest, pbyBuff, cbBuff, &cbRead))
        ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETREADFILE, ::GetLastError());
    return cbRead;
}

LPSTR CHttpToolA::GetHeader(HINTERNET hRequest, LPCSTR szName, DWORD* pnIdx) {
    if (!hRequest)
        ThrowErrorMsg("CHttpToolA::GetHeader: hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpToolA::GetHeader: szName can not be NULL.", 0);

    const DWORD nIdxBefore = pnIdx ? *pnIdx : 0;
    const DWORD cbName = static_cast<DWORD>(std::strlen(szName) + 1);

    // HTTP_QUERY_CUSTOM takes the header name in the very buffer that receives the value.
    CHeapPtr<char> buf = HeapStrDup(szName);
    DWORD cbBuf = cbName;
    if (::HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, buf.get(), &cbBuf, pnIdx))
        return buf.release();

    DWORD dwErr = ::GetLastError();
    buf.reset();
    if (pnIdx)
        *pnIdx = nIdxBefore;
    if (dwErr == ERROR_HTTP_HEADER_NOT_FOUND)
        return nullptr;
    if (dwErr != ERROR_INSUFFICIENT_BUFFER)
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, dwErr);

    // The name must fit again even if the platform asked for less.
    if (cbBuf < cbName)
        cbBuf = cbName;
    buf.reset(static_cast<LPSTR>(std::malloc(cbBuf)));
    if (!buf)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    std::memcpy(buf.get(), szName, cbName);
    if (!::HttpQueryInfoA(hRequest, HTTP_QUERY_CUSTOM, buf.get(), &cbBuf, pnIdx))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, ::GetLastError());
    return buf.release();
}

// ---- files -----------------------------------------------------------------------------

HANDLE CHttpToolA::OpenFile(LPCSTR szFilePath) {
    if (!szFilePath)
        ThrowErrorMsg("CHttpToolA::OpenFile: szFilePath can not be NULL.", 0);
    return ::CreateFileA(szFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

DWORD CHttpToolA::GetFileSize(HANDLE hFile, LPCSTR szFilePath) {
    if (!hFile)
        ThrowErrorMsg("CHttpToolA::GetFileSize: hFile can not be NULL.", 0);
    if (!szFilePath)
        ThrowErrorMsg("CHttpToolA::GetFileSize: szFilePath can not be NULL.", 0);

    // Sizes are 32-bit on the wire: a silently truncated size would declare a wrong body length.
    DWORD dwHigh = 0;
    ::SetLastError(NO_ERROR);
    DWORD dwLow = ::GetFileSize(hFile, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE) {
        DWORD dwErr = ::GetLastError();
        if (dwErr != NO_ERROR)
            ThrowErrorFmt(HTTPCLIENT_ERR_GETFILESIZE, dwErr, szFilePath);
    }
    if (dwHigh != 0)
        ThrowErrorFmt(HTTPCLIENT_ERR_GETFILESIZE, ERROR_FILE_TOO_LARGE, szFilePath);
    return dwLow;
}

DWORD CHttpToolA::ReadFile(HANDLE hFile, BYTE* pbyBuff, DWORD cbBuff) {
    if (!pbyBuff)
        ThrowErrorMsg("CHttpToolA::ReadFile: pbyBuff can not be NULL.", 0);
    DWORD cbRead = 0;
    if (!::ReadFile(hFile, pbyBuff, cbBuff, &cbRead, nullptr))
        ThrowErrorFmt(HTTPCLIENT_ERR_READFILE, ::GetLastError());
    return cbRead;
}

// ---- MIME type, boundary ---------------------------------------------------------------

LPSTR CHttpToolA::GetMimeType(HANDLE hFile, UINT CodePage) {
    if (!hFile)
        ThrowErrorMsg("CHttpToolA::GetMimeType: hFile can not be NULL.", 0);
    return GuardBoundary([&] { return CHttpToolW::GetMimeType(hFile, CodePage); });
}

LPSTR CHttpToolW::GetMimeType(HANDLE hFile, UINT CodePage) {
    if (!hFile)
        ThrowAnsiAsWide("CHttpToolW::GetMimeType: hFile can not be NULL.", 0, 0);
    if (IsUtf(CodePage))
        ThrowAnsiAsWide("CHttpToolW::GetMimeType: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.", 0,
                        0);

    if (hFile != INVALID_HANDLE_VALUE) {
        BYTE abyHead[kMimeWindow];
        DWORD cbRead = 0;
        if (!::ReadFile(hFile, abyHead, kMimeWindow, &cbRead, nullptr))
            ThrowErrorFmtW(HTTPCLIENT_ERR_READFILE, ::GetLastError());
        if (::SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
            ThrowErrorFmtW(HTTPCLIENT_ERR_SETFILEPOINTER, ::GetLastError());

        LPWSTR szMimeRaw = nullptr;
        HRESULT hr = ::FindMimeFromData(nullptr, nullptr, abyHead, cbRead, nullptr, 0, &szMimeRaw, 0);
        std::unique_ptr<WCHAR, CCoTaskMemDeleter> szMime(szMimeRaw);
        // Callers put the result straight into a part header: never hand them null.
        if (hr == S_OK && szMime)
            return Unicode2Ansi(szMime.get(), CodePage);
    }

    LPSTR sz = HeapStrDupNoThrow(kOctetStream);
    if (!sz)
        ThrowErrorW(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    return sz;
}

LPSTR CHttpToolA::CreateUploadBoundary() {
    GUID guid;
    if (FAILED(::CoCreateGuid(&guid)))
        return nullptr;
    LPSTR sz = static_cast<LPSTR>(std::malloc(44));
    if (!sz)
        return nullptr;
    std::snprintf(sz, 44, "----MIRAS-%.08x%.04x%.04x%.02x%.02x%.02x%.02x%.02x%.02x%.02x%.02x-",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return sz;
}

// ---- code pages ------------------------------------------------------------------------

LPSTR CHttpToolA::Unicode2Ansi(LPCWSTR szStr, UINT CodePage) {
    if (IsUtf(CodePage))
        ThrowErrorMsg("CHttpToolA::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.", 0);
    if (!szStr)
        return nullptr;
    return WideToNarrow<false>(szStr, CodePage);
}

LPSTR CHttpToolW::Unicode2Ansi(LPCWSTR szStr, UINT CodePage) {
    if (IsUtf(CodePage))
        ThrowAnsiAsWide("CHttpToolW::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.", 0,
                        0);
    if (!szStr)
        return nullptr;
    return WideToNarrow<true>(szStr, CodePage);
}

LPWSTR CHttpToolW::Ansi2Unicode(LPCSTR szStr, UINT CodePage) {
    if (IsUtf(CodePage))
        ThrowAnsiAsWide("CHttpToolW::Ansi2Unicode: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.", 0,
                        0);
    if (!szStr)
        return nullptr;
    int cch = ::MultiByteToWideChar(CodePage, 0, szStr, -1, nullptr, 0);
    if (cch == 0)
        ThrowErrorFmtW(HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR, ::GetLastError());
    CHeapPtr<WCHAR> buf(static_cast<LPWSTR>(std::malloc(sizeof(WCHAR) * static_cast<size_t>(cch))));
    if (!buf)
        ThrowErrorW(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    if (::MultiByteToWideChar(CodePage, 0, szStr, -1, buf.get(), cch) == 0)
        ThrowErrorFmtW(HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR, ::GetLastError());
    return buf.release();
}

void ThrowWideAsAnsi(const httpclientexceptionW& e) {
    CHeapPtr<char> szMsg;
    try {
        szMsg.reset(CHttpToolA::Unicode2Ansi(e.GetErrorMessage(), CP_ACP));
    } catch (const httpclientexceptionA&) {
        // The code and last error still tell what happened.
    }
    throw httpclientexceptionA(szMsg.get(), e.GetErrorCode(), e.GetWin32LastError());
}

void ThrowAnsiAsWide(LPCSTR szErrMsg, DWORD dwErrorCode, DWORD dwLastError) {
    CHeapPtr<WCHAR> szMsg;
    try {
        szMsg.reset(CHttpToolW::Ansi2Unicode(szErrMsg, CP_ACP));
    } catch (const httpclientexceptionW&) {
    }
    throw httpclientexceptionW(szMsg.get(), dwErrorCode, dwLastError);
}

}  // namespace Tavon
