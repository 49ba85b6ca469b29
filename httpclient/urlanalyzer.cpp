#include "urlanalyzer.h"

#include "errors.h"
#include "heap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Tavon {

namespace {

template <class CharT>
DWORD StrLen(const CharT* sz) noexcept {
    return DWORD(HeapStrLen(sz));
}

// Bytes the character at sz occupies: two for a lead byte, unless its trail would be the NUL.
template <class CharT>
DWORD CharBytes(const CharT* sz, UINT CodePage) noexcept {
    return (IsDBCSLeadByteEx(CodePage, static_cast<BYTE>(sz[0])) && sz[1]) ? 2 : 1;
}

}  // namespace

template <class CharT>
CHttpUrlAnalyzerT<CharT>::CHttpUrlAnalyzerT()
    : m_nSchemePos(0),
      m_nSchemeLen(0),
      m_nAddressPos(0),
      m_nAddressLen(0),
      m_nPortPos(0),
      m_nPortLen(0),
      m_nObjectPos(0),
      m_nObjectLen(0),
      m_nQueryPos(0),
      m_nQueryLen(0),
      m_nFragmentPos(0),
      m_nFragmentLen(0) {}

template <class CharT>
void CHttpUrlAnalyzerT<CharT>::Analyze(const CharT* szUrl, UINT CodePage) {
    if (CodePage == CP_UTF8 || CodePage == CP_UTF7)
        ThrowErrorMsg("CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
                      HTTPCLIENT_ERR_NOT_SPECIFIED);

    *this = CHttpUrlAnalyzerT();
    if (!szUrl || !szUrl[0])
        return;

    // The first "://" anywhere ends the scheme, even inside what reads as a query.
    DWORD nPos = 0;
    for (DWORD i = 0; szUrl[i];) {
        if (szUrl[i] == CharT(':') && szUrl[i + 1] == CharT('/') && szUrl[i + 2] == CharT('/')) {
            m_nSchemeLen = i;
            nPos = i + 3;
            break;
        }
        i += CharBytes(szUrl + i, CodePage);
    }
    m_nAddressPos = nPos;

    // Address, then everything after its first ":" is port text.
    bool bColon = false;
    while (szUrl[nPos] && szUrl[nPos] != CharT('/') && szUrl[nPos] != CharT('?') && szUrl[nPos] != CharT('#')) {
        if (!bColon && szUrl[nPos] == CharT(':')) {
            bColon = true;
            m_nPortPos = ++nPos;
            continue;
        }
        const DWORD n = CharBytes(szUrl + nPos, CodePage);
        (bColon ? m_nPortLen : m_nAddressLen) += n;
        nPos += n;
    }
    if (!bColon)
        m_nPortPos = nPos;
    m_nObjectPos = nPos;

    // Object, then from the first "?" the query, up to the first "#".
    bool bQuery = false;
    while (szUrl[nPos] && szUrl[nPos] != CharT('#')) {
        if (!bQuery && szUrl[nPos] == CharT('?')) {
            bQuery = true;
            m_nQueryPos = nPos;
        }
        const DWORD n = CharBytes(szUrl + nPos, CodePage);
        (bQuery ? m_nQueryLen : m_nObjectLen) += n;
        nPos += n;
    }
    if (!bQuery)
        m_nQueryPos = nPos;
    m_nFragmentPos = nPos;
    m_nFragmentLen = StrLen(szUrl + nPos);
}

// The readers index szUrl by the analysis, so a string other than the analysed one would be
// read out of bounds: its length must be the one analysed.
template <class CharT>
void CHttpUrlAnalyzerT<CharT>::_CheckUrl(const CharT* szUrl, LPCSTR szOp) const {
    const DWORD nLen = m_nFragmentPos + m_nFragmentLen;
    if (!szUrl) {
        if (nLen == 0)
            return;
        char szMsg[96];
        std::snprintf(szMsg, sizeof szMsg, "CHttpUrlAnalyzerT::%s: szUrl can not be NULL.", szOp);
        ThrowErrorMsg(szMsg, HTTPCLIENT_ERR_NOT_SPECIFIED);
    }
    if (StrLen(szUrl) != nLen) {
        char szMsg[96];
        std::snprintf(szMsg, sizeof szMsg, "CHttpUrlAnalyzerT::%s: szUrl is not the analyzed URL.", szOp);
        ThrowErrorMsg(szMsg, HTTPCLIENT_ERR_NOT_SPECIFIED);
    }
}

template <class CharT>
BOOL CHttpUrlAnalyzerT<CharT>::IsSecure(const CharT* szUrl) const {
    _CheckUrl(szUrl, "IsSecure");
    if (m_nSchemeLen != 5)
        return FALSE;
    static const char kHttps[] = "HTTPS";
    for (DWORD i = 0; i < 5; ++i) {
        CharT c = szUrl[m_nSchemePos + i];
        if (c >= CharT('a') && c <= CharT('z'))
            c = CharT(c - CharT('a') + CharT('A'));
        if (c != CharT(kHttps[i]))
            return FALSE;
    }
    return TRUE;
}

template <class CharT>
INTERNET_PORT CHttpUrlAnalyzerT<CharT>::GetPort(const CharT* szUrl) const {
    _CheckUrl(szUrl, "GetPort");
    if (m_nPortLen == 0)
        return IsSecure(szUrl) ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    if (m_nPortLen > 5)
        ThrowError(HTTPCLIENT_ERR_INVALID_PORT);

    char szPort[6];
    for (DWORD i = 0; i < m_nPortLen; ++i)
        szPort[i] = static_cast<char>(szUrl[m_nPortPos + i]);
    szPort[m_nPortLen] = '\0';
    // strtoul's reading on purpose: blanks and a sign before the digits pass, as they always have.
    char* pEnd = nullptr;
    const unsigned long nPort = std::strtoul(szPort, &pEnd, 10);
    if (*pEnd || nPort > 65535)
        ThrowError(HTTPCLIENT_ERR_INVALID_PORT);
    return static_cast<INTERNET_PORT>(nPort);
}

template <class CharT>
CharT* CHttpUrlAnalyzerT<CharT>::GetServerAddress(const CharT* szUrl) const {
    _CheckUrl(szUrl, "GetServerAddress");
    if (m_nAddressLen == 0)
        ThrowError(HTTPCLIENT_ERR_INVALID_URL);
    return GuardBoundary(
        [&] { return HeapStrJoin<CharT>(szUrl + m_nAddressPos, m_nAddressLen, nullptr, 0).release(); });
}

template <class CharT>
CharT* CHttpUrlAnalyzerT<CharT>::GetObjectName(const CharT* szUrl) const {
    _CheckUrl(szUrl, "GetObjectName");
    static const CharT kSlash[] = {CharT('/'), CharT(0)};
    const CharT* szRest = szUrl ? szUrl + m_nObjectPos : kSlash + 1;
    const DWORD nRest = StrLen(szRest);
    return GuardBoundary([&] {
        // Without a path the request goes to "/", keeping any query or fragment after it.
        return HeapStrJoin<CharT>(kSlash, m_nObjectLen ? 0 : 1, szRest, nRest).release();
    });
}

template class CHttpUrlAnalyzerT<char>;

}  // namespace Tavon
