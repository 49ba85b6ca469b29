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
    : m_hInternet(hInternet), m_hConnection(hConnection), m_hRequest(hRequest) {}

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
    if (!m_hRequest.IsValid())
        return;
    // Closing a request whose answer was not read to its end makes the platform read the rest
    // first, for as long as the server keeps sending: that goes on on a thread of its own, and
    // the delete waits for it only briefly.
    std::unique_ptr<CHandlesToClose> pHandles(new (std::nothrow) CHandlesToClose{});
    if (!pHandles)
        return;  // the holders close them here, however long that takes
    pHandles->ah[0] = m_hRequest.Release();
    pHandles->ah[1] = m_hConnection.Release();
    pHandles->ah[2] = m_hInternet.Release();
    const HANDLE hThread =
        reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, CloseHandlesProc, pHandles.get(), 0, nullptr));
    if (!hThread) {
        for (HINTERNET& h : pHandles->ah)
            CHttpToolA::CloseInternetHandle(h);
        return;
    }
    pHandles.release();  // the thread's now
    ::WaitForSingleObject(hThread, HTTPCLIENT_CLOSE_WAIT_MS);
    ::CloseHandle(hThread);
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
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: szName can not be NULL.", 0);

    return GuardBoundary([&]() -> DWORD {
        DWORD nCount = m_mapHeader.Count(szName);
        try {
            DWORD nIdx = nCount;
            while (nCount <= nLast) {
                const DWORD nIdxAsked = nIdx;
                CHeapPtr<CharT> szValue(CHttpToolA::GetHeader(m_hRequest.Get(), szName, &nIdx));
                if (!szValue)
                    return nCount;
                // Never ask for the same occurrence twice, whatever the platform did to the index.
                if (nIdx <= nIdxAsked)
                    nIdx = SafeAdd(nIdxAsked, 1);
                nCount = SafeAdd(nCount, 1);

                CHeapPtr<CharT> szNameCopy = HeapStrDup(szName);
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
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::GetStatus: m_hRequest can not be NULL.", 0);
    if (m_dwStatus != 0)
        return m_dwStatus;
    m_dwStatus = CHttpToolA::GetStatusCode(m_hRequest.Get());
    return m_dwStatus;
}

template <class CharT>
const CharT* CHttpResponseT<CharT>::GetStatusText() {
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::GetStatusText: m_hRequest can not be NULL.", 0);
    if (!m_szStatusText)
        m_szStatusText.reset(CHttpToolA::GetStatusText(m_hRequest.Get()));
    return m_szStatusText.get();
}

template <class CharT>
BOOL CHttpResponseT<CharT>::GetContentLength(DWORD& cbContLen) {
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::GetContentLength: m_hRequest can not be NULL.", 0);
    return CHttpToolA::GetContentLength(m_hRequest.Get(), cbContLen);
}

template <class CharT>
DWORD CHttpResponseT<CharT>::ReadContent(BYTE* pbyBuff, DWORD cbBuff) {
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::ReadContent: m_hRequest can not be NULL.", 0);
    if (!pbyBuff)
        ThrowErrorMsg("CHttpResponseT::ReadContent: pbyBuff can not be NULL.", 0);
    if (cbBuff == 0)
        ThrowErrorMsg("CHttpResponseT::ReadContent: cbBuff can not be zero.", 0);
    return CHttpToolA::InternetReadFile(m_hRequest.Get(), pbyBuff, cbBuff);
}

template class CHttpResponseT<char>;

}  // namespace Tavon
