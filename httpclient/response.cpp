#include "response.h"

#include <process.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "tool.h"

namespace Tavon {

template <class CharT>
CHttpResponseT<CharT>::CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest)
    : m_hInternet(hInternet),
      m_hConnection(hConnection),
      m_hRequest(hRequest),
      m_dwStatus(0),
      m_szStatusText(nullptr) {}

namespace {

// Children before parents: request, connection, session.
struct CHandlesToClose {
    HINTERNET ah[3];
};

unsigned __stdcall CloseHandlesProc(void* pParam) {
    std::unique_ptr<CHandlesToClose> pHandles(static_cast<CHandlesToClose*>(pParam));
    for (HINTERNET& h : pHandles->ah)
        CHttpToolA::CloseInternetHandle(h);
    return 0;
}

}  // namespace

template <class CharT>
CHttpResponseT<CharT>::~CHttpResponseT() {
    std::free(m_szStatusText);
    CHandlesToClose handles = {{m_hRequest, m_hConnection, m_hInternet}};
    // Closing a request whose answer was not read to its end makes the platform read the rest
    // first, for as long as the server keeps sending: that goes on on a thread of its own, and
    // the delete waits for it only briefly.
    if (m_hRequest) {
        if (auto* pHandles = new (std::nothrow) CHandlesToClose(handles)) {
            const HANDLE hThread =
                reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, CloseHandlesProc, pHandles, 0, nullptr));
            if (hThread) {
                ::WaitForSingleObject(hThread, HTTPCLIENT_CLOSE_WAIT_MS);
                ::CloseHandle(hThread);
                return;
            }
            delete pHandles;
        }
    }
    for (HINTERNET& h : handles.ah)
        CHttpToolA::CloseInternetHandle(h);
}

template <class CharT>
const CharT* CHttpResponseT<CharT>::GetHeader(const CharT* szName, DWORD nIdx) {
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::GetHeader: szName can not be NULL.", 0);
    // Only as far as asked: each occurrence is a scan of the whole head by the platform, so
    // loading all of a header repeated n times would cost n scans for the first one.
    if (m_mapHeader.Count(szName) <= nIdx && _LoadHeader(szName, nIdx) <= nIdx)
        return nullptr;
    return m_mapHeader.Get(szName, nIdx);
}

template <class CharT>
DWORD CHttpResponseT<CharT>::_LoadHeader(const CharT* szName, DWORD nLast) {
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: szName can not be NULL.", 0);

    return GuardSafeInt([&]() -> DWORD {
        DWORD nCount = m_mapHeader.Count(szName);
        try {
            DWORD nIdx = nCount;
            while (nCount <= nLast) {
                const DWORD nIdxAsked = nIdx;
                CHeapPtr<CharT> szValue(CHttpToolA::GetHeader(m_hRequest, szName, &nIdx));
                if (!szValue)
                    return nCount;
                // Never ask for the same occurrence twice, whatever the platform did to the index.
                if (nIdx <= nIdxAsked)
                    nIdx = SafeAdd(nIdxAsked, 1);
                nCount = SafeAdd(nCount, 1);

                const size_t cbName = std::strlen(szName) + 1;
                CHeapPtr<CharT> szNameCopy(static_cast<CharT*>(std::malloc(cbName)));
                if (!szNameCopy)
                    ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
                std::memcpy(szNameCopy.get(), szName, cbName);
                m_mapHeader.AddPointerDirectly(szNameCopy.get(), szValue.get(), 0);
                szNameCopy.release();
                szValue.release();
            }
            return nCount;
        } catch (...) {
            // A partial set of occurrences would answer later calls wrongly.
            m_mapHeader.RemoveAll(szName);
            throw;
        }
    });
}

template <class CharT>
DWORD CHttpResponseT<CharT>::GetStatus() {
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::GetStatus: m_hRequest can not be NULL.", 0);
    if (m_dwStatus != 0)
        return m_dwStatus;
    DWORD cb = sizeof m_dwStatus;
    DWORD dwStatus = 0;
    if (!::HttpQueryInfoA(m_hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwStatus, &cb, nullptr))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, ::GetLastError());
    m_dwStatus = dwStatus;
    return m_dwStatus;
}

template <class CharT>
const CharT* CHttpResponseT<CharT>::GetStatusText() {
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::GetStatusText: m_hRequest can not be NULL.", 0);
    if (!m_szStatusText)
        m_szStatusText = CHttpToolA::GetStatusText(m_hRequest);
    return m_szStatusText;
}

template <class CharT>
BOOL CHttpResponseT<CharT>::GetContentLength(DWORD& cbContLen) {
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::GetContentLength: m_hRequest can not be NULL.", 0);
    DWORD cb = sizeof cbContLen;
    if (::HttpQueryInfoA(m_hRequest, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &cbContLen, &cb, nullptr))
        return TRUE;
    DWORD dwErr = ::GetLastError();
    if (dwErr == ERROR_HTTP_HEADER_NOT_FOUND)
        return FALSE;
    ThrowErrorFmt(HTTPCLIENT_ERR_HTTPQUERYINFO, dwErr);
}

template <class CharT>
DWORD CHttpResponseT<CharT>::ReadContent(BYTE* pbyBuff, DWORD cbBuff) {
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::ReadContent: m_hRequest can not be NULL.", 0);
    if (!pbyBuff)
        ThrowErrorMsg("CHttpResponseT::ReadContent: pbyBuff can not be NULL.", 0);
    if (cbBuff == 0)
        ThrowErrorMsg("CHttpResponseT::ReadContent: cbBuff can not be zero.", 0);
    DWORD cbRead = 0;
    if (!::InternetReadFile(m_hRequest, pbyBuff, cbBuff, &cbRead))
        ThrowErrorFmt(HTTPCLIENT_ERR_INTERNETREADFILE, ::GetLastError());
    return cbRead;
}

template class CHttpResponseT<char>;

}  // namespace Tavon
