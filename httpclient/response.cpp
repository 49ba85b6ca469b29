#include "response.h"

#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace Tavon {

template <class CharT>
CHttpResponseT<CharT>::CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest)
    : m_hInternet(hInternet), m_hConnection(hConnection), m_hRequest(hRequest) {}

template <class CharT>
CHttpResponseT<CharT>::~CHttpResponseT() = default;

template <class CharT>
const CharT* CHttpResponseT<CharT>::GetHeader(const CharT* szName, DWORD nIdx) {
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::GetHeader: szName can not be NULL.", 0);
    if (m_mapHeader.Count(szName) == 0 && _LoadHeader(szName) == 0)
        return nullptr;
    return m_mapHeader.Get(szName, nIdx);
}

template <class CharT>
DWORD CHttpResponseT<CharT>::_LoadHeader(const CharT* szName) {
    if (!m_hRequest.IsValid())
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: szName can not be NULL.", 0);

    return GuardBoundary([&]() -> DWORD {
        DWORD nCount = 0;
        try {
            DWORD nIdx = 0;
            for (;;) {
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
