// The library's only contact with WinInet, the file API, urlmon and ole32, plus the
// code-page conversions. Stateless: every operation is static.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <memory>

#include "errors.h"
#include "heap.h"

namespace Tavon {

// Owners for what the library opens internally (heap blocks: heap.h).

template <class Traits>
class CScopedHandleT {
public:
    using Handle = typename Traits::Handle;
    explicit CScopedHandleT(Handle h = Traits::Invalid()) noexcept : m_h(h) {}
    ~CScopedHandleT() { Reset(); }
    CScopedHandleT(const CScopedHandleT&) = delete;
    CScopedHandleT& operator=(const CScopedHandleT&) = delete;

    Handle Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
    Handle Release() noexcept {
        Handle h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Reset(Handle h = Traits::Invalid()) noexcept {
        if (m_h != Traits::Invalid())
            Traits::Close(m_h);
        m_h = h;
    }

private:
    Handle m_h;
};

struct CInternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ::InternetCloseHandle(h); }
};
struct CFileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
typedef CScopedHandleT<CInternetHandleTraits> CScopedInternetHandle;
typedef CScopedHandleT<CFileHandleTraits> CScopedFileHandle;

// Signature of the platform's InternetWriteFile; the write loop takes it as a parameter so that
// a platform which takes fewer (or no) bytes than offered can be reproduced.
typedef BOOL(WINAPI* PFN_HTTPCLIENT_WRITE)(HINTERNET, LPCVOID, DWORD, LPDWORD);

class CHttpToolA {
public:
    CHttpToolA() = delete;

    static HINTERNET OpenInternet(LPCSTR szUserAgent,
                                  DWORD dwAccessType,
                                  LPCSTR szProxyName,
                                  LPCSTR szProxyBypass,
                                  DWORD dwFlags);
    static HINTERNET OpenConnection(HINTERNET hInternet,
                                    LPCSTR szServerAddr,
                                    INTERNET_PORT nServerPort,
                                    LPCSTR szUsrName,
                                    LPCSTR szUsrPwd);
    static HINTERNET OpenRequest(HINTERNET hConnection,
                                 LPCSTR szVerb,
                                 LPCSTR szObjectName,
                                 DWORD dwFlags,
                                 LPCSTR szReferer);
    static void CloseInternetHandle(HINTERNET& hInternet) noexcept;
    static void AddHeader(HINTERNET hRequest, LPCSTR szName, LPCSTR szValue);
    static void SendRequestEx(HINTERNET hRequest, DWORD dwPostedSize);
    // Returns only when every byte has been taken; a write that takes nothing raises 408.
    static void InternetWriteFile(HINTERNET hRequest, const BYTE* pbyBuff, DWORD cbyBuff);
    static void EndRequest(HINTERNET hRequest);
    static void SetInternetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
    // Whether the session would send a request for szHost to a proxy, http or https alike, read
    // from its proxy setting as WinInet reads it: the per-scheme entries, then the bypass list.
    static BOOL UsesProxy(HINTERNET hInternet, LPCSTR szHost);
    // Whether the request, once sent, travels on a secure channel.
    static BOOL IsSecureChannel(HINTERNET hRequest);
    // Whether https through a proxy's tunnel is spoken in TLS: not by Wine's WinInet, which opens
    // the tunnel and then speaks plain text in it; Windows' WinInet does.
    static BOOL TunnelsTlsThroughProxy() noexcept;
    // INVALID_HANDLE_VALUE when the file cannot be opened; the caller decides whether that is an error.
    static HANDLE OpenFile(LPCSTR szFilePath);
    // Files of 4 GiB or more raise 605 naming the file (last error ERROR_FILE_TOO_LARGE).
    static DWORD GetFileSize(HANDLE hFile, LPCSTR szFilePath);
    // The bytes read into pbyBuff; fewer than cbBuff only at the end of the file. Failure: 602.
    static DWORD ReadFile(HANDLE hFile, BYTE* pbyBuff, DWORD cbBuff);
    static LPSTR GetMimeType(HANDLE hFile, UINT CodePage = CP_ACP);
    static LPSTR GetStatusText(HINTERNET hRequest);
    static DWORD GetStatusCode(HINTERNET hRequest);
    // FALSE when the response has no Content-Length.
    static BOOL GetContentLength(HINTERNET hRequest, DWORD& cbContLen);
    // The next bytes of the response body; 0 at its end.
    static DWORD InternetReadFile(HINTERNET hRequest, BYTE* pbyBuff, DWORD cbBuff);
    // Null when the response has no such header (or no further occurrence at *pnIdx).
    static LPSTR GetHeader(HINTERNET hRequest, LPCSTR szName, DWORD* pnIdx = nullptr);
    // "----MIRAS-" + 32 lower-case hex digits + "-"; null when no GUID or memory is available.
    static LPSTR CreateUploadBoundary();
    static LPSTR Unicode2Ansi(LPCWSTR szStr, UINT CodePage = CP_ACP);

    static void _InternetWriteFile(HINTERNET hRequest,
                                   const BYTE* pbyBuff,
                                   DWORD cbyBuff,
                                   PFN_HTTPCLIENT_WRITE pfnWrite);
};

class CHttpToolW {
public:
    CHttpToolW() = delete;

    static LPSTR Unicode2Ansi(LPCWSTR szStr, UINT CodePage = CP_ACP);
    static LPWSTR Ansi2Unicode(LPCSTR szStr, UINT CodePage = CP_ACP);
    static LPSTR GetMimeType(HANDLE hFile, UINT CodePage = CP_ACP);
};

}  // namespace Tavon
