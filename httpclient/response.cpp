#include "response.h"

#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace Tavon {

namespace {

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t';
}

char* CopyRange(const char* pBegin, const char* pEnd) {
    const size_t cch = size_t(pEnd - pBegin);
    char* sz = static_cast<char*>(std::malloc(cch + 1));
    if (!sz)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    std::memcpy(sz, pBegin, cch);
    sz[cch] = '\0';
    return sz;
}

}  // namespace

template <class CharT>
CHttpResponseT<CharT>::CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest)
    : m_hInternet(hInternet),
      m_hConnection(hConnection),
      m_hRequest(hRequest),
      m_dwStatus(0),
      m_szStatusText(nullptr) {}

template <class CharT>
CHttpResponseT<CharT>::~CHttpResponseT() {
    // Children before parents: request, connection, session.
    CHttpToolA::CloseInternetHandle(m_hRequest);
    CHttpToolA::CloseInternetHandle(m_hConnection);
    CHttpToolA::CloseInternetHandle(m_hInternet);
    std::free(m_szStatusText);
}

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
    if (!m_hRequest)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: m_hRequest can not be NULL.", 0);
    if (!szName)
        ThrowErrorMsg("CHttpResponseT::_LoadHeader: szName can not be NULL.", 0);

    // One query of the whole head: asking the platform for each occurrence by index costs time
    // quadratic in the number of headers.
    CHeapPtr<char> szRaw(CHttpToolA::GetRawHeaders(m_hRequest));
    const size_t cchName = std::strlen(szName);
    return GuardSafeInt([&]() -> DWORD {
        DWORD nCount = 0;
        try {
            // Skips the status line; each entry is "name: value" ended by a NUL.
            const char* p = szRaw.get();
            for (p += std::strlen(p) + 1; *p; p += std::strlen(p) + 1) {
                const char* pColon = std::strchr(p, ':');
                if (!pColon)
                    continue;
                const char* pNameEnd = pColon;
                while (pNameEnd > p && IsBlank(pNameEnd[-1]))
                    --pNameEnd;
                if (size_t(pNameEnd - p) != cchName || ::_strnicmp(p, szName, cchName) != 0)
                    continue;
                const char* pValue = pColon + 1;
                while (IsBlank(*pValue))
                    ++pValue;
                const char* pValueEnd = pValue + std::strlen(pValue);
                while (pValueEnd > pValue && IsBlank(pValueEnd[-1]))
                    --pValueEnd;

                CHeapPtr<CharT> szValue(CopyRange(pValue, pValueEnd));
                CHeapPtr<CharT> szNameCopy(CopyRange(szName, szName + cchName));
                nCount = SafeAdd(nCount, 1);
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
