#include "poststat.h"

#include "errors.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>

namespace Tavon {

namespace {

template <class CharT>
bool StrEqual(const CharT* szA, const CharT* szB) noexcept {
    for (; *szA == *szB; ++szA, ++szB) {
        if (!*szA)
            return true;
    }
    return false;
}

// A copy that cannot be allocated leaves the field null: progress texts are informational and
// must not make a write fail.
template <class CharT>
void SetString(CharT*& szField, const CharT* szNew) noexcept {
    if (!szNew) {
        std::free(szField);
        szField = nullptr;
        return;
    }
    if (szField && StrEqual(szField, szNew))
        return;
    CharT* szCopy = HeapStrDupNoThrow(szNew);
    std::free(szField);
    szField = szCopy;
}

}  // namespace

template <class CharT>
CHttpPostStatT<CharT>::CHttpPostStatT()
    : m_bIsActive(FALSE),
      m_nActualTotalByte(0),
      m_nActualPostedByte(0),
      m_nTotalByte(0),
      m_nPostedByte(0),
      m_nTotalCount(0),
      m_nPostedCount(0),
      m_nFileCount(0),
      m_nPostedFileCount(0),
      m_szCurrParamName(nullptr),
      m_szCurrParamFilePath(nullptr),
      m_nCurrParamTotalByte(0),
      m_nCurrParamPostedByte(0) {}

template <class CharT>
CHttpPostStatT<CharT>::CHttpPostStatT(const CHttpPostStatT& other) : CHttpPostStatT() {
    *this = other;
}

template <class CharT>
CHttpPostStatT<CharT>& CHttpPostStatT<CharT>::operator=(const CHttpPostStatT& other) {
    if (this == &other)
        return *this;
    _Reset();
    m_bIsActive = other.m_bIsActive;
    m_nActualTotalByte = other.m_nActualTotalByte;
    m_nActualPostedByte = other.m_nActualPostedByte;
    m_nTotalByte = other.m_nTotalByte;
    m_nPostedByte = other.m_nPostedByte;
    m_nTotalCount = other.m_nTotalCount;
    m_nPostedCount = other.m_nPostedCount;
    m_nFileCount = other.m_nFileCount;
    m_nPostedFileCount = other.m_nPostedFileCount;
    SetString(m_szCurrParamName, other.m_szCurrParamName);
    SetString(m_szCurrParamFilePath, other.m_szCurrParamFilePath);
    m_nCurrParamTotalByte = other.m_nCurrParamTotalByte;
    m_nCurrParamPostedByte = other.m_nCurrParamPostedByte;
    return *this;
}

template <class CharT>
CHttpPostStatT<CharT>::~CHttpPostStatT() {
    std::free(m_szCurrParamName);
    std::free(m_szCurrParamFilePath);
}

template <class CharT>
void CHttpPostStatT<CharT>::_CheckActive(LPCSTR szErrMsg) const {
    if (!m_bIsActive)
        ThrowErrorMsg(szErrMsg, HTTPCLIENT_ERR_NOT_SPECIFIED);
}

template <class CharT>
BOOL CHttpPostStatT<CharT>::IsActive() const {
    return m_bIsActive;
}

#define HTTPCLIENT_POSTSTAT_READER(type, name, expr)                                \
    template <class CharT>                                                          \
    type CHttpPostStatT<CharT>::name() const {                                      \
        _CheckActive("CHttpPostStatT::" #name ": The post context is not active."); \
        return expr;                                                                \
    }

HTTPCLIENT_POSTSTAT_READER(DWORD, ActualTotalByte, m_nActualTotalByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, ActualPostedByte, m_nActualPostedByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, TotalByte, m_nTotalByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, PostedByte, m_nPostedByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, TotalCount, m_nTotalCount)
HTTPCLIENT_POSTSTAT_READER(DWORD, PostedCount, m_nPostedCount)
HTTPCLIENT_POSTSTAT_READER(DWORD, FileCount, m_nFileCount)
HTTPCLIENT_POSTSTAT_READER(DWORD, PostedFileCount, m_nPostedFileCount)
HTTPCLIENT_POSTSTAT_READER(const CharT*, CurrParamName, m_szCurrParamName)
HTTPCLIENT_POSTSTAT_READER(const CharT*, CurrParamFilePath, m_szCurrParamFilePath)
HTTPCLIENT_POSTSTAT_READER(DWORD, CurrParamTotalByte, m_nCurrParamTotalByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, CurrParamPostedByte, m_nCurrParamPostedByte)
HTTPCLIENT_POSTSTAT_READER(DWORD, CurrParamRemainByte, m_nCurrParamTotalByte - m_nCurrParamPostedByte)
HTTPCLIENT_POSTSTAT_READER(BOOL, CurrParamIsFile, m_szCurrParamFilePath != nullptr)
HTTPCLIENT_POSTSTAT_READER(BOOL, CurrParamIsComplete, m_nCurrParamTotalByte == m_nCurrParamPostedByte)

#undef HTTPCLIENT_POSTSTAT_READER

template <class CharT>
void CHttpPostStatT<CharT>::_Activate(DWORD nActualTotalByte, DWORD nTotalByte, DWORD nTotalCount, DWORD nFileCount) {
    _Reset();
    m_nActualTotalByte = nActualTotalByte;
    m_nTotalByte = nTotalByte;
    m_nTotalCount = nTotalCount;
    m_nFileCount = nFileCount;
    m_bIsActive = TRUE;
}

template <class CharT>
void CHttpPostStatT<CharT>::_TestStartNewEntry(const CharT*, DWORD, BOOL, const CharT*) const {
    _CheckActive("CHttpPostStatT::_TestStartNewEntry: The post context is not active.");
}

template <class CharT>
void CHttpPostStatT<CharT>::_StartNewEntry(const CharT* szName,
                                           DWORD nTotalByte,
                                           BOOL bIsFile,
                                           const CharT* szFilePath) {
    _TestStartNewEntry(szName, nTotalByte, bIsFile, szFilePath);
    if (bIsFile) {
        ++m_nPostedFileCount;
        SetString(m_szCurrParamFilePath, szFilePath);
    } else {
        SetString<CharT>(m_szCurrParamFilePath, nullptr);
    }
    ++m_nPostedCount;
    SetString(m_szCurrParamName, szName);
    m_nCurrParamTotalByte = nTotalByte;
    m_nCurrParamPostedByte = 0;
}

// The counters only grow towards totals the client computed with checked arithmetic; a wrap
// here would mean a body longer than it declared, so it is refused before the write.
template <class CharT>
void CHttpPostStatT<CharT>::_TestAddPostedBytes(DWORD nBytes) const {
    _CheckActive("CHttpPostStatT::_TestAddPostedBytes: The post context is not active.");
    GuardBoundary([&] {
        SafeAdd(m_nCurrParamPostedByte, nBytes);
        SafeAdd(m_nPostedByte, nBytes);
    });
    _TestAddActualPostedBytes(nBytes);
}

template <class CharT>
void CHttpPostStatT<CharT>::_AddPostedBytes(DWORD nBytes) {
    _TestAddPostedBytes(nBytes);
    m_nCurrParamPostedByte += nBytes;
    m_nPostedByte += nBytes;
    _AddActualPostedBytes(nBytes);
}

template <class CharT>
void CHttpPostStatT<CharT>::_TestAddActualPostedBytes(DWORD nBytes) const {
    _CheckActive("CHttpPostStatT::_TestAddActualPostedBytes: The post context is not active.");
    GuardBoundary([&] { SafeAdd(m_nActualPostedByte, nBytes); });
}

template <class CharT>
void CHttpPostStatT<CharT>::_AddActualPostedBytes(DWORD nBytes) {
    _TestAddActualPostedBytes(nBytes);
    m_nActualPostedByte += nBytes;
}

template <class CharT>
void CHttpPostStatT<CharT>::_Reset() {
    m_bIsActive = FALSE;
    m_nActualTotalByte = m_nActualPostedByte = 0;
    m_nTotalByte = m_nPostedByte = 0;
    m_nTotalCount = m_nPostedCount = 0;
    m_nFileCount = m_nPostedFileCount = 0;
    SetString<CharT>(m_szCurrParamName, nullptr);
    SetString<CharT>(m_szCurrParamFilePath, nullptr);
    m_nCurrParamTotalByte = m_nCurrParamPostedByte = 0;
}

template class CHttpPostStatT<char>;

}  // namespace Tavon
