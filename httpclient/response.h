// The answer to a finished request. Owns the handles it is given and reads status, headers and
// body on demand; status, status text and each header found are fetched once and kept.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "heap.h"
#include "map.h"
#include "tool.h"

namespace Tavon {

// How long deleting a response waits for the platform to close its handles; past that they are
// closed in the background (the platform may be reading the rest of an endless answer).
inline constexpr DWORD HTTPCLIENT_CLOSE_WAIT_MS = 2000;

template <class CharT>
class CHttpResponseT {
public:
    // Takes ownership of every non-null handle; the request must already be ended.
    CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest);
    virtual ~CHttpResponseT();
    CHttpResponseT(const CHttpResponseT&) = delete;
    CHttpResponseT& operator=(const CHttpResponseT&) = delete;

    // The nIdx-th occurrence in the order sent, "" for an empty value, null when there is none.
    // A missing header is asked for again on every call.
    const CharT* GetHeader(const CharT* szName, DWORD nIdx = 0);
    DWORD GetStatus();
    const CharT* GetStatusText();
    // FALSE when the response has no Content-Length; asked anew on every call.
    BOOL GetContentLength(DWORD& cbContLen);
    // The next piece of the body; 0 at its end.
    DWORD ReadContent(BYTE* pbyBuff, DWORD cbBuff);

    // Loads the occurrences of one header not loaded yet, up to index nLast; returns how many are
    // loaded then. Keeps all of them or, on failure, none.
    DWORD _LoadHeader(const CharT* szName, DWORD nLast = 0xFFFFFFFF);

private:
    CHttpClientMapT<CharT> m_mapHeader;
    // Declared so that destruction closes the request, then the connection, then the session.
    CScopedInternetHandle m_hInternet;
    CScopedInternetHandle m_hConnection;
    CScopedInternetHandle m_hRequest;
    DWORD m_dwStatus = 0;
    CHeapPtr<CharT> m_szStatusText;
};

typedef CHttpResponseT<char> CHttpResponseA;

}  // namespace Tavon
