#include "client.h"

#include <cstdio>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "encoder.h"
#include "tool.h"
#include "urlanalyzer.h"

namespace Tavon {

namespace {

// Every exception that leaves a start or a step is the library's narrow one.
template <class F>
decltype(auto) ClientBoundary(F&& f) {
    try {
        return f();
    } catch (const httpclientexceptionA&) {
        throw;
    } catch (const httpclientexceptionW& e) {
        ThrowWideAsAnsi(e);
    } catch (const SafeIntException& e) {
        ThrowSafeIntError(e);
    } catch (const std::bad_alloc&) {
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    } catch (const std::exception& e) {
        ThrowErrorMsg(e.what(), HTTPCLIENT_ERR_STD_EXCEPTION);
    } catch (...) {
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
    }
}

CHeapPtr<char> AllocString(DWORD nLen) {
    if (nLen == 0xFFFFFFFF)  // no room for the NUL in a 32-bit size
        ThrowError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    char* p = static_cast<char*>(std::malloc(size_t(nLen) + 1));
    if (!p)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    p[0] = '\0';
    return CHeapPtr<char>(p);
}

[[noreturn]] void ThrowArgError(const char* szOp, const char* szWhat) {
    char szMsg[256];
    std::snprintf(szMsg, sizeof(szMsg), "CHttpClientT::%s: %s", szOp, szWhat);
    ThrowErrorMsg(szMsg, HTTPCLIENT_ERR_NOT_SPECIFIED);
}

bool HasAnyOf(const char* sz, const char* szSet) {
    return sz && std::strpbrk(sz, szSet) != nullptr;
}

const char kPartEnd[] = "\r\n";

std::string Base64(const std::string& strIn) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strOut;
    for (size_t i = 0; i < strIn.size(); i += 3) {
        const size_t n = strIn.size() - i < 3 ? strIn.size() - i : 3;
        DWORD dwBits = DWORD(BYTE(strIn[i])) << 16;
        if (n > 1)
            dwBits |= DWORD(BYTE(strIn[i + 1])) << 8;
        if (n > 2)
            dwBits |= BYTE(strIn[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            strOut += k <= n ? kDigits[(dwBits >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return strOut;
}

void SecureZero(std::string& str) {
    if (!str.empty())
        ::SecureZeroMemory(&str[0], str.size());
}

// One entry of a proxy bypass list, read as WinInet reads it: "<local>" is any name without a
// dot, a leading "*" matches any prefix, otherwise the whole name must match.
bool BypassEntryMatches(const std::string& strEntry, const char* szHost) {
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

// Whether the session sends a plain request for szHost to a proxy.
bool UsesHttpProxy(HINTERNET hInternet, const char* szHost) {
    DWORD cb = 0;
    ::InternetQueryOptionA(hInternet, INTERNET_OPTION_PROXY, nullptr, &cb);
    if (cb < sizeof(INTERNET_PROXY_INFO))
        return false;
    std::unique_ptr<BYTE[]> pbyInfo(new (std::nothrow) BYTE[cb]);
    if (!pbyInfo)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    if (!::InternetQueryOptionA(hInternet, INTERNET_OPTION_PROXY, pbyInfo.get(), &cb))
        return false;
    const auto* pInfo = reinterpret_cast<const INTERNET_PROXY_INFO*>(pbyInfo.get());
    const char* szProxy = reinterpret_cast<const char*>(pInfo->lpszProxy);
    if (pInfo->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !szProxy || !*szProxy)
        return false;
    // "http=host:port https=..." names a proxy per scheme; a plain name serves every scheme.
    if (std::strchr(szProxy, '=')) {
        std::string strLower = std::string(" ") + szProxy;
        for (char& c : strLower)
            c = char(std::tolower(BYTE(c)));
        if (strLower.find(" http=") == std::string::npos && strLower.find(";http=") == std::string::npos)
            return false;
    }
    const char* szBypass = reinterpret_cast<const char*>(pInfo->lpszProxyBypass);
    if (szBypass) {
        std::string strEntry;
        for (const char* p = szBypass;; ++p) {
            if (*p == ';' || *p == ' ' || *p == '\0') {
                if (BypassEntryMatches(strEntry, szHost))
                    return false;
                strEntry.clear();
                if (!*p)
                    break;
            } else {
                strEntry += *p;
            }
        }
    }
    return true;
}

}  // namespace

template <class CharT>
struct CHttpClientT<CharT>::CContextHandles {
    // Declared so that destruction closes the request, then the connection, then the session.
    ClientImpl::CContextHandle hInternet;
    ClientImpl::CContextHandle hConnection;
    CScopedInternetHandle hRequest;
};

// ---- construction and settings ----

template <class CharT>
CHttpClientT<CharT>::CHttpClientT() {
    try {
        m_szBoundary.reset(CHttpToolA::CreateUploadBoundary());
    } catch (...) {
        m_szBoundary.reset();
    }
    if (!m_szBoundary)
        return;
    const size_t cchBoundary = std::strlen(m_szBoundary.get());
    const size_t cchPrefix = sizeof(HTTPCLIENT_UPLOAD_CONTTYPE_PREFIX) - 1;
    CharT* szContType = static_cast<CharT*>(std::malloc(cchPrefix + cchBoundary + 1));
    if (!szContType) {
        m_szBoundary.reset();
        return;
    }
    std::memcpy(szContType, HTTPCLIENT_UPLOAD_CONTTYPE_PREFIX, cchPrefix);
    std::memcpy(szContType + cchPrefix, m_szBoundary.get(), cchBoundary + 1);
    m_szUploadContType.reset(szContType);
    m_szBoundaryA = m_szBoundary.get();
}

template <class CharT>
CHttpClientT<CharT>::~CHttpClientT() {
    _ReleaseAndClose();
}

template <class CharT>
void CHttpClientT<CharT>::SetSessionSettings(const CharT* szUserAgent,
                                             DWORD dwAccessType,
                                             const CharT* szProxyName,
                                             const CharT* szProxyBypass,
                                             DWORD dwFlags) {
    // All copies first, so a failed one leaves the stored settings as they were.
    CHeapPtr<CharT> szUA = HeapStrDup(szUserAgent);
    CHeapPtr<CharT> szName = HeapStrDup(szProxyName);
    CHeapPtr<CharT> szBypass = HeapStrDup(szProxyBypass);
    m_szInternetUserAgent = std::move(szUA);
    m_szInternetProxyName = std::move(szName);
    m_szInternetProxyBypass = std::move(szBypass);
    m_dwInternetAccessType = dwAccessType;
    m_dwInternetFlags = dwFlags;
}

template <class CharT>
void CHttpClientT<CharT>::_RefuseIfActive(const char* szOp) const {
    if (_IsActive())
        ThrowArgError(szOp, "It is not allowed to call this method if the POST context is active.");
}

// The checks both kinds of step make first; a failed one leaves the context as it is.
template <class CharT>
void CHttpClientT<CharT>::_CheckStep(const char* szOp, DWORD nDesired) const {
    if (!_IsActive())
        ThrowError(HTTPCLIENT_ERR_POST_NOT_STARTED);
    if (!m_hInternet.Get())
        ThrowArgError(szOp, "m_hInternet can not be NULL.");
    if (!m_hConnection.Get())
        ThrowArgError(szOp, "m_hConnection can not be NULL.");
    if (!m_hRequest.Get())
        ThrowArgError(szOp, "m_hRequest can not be NULL.");
    if (nDesired == 0)
        ThrowArgError(szOp, "nDesired can not be zero.");
}

// A failed step releases the context (closing what it owned) before the error goes on.
template <class CharT>
template <class F>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_RunStep(F&& fnStep) {
    try {
        return ClientBoundary(fnStep);
    } catch (...) {
        _ReleaseAndClose();
        throw;
    }
}

template <class CharT>
BOOL CHttpClientT<CharT>::SetUseUtf8(BOOL bUseUtf8) {
    _RefuseIfActive("SetUseUtf8");
    const BOOL bOld = m_bUseUtf8;
    m_bUseUtf8 = bUseUtf8;
    return bOld;
}

// Read only when a context starts, so a change cannot disturb one in progress.
template <class CharT>
BOOL CHttpClientT<CharT>::SetStrictFileCheck(BOOL bStrict) {
    const BOOL bOld = m_bStrictFileCheck;
    m_bStrictFileCheck = bStrict;
    return bOld;
}

template <class CharT>
UINT CHttpClientT<CharT>::SetAnsiCodePage(UINT nAnsiCodePage) {
    if (nAnsiCodePage == CP_UTF8 || nAnsiCodePage == CP_UTF7)
        ThrowArgError("SetAnsiCodePage", "CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
    // The steps re-encode text with it and must match the length declared at the start.
    _RefuseIfActive("SetAnsiCodePage");
    const UINT nOld = m_nAnsiCodePage;
    m_nAnsiCodePage = nAnsiCodePage;
    return nOld;
}

// Applied to each connection the client opens; a context in progress keeps its own.
template <class CharT>
void CHttpClientT<CharT>::SetProxyAccount(const CharT* szUserName, const CharT* szPassword) {
    CHeapPtr<CharT> szUser = HeapStrDup(szUserName);
    CHeapPtr<CharT> szPwd = HeapStrDup(szPassword);
    m_szProxyUserName = std::move(szUser);
    m_szProxyPassword = std::move(szPwd);
}

template <class CharT>
void CHttpClientT<CharT>::SetTimeouts(DWORD dwConnectMs, DWORD dwSendMs, DWORD dwReceiveMs) {
    m_dwConnectTimeout = dwConnectMs;
    m_dwSendTimeout = dwSendMs;
    m_dwReceiveTimeout = dwReceiveMs;
}

template <class CharT>
void CHttpClientT<CharT>::AddRequestHeader(const CharT* szName, const CharT* szValue) {
    if (!szName)
        ThrowArgError("AddRequestHeader", "szName can not be NULL.");
    if (!*szName)
        ThrowArgError("AddRequestHeader", "szName can not be an empty string.");
    // A line break would smuggle further header lines into the request.
    if (HasAnyOf(szName, "\r\n:"))
        ThrowArgError("AddRequestHeader", "szName can not contain CR, LF or ':'.");
    if (HasAnyOf(szValue, "\r\n"))
        ThrowArgError("AddRequestHeader", "szValue can not contain CR or LF.");
    // The body's length and type are the client's to declare; a second one would make the request
    // ambiguous, and a caller's type sent first would hide the boundary from the server.
    if (lstrcmpiA(szName, "Content-Length") == 0 || lstrcmpiA(szName, "Transfer-Encoding") == 0 ||
        lstrcmpiA(szName, "Content-Type") == 0)
        ThrowArgError("AddRequestHeader", "szName can not be Content-Length, Transfer-Encoding or Content-Type.");
    m_mapRequestHeader.Add(szName, szValue);
}

template <class CharT>
BOOL CHttpClientT<CharT>::RemoveRequestHeader(const CharT* szName) {
    if (!szName)
        ThrowArgError("RemoveRequestHeader", "szName can not be NULL.");
    return m_mapRequestHeader.RemoveAll(szName);
}

template <class CharT>
BOOL CHttpClientT<CharT>::RemoveAllRequestHeaders() {
    return m_mapRequestHeader.RemoveAll();
}

template <class CharT>
void CHttpClientT<CharT>::AddParam(const CharT* szName, const CharT* szValue, DWORD dwParamAttr) {
    _RefuseIfActive("AddParam");
    m_mapParam.Add(szName, szValue, dwParamAttr);
}

template <class CharT>
BOOL CHttpClientT<CharT>::RemoveParam(const CharT* szName) {
    if (!szName)
        ThrowArgError("RemoveParam", "szName can not be NULL.");
    _RefuseIfActive("RemoveParam");
    return m_mapParam.RemoveAll(szName);
}

template <class CharT>
BOOL CHttpClientT<CharT>::RemoveAllParams() {
    _RefuseIfActive("RemoveAllParams");
    return m_mapParam.RemoveAll();
}

// ---- request opening ----

template <class CharT>
HINTERNET CHttpClientT<CharT>::OpenConnection(HINTERNET hInternet,
                                              const CharT* szUrl,
                                              const CharT* szUsrName,
                                              const CharT* szUsrPwd) {
    if (!hInternet)
        ThrowArgError("OpenConnection", "hInternet can not be NULL.");
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    const INTERNET_PORT nPort = objUrl.GetPort(szUrl);
    CHeapPtr<CharT> szAddr(objUrl.GetServerAddress(szUrl));
    CScopedInternetHandle hConnection(CHttpToolA::OpenConnection(hInternet, szAddr.get(), nPort, szUsrName, szUsrPwd));
    ApplyProxyAccount(hConnection.Get());
    return hConnection.Release();
}

template <class CharT>
void CHttpClientT<CharT>::ApplyProxyAccount(HINTERNET hConnection) {
    if (!hConnection)
        ThrowArgError("ApplyProxyAccount", "hConnection can not be NULL.");
    const CharT* szUser = m_szProxyUserName.get();
    const CharT* szPwd = m_szProxyPassword.get();
    if (!szUser || !*szUser || !szPwd || !*szPwd)
        return;
    CHttpToolA::SetInternetOption(hConnection, INTERNET_OPTION_PROXY_USERNAME, const_cast<CharT*>(szUser),
                                  DWORD(std::strlen(szUser)));
    CHttpToolA::SetInternetOption(hConnection, INTERNET_OPTION_PROXY_PASSWORD, const_cast<CharT*>(szPwd),
                                  DWORD(std::strlen(szPwd)));
}

template <class CharT>
HINTERNET CHttpClientT<CharT>::OpenRequest(HINTERNET hConnection,
                                           const CharT* szMethod,
                                           const CharT* szUrl,
                                           DWORD dwFlags,
                                           const CharT* szReferer) {
    if (!hConnection)
        ThrowArgError("OpenRequest", "hConnection can not be NULL.");
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    if (objUrl.IsSecure(szUrl))
        dwFlags |= INTERNET_FLAG_SECURE;
    CHeapPtr<CharT> szObject(objUrl.GetObjectName(szUrl));
    CScopedInternetHandle hRequest(CHttpToolA::OpenRequest(hConnection, szMethod, szObject.get(), dwFlags, szReferer));
    if (dwFlags & INTERNET_FLAG_PRAGMA_NOCACHE)
        CHttpToolA::AddHeader(hRequest.Get(), "Cache-Control", "no-cache");
    return hRequest.Release();
}

template <class CharT>
void CHttpClientT<CharT>::_OpenContextHandles(CContextHandles& hs,
                                              HINTERNET hInternet,
                                              HINTERNET hConnection,
                                              const CharT* szUrl,
                                              DWORD dwFlags,
                                              const CharT* szReferer,
                                              const CharT* szUsrName,
                                              const CharT* szUsrPwd) {
    if (hInternet) {
        hs.hInternet.Borrow(hInternet);
    } else {
        const CharT* szUA = m_szInternetUserAgent ? m_szInternetUserAgent.get() : HTTPCLIENT_DEF_USERAGENT;
        hs.hInternet.Own(CHttpToolA::OpenInternet(szUA, m_dwInternetAccessType, m_szInternetProxyName.get(),
                                                  m_szInternetProxyBypass.get(), m_dwInternetFlags));
    }
    if (hConnection)
        hs.hConnection.Borrow(hConnection);
    else
        hs.hConnection.Own(OpenConnection(hs.hInternet.Get(), szUrl, szUsrName, szUsrPwd));
    // A redirect followed by the platform would resend without the body (or with an empty one) and
    // hide the loss behind the final answer: the caller gets the 3xx itself.
    hs.hRequest.Reset(
        OpenRequest(hs.hConnection.Get(), "POST", szUrl, dwFlags | INTERNET_FLAG_NO_AUTO_REDIRECT, szReferer));
    // Only the request handle's timeouts take effect; the session's are ignored on some platforms.
    const struct {
        DWORD dwOption;
        DWORD dwMs;
    } aTimeout[] = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, m_dwConnectTimeout},
        {INTERNET_OPTION_SEND_TIMEOUT, m_dwSendTimeout},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, m_dwReceiveTimeout},
    };
    for (auto timeout : aTimeout)
        if (timeout.dwMs)
            CHttpToolA::SetInternetOption(hs.hRequest.Get(), timeout.dwOption, &timeout.dwMs, sizeof timeout.dwMs);
    _AddProxyAuthorization(hs.hInternet.Get(), hs.hRequest.Get(), szUrl);
}

// WinInet does not send the proxy account with a streamed body (nor retry after a 407), so the
// client sends it itself, but only on a plain request that goes to a proxy: on an https request
// the header would travel inside the tunnel to the server.
template <class CharT>
void CHttpClientT<CharT>::_AddProxyAuthorization(HINTERNET hInternet, HINTERNET hRequest, const CharT* szUrl) {
    const CharT* szUser = m_szProxyUserName.get();
    const CharT* szPwd = m_szProxyPassword.get();
    if (!szUser || !*szUser || !szPwd || !*szPwd)
        return;
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    if (objUrl.IsSecure(szUrl))
        return;
    CHeapPtr<CharT> szHost(objUrl.GetServerAddress(szUrl));
    if (!UsesHttpProxy(hInternet, szHost.get()))
        return;
    std::string strAccount = std::string(szUser) + ":" + szPwd;
    std::string strValue = "Basic " + Base64(strAccount);
    CHttpToolA::AddHeader(hRequest, "Proxy-Authorization", strValue.c_str());
    SecureZero(strAccount);
    SecureZero(strValue);
}

// An https request must be on a secure channel before the body goes out. Wine's WinInet, asked
// for https through a proxy, opens the tunnel but then speaks plain text in it and hands back the
// proxy's "200 Connection established" as if the server had answered.
template <class CharT>
void CHttpClientT<CharT>::_CheckSecureChannel(HINTERNET hRequest, const CharT* szUrl) const {
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    if (!objUrl.IsSecure(szUrl))
        return;
    DWORD dwFlags = 0, cb = sizeof(dwFlags);
    if (!::InternetQueryOptionA(hRequest, INTERNET_OPTION_SECURITY_FLAGS, &dwFlags, &cb) ||
        !(dwFlags & SECURITY_FLAG_SECURE))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPSENDREQUESTEX, ERROR_INTERNET_SECURITY_CHANNEL_ERROR);
}

template <class CharT>
void CHttpClientT<CharT>::_AddRequestHeaders(HINTERNET hRequest, const CharT* szContType) {
    for (const MapValue& header : m_mapRequestHeader)
        CHttpToolA::AddHeader(hRequest, header.szName, header.szValue);
    CHttpToolA::AddHeader(hRequest, "Content-Type", szContType);
}

template <class CharT>
void CHttpClientT<CharT>::_StoreContext(CContextHandles& hs, BOOL bIsPost, const MapValue* pFirst, DWORD nFirstSize) {
    m_hInternet.Take(hs.hInternet);
    m_hConnection.Take(hs.hConnection);
    m_hRequest.Reset(hs.hRequest.Release());
    m_bIsPost = bIsPost;
    if (!pFirst)
        return;
    try {
        // Callers see the first parameter as current from the start on.
        const BOOL bFile = !bIsPost && (pFirst->dwFlag & HTTPCLIENT_PARAM_FILE);
        m_objInitialStat = m_objPostStat;
        m_objInitialStat._StartNewEntry(pFirst->szName, nFirstSize, bFile, bFile ? pFirst->szValue : nullptr);
    } catch (...) {
        _ReleaseAndClose();
        throw;
    }
}

// ---- context bookkeeping ----

template <class CharT>
void CHttpClientT<CharT>::_ReleasePostResponse(HINTERNET& hInternet, HINTERNET& hConnection, HINTERNET& hRequest) {
    if (!_IsActive())
        ThrowArgError("_ReleasePostResponse", "The post context is not active.");
    hInternet = m_hInternet.Release();
    hConnection = m_hConnection.Release();
    hRequest = m_hRequest.Release();
    m_aFile.reset();
    m_nFile = 0;
    m_szCurrValueOwned.reset();
    m_szCurrValue = nullptr;
    m_pbyReadBuff.reset();
    m_objPostStat._Reset();
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_ReleasePostResponse() {
    HINTERNET hInternet = nullptr, hConnection = nullptr, hRequest = nullptr;
    _ReleasePostResponse(hInternet, hConnection, hRequest);
    CScopedInternetHandle hOwnInternet(hInternet), hOwnConnection(hConnection), hOwnRequest(hRequest);
    auto* pResponse = new (std::nothrow) CHttpResponseT<CharT>(hInternet, hConnection, hRequest);
    if (!pResponse)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    hOwnRequest.Release();
    hOwnConnection.Release();
    hOwnInternet.Release();
    return pResponse;
}

template <class CharT>
void CHttpClientT<CharT>::_ReleaseAndClose() noexcept {
    if (!_IsActive())
        return;
    HINTERNET hInternet = nullptr, hConnection = nullptr, hRequest = nullptr;
    try {
        _ReleasePostResponse(hInternet, hConnection, hRequest);
    } catch (...) {
    }
    CHttpToolA::CloseInternetHandle(hRequest);
    CHttpToolA::CloseInternetHandle(hConnection);
    CHttpToolA::CloseInternetHandle(hInternet);
}

template <class CharT>
void CHttpClientT<CharT>::GetPostStat(CHttpPostStatT<CharT>& objPostStat) {
    if (_IsActive() && m_objPostStat.TotalCount() > 0 && m_objPostStat.PostedCount() == 0)
        objPostStat = m_objInitialStat;
    else
        objPostStat = m_objPostStat;
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::ProceedStep(DWORD nDesired) {
    return m_bIsPost ? _ProceedPostContext(nDesired) : _ProceedUploadContext(nDesired);
}

template <class CharT>
const typename CHttpClientT<CharT>::MapValue& CHttpClientT<CharT>::_ParamAt(DWORD nIdx) const {
    if (nIdx >= m_mapParam.Count())
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
    auto it = m_mapParam.begin();
    for (DWORD i = 0; i < nIdx; ++i)
        ++it;
    return *it;
}

template <class CharT>
void CHttpClientT<CharT>::_WritePostBytes(const CharT* pbyBuff, DWORD cbyBuff, BOOL bIsValue) {
    if (!m_hRequest.Get())
        ThrowArgError("_WritePost", "m_hRequest can not be NULL.");
    if (!pbyBuff || cbyBuff == 0)
        return;
    if (bIsValue)
        m_objPostStat._TestAddPostedBytes(cbyBuff);
    else
        m_objPostStat._TestAddActualPostedBytes(cbyBuff);
    // Never put more on the wire than the length the request head declared.
    if (SafeAdd(m_objPostStat.ActualPostedByte(), cbyBuff) > m_objPostStat.ActualTotalByte())
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
    CHttpToolA::InternetWriteFile(m_hRequest.Get(), reinterpret_cast<const BYTE*>(pbyBuff), cbyBuff);
    if (bIsValue)
        m_objPostStat._AddPostedBytes(cbyBuff);
    else
        m_objPostStat._AddActualPostedBytes(cbyBuff);
}

template <class CharT>
void CHttpClientT<CharT>::_WritePost(const CharT* szBuff, BOOL bIsValue) {
    if (!m_hRequest.Get())
        ThrowArgError("_WritePost", "m_hRequest can not be NULL.");
    if (szBuff)
        _WritePostBytes(szBuff, DWORD(std::strlen(szBuff)), bIsValue);
}

template <class CharT>
void CHttpClientT<CharT>::_WritePostText(BOOL bUseUtf8, const CharT* szStr, BOOL bIsValue) {
    if (!szStr || !*szStr)
        return;
    if (!bUseUtf8) {
        _WritePost(szStr, bIsValue);
        return;
    }
    const DWORD nLen = CHttpEncoderA::Utf8EncodeLen(szStr, m_nAnsiCodePage);
    CHeapPtr<CharT> szUtf8 = AllocString(nLen);
    CHttpEncoderA::Utf8Encode(szUtf8.get(), szStr, m_nAnsiCodePage);
    _WritePostBytes(szUtf8.get(), nLen, bIsValue);
}

// ---- the multipart body ----

template <class CharT>
const CharT* CHttpClientT<CharT>::_Boundary() const noexcept {
    return m_szBoundaryA ? m_szBoundaryA : HTTPCLIENT_FIXED_BOUNDARY;
}

template <class CharT>
const CharT* CHttpClientT<CharT>::_UploadContType() const noexcept {
    return m_szUploadContType ? m_szUploadContType.get() : HTTPCLIENT_FIXED_UPLOAD_CONTTYPE;
}

// bUserText marks names, values and paths: they go out in the client's text form (UTF-8 when asked).
template <class CharT>
DWORD CHttpClientT<CharT>::_PieceLen(const CharT* sz, BOOL bUserText) const {
    if (!sz || !*sz)
        return 0;
    if (!bUserText)
        return DWORD(std::strlen(sz));
    return m_bUseUtf8 ? CHttpEncoderA::Utf8EncodeLen(sz, m_nAnsiCodePage)
                      : CHttpEncoderA::AnsiEncodeLen(sz, m_nAnsiCodePage);
}

template <class CharT>
template <class F>
void CHttpClientT<CharT>::_EachPartHeaderPiece(const MapValue& param, const CharT* szMimeType, F&& fnPiece) const {
    fnPiece("--", FALSE);
    fnPiece(_Boundary(), FALSE);
    fnPiece("\r\nContent-Disposition: form-data; name=\"", FALSE);
    fnPiece(param.szName, TRUE);
    if (param.dwFlag & HTTPCLIENT_PARAM_FILE) {
        fnPiece("\"; filename=\"", FALSE);
        fnPiece(param.szValue, TRUE);
        fnPiece("\"\r\nContent-Type: ", FALSE);
        fnPiece(szMimeType, FALSE);
        fnPiece("\r\n\r\n", FALSE);
    } else {
        fnPiece("\"\r\n\r\n", FALSE);
    }
}

template <class CharT>
template <class F>
void CHttpClientT<CharT>::_EachClosingPiece(F&& fnPiece) const {
    // Without any part the body still opens with a line break before the closing delimiter.
    fnPiece(m_mapParam.Count() == 0 ? "\r\n--" : "--", FALSE);
    fnPiece(_Boundary(), FALSE);
    fnPiece("--\r\n", FALSE);
}

template <class CharT>
template <class E>
DWORD CHttpClientT<CharT>::_PiecesLen(E&& fnEach) const {
    DWORD nLen = 0;
    fnEach([&](const CharT* sz, BOOL bUserText) { nLen = SafeAdd(nLen, _PieceLen(sz, bUserText)); });
    return nLen;
}

// Pieces go out in one write: under Wine each platform write is a round trip of its own.
template <class CharT>
template <class E>
void CHttpClientT<CharT>::_WritePieces(E&& fnEach) {
    const DWORD nLen = _PiecesLen(fnEach);
    CHeapPtr<CharT> szText = AllocString(nLen);
    CharT* pEnd = szText.get();
    fnEach([&](const CharT* sz, BOOL bUserText) {
        const DWORD n = _PieceLen(sz, bUserText);
        if (n == 0)
            return;
        if (bUserText && m_bUseUtf8)
            CHttpEncoderA::Utf8Encode(pEnd, sz, m_nAnsiCodePage);  // exactly n bytes and a NUL
        else
            std::memcpy(pEnd, sz, n);
        pEnd += n;
    });
    _WritePostBytes(szText.get(), nLen, FALSE);
}

template <class CharT>
void CHttpClientT<CharT>::StartUpload(const CharT* szUrl, BOOL bUseCache) {
    StartUploadEx(nullptr, nullptr, szUrl,
                  bUseCache ? HTTPCLIENT_REQUEST_FLAGS_CACHE : HTTPCLIENT_REQUEST_FLAGS_NOCACHE);
}

template <class CharT>
void CHttpClientT<CharT>::StartUploadEx(HINTERNET hInternet,
                                        HINTERNET hConnection,
                                        const CharT* szUrl,
                                        DWORD dwFlags,
                                        const CharT* szReferer,
                                        const CharT* szUsrName,
                                        const CharT* szUsrPwd) {
    ClientBoundary([&] {
        _ReleaseAndClose();

        const DWORD nParam = m_mapParam.Count();
        DWORD nFile = 0;
        for (const MapValue& param : m_mapParam)
            if (param.dwFlag & HTTPCLIENT_PARAM_FILE)
                ++nFile;
        std::unique_ptr<ClientImpl::CUploadFile[]> aFile;
        if (nFile) {
            aFile.reset(new (std::nothrow) ClientImpl::CUploadFile[nFile]);
            if (!aFile)
                ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        }

        // Each file is measured once here; its turn later checks that it still has this size.
        DWORD nBody = 0, nValues = 0, iFile = 0, nFirstSize = 0;
        const MapValue* pFirst = nullptr;
        for (const MapValue& param : m_mapParam) {
            DWORD nSize = 0;
            const CharT* szMimeType = nullptr;
            if (param.dwFlag & HTTPCLIENT_PARAM_FILE) {
                ClientImpl::CUploadFile& file = aFile[iFile++];
                if (param.szValue) {
                    file.hFile.Reset(CHttpToolA::OpenFile(param.szValue));
                    const DWORD dwErr = ::GetLastError();
                    if (!file.hFile.IsValid() && m_bStrictFileCheck)
                        ThrowErrorFmt(HTTPCLIENT_ERR_OPENFILE, dwErr, param.szValue);
                } else if (m_bStrictFileCheck) {
                    ThrowErrorFmt(HTTPCLIENT_ERR_OPENFILE, ERROR_INVALID_PARAMETER, "");
                }
                if (file.hFile.IsValid())
                    file.dwSize = CHttpToolA::GetFileSize(file.hFile.Get(), param.szValue);
                file.szMimeType.reset(CHttpToolA::GetMimeType(file.hFile.Get(), m_nAnsiCodePage));
                nSize = file.dwSize;
                szMimeType = file.szMimeType.get();
            } else {
                nSize = _PieceLen(param.szValue, TRUE);
            }
            nBody =
                SafeAdd(nBody, _PiecesLen([&](auto&& fnPiece) { _EachPartHeaderPiece(param, szMimeType, fnPiece); }));
            nBody = SafeAdd(nBody, nSize);
            nBody = SafeAdd(nBody, _PieceLen(kPartEnd, FALSE));
            nValues = SafeAdd(nValues, nSize);
            if (!pFirst) {
                pFirst = &param;
                nFirstSize = nSize;
            }
        }
        nBody = SafeAdd(nBody, _PiecesLen([&](auto&& fnPiece) { _EachClosingPiece(fnPiece); }));

        CContextHandles hs;
        _OpenContextHandles(hs, hInternet, hConnection, szUrl, dwFlags, szReferer, szUsrName, szUsrPwd);
        _AddRequestHeaders(hs.hRequest.Get(), _UploadContType());
        CHttpToolA::SendRequestEx(hs.hRequest.Get(), nBody);
        _CheckSecureChannel(hs.hRequest.Get(), szUrl);

        m_objPostStat._Activate(nBody, nValues, nParam, nFile);
        m_aFile = std::move(aFile);
        m_nFile = nFile;
        _StoreContext(hs, FALSE, pFirst, nFirstSize);
    });
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_ProceedUploadContext(DWORD nDesired) {
    _CheckStep("_ProceedUploadContext", nDesired);

    return _RunStep([&]() -> CHttpResponseT<CharT>* {
        if (m_objPostStat.ActualPostedByte() == m_objPostStat.ActualTotalByte()) {
            CHttpToolA::EndRequest(m_hRequest.Get());
            return _ReleasePostResponse();
        }
        if (m_objPostStat.CurrParamIsComplete()) {
            const DWORD nPosted = m_objPostStat.PostedCount();
            if (nPosted == m_objPostStat.TotalCount())
                _WritePieces([&](auto&& fnPiece) { _EachClosingPiece(fnPiece); });
            else
                _StepUploadBegin(_ParamAt(nPosted));
            return nullptr;
        }
        _StepUploadContinue(nDesired);
        return nullptr;
    });
}

template <class CharT>
void CHttpClientT<CharT>::_StepUploadBegin(const MapValue& param) {
    const BOOL bFile = (param.dwFlag & HTTPCLIENT_PARAM_FILE) != 0;
    DWORD nSize = 0;
    const CharT* szMimeType = nullptr;
    if (bFile) {
        const DWORD iFile = m_objPostStat.PostedFileCount();
        if (iFile >= m_nFile)
            ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
        const ClientImpl::CUploadFile& file = m_aFile[iFile];
        // A file that grew or shrank since the start would not match the declared length.
        if (file.hFile.IsValid() && CHttpToolA::GetFileSize(file.hFile.Get(), param.szValue) != file.dwSize)
            ThrowError(HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
        nSize = file.dwSize;
        szMimeType = file.szMimeType.get();
    } else {
        m_szCurrValueOwned.reset();
        m_szCurrValue = nullptr;
        nSize = _PieceLen(param.szValue, TRUE);
        if (nSize && m_bUseUtf8) {
            m_szCurrValueOwned = AllocString(nSize);
            CHttpEncoderA::Utf8Encode(m_szCurrValueOwned.get(), param.szValue, m_nAnsiCodePage);
            m_szCurrValue = m_szCurrValueOwned.get();
        } else if (nSize) {
            m_szCurrValue = param.szValue;
        }
    }
    _WritePieces([&](auto&& fnPiece) { _EachPartHeaderPiece(param, szMimeType, fnPiece); });
    m_objPostStat._StartNewEntry(param.szName, nSize, bFile, bFile ? param.szValue : nullptr);
    if (nSize == 0)
        _WritePost(kPartEnd, FALSE);
}

template <class CharT>
void CHttpClientT<CharT>::_StepUploadContinue(DWORD nDesired) {
    DWORD nLeft = m_objPostStat.CurrParamRemainByte();
    if (nDesired < nLeft)
        nLeft = nDesired;
    if (m_objPostStat.CurrParamIsFile()) {
        const DWORD iFile = m_objPostStat.PostedFileCount() - 1;
        if (iFile >= m_nFile)
            ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
        const HANDLE hFile = m_aFile[iFile].hFile.Get();
        if (!m_pbyReadBuff) {
            m_pbyReadBuff.reset(static_cast<BYTE*>(std::malloc(HTTPCLIENT_READ_BUFF_SIZE)));
            if (!m_pbyReadBuff)
                ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        }
        while (nLeft) {
            const DWORD nChunk = nLeft < HTTPCLIENT_READ_BUFF_SIZE ? nLeft : HTTPCLIENT_READ_BUFF_SIZE;
            DWORD nRead = 0;
            if (!::ReadFile(hFile, m_pbyReadBuff.get(), nChunk, &nRead, nullptr))
                ThrowErrorFmt(HTTPCLIENT_ERR_READFILE, ::GetLastError());
            if (nRead != nChunk)
                ThrowError(HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
            _WritePostBytes(reinterpret_cast<const CharT*>(m_pbyReadBuff.get()), nChunk, TRUE);
            nLeft -= nChunk;
        }
    } else if (m_szCurrValue) {
        _WritePostBytes(m_szCurrValue + m_objPostStat.CurrParamPostedByte(), nLeft, TRUE);
    } else {
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);  // a value without bytes is complete at its start
    }
    if (m_objPostStat.CurrParamIsComplete())
        _WritePost(kPartEnd, FALSE);
}

// ---- the URL-encoded body ----

template <class CharT>
DWORD CHttpClientT<CharT>::_PostWireLen(const CharT* szStr, BOOL bRaw) const {
    if (!szStr)
        return 0;
    return bRaw ? DWORD(std::strlen(szStr)) : CHttpEncoderA::UrlEncodeLenA(szStr, m_bUseUtf8, m_nAnsiCodePage);
}

template <class CharT>
const CharT* CHttpClientT<CharT>::_PostWireForm(const CharT* szStr,
                                                BOOL bRaw,
                                                DWORD nLen,
                                                CHeapPtr<CharT>& szOwned) const {
    if (bRaw)
        return szStr;
    if (nLen == 0)
        return nullptr;
    szOwned = AllocString(nLen);
    CHttpEncoderA::UrlEncodeA(szOwned.get(), szStr, m_bUseUtf8, m_nAnsiCodePage);
    return szOwned.get();
}

template <class CharT>
void CHttpClientT<CharT>::StartPost(const CharT* szUrl, BOOL bUseCache) {
    StartPostEx(nullptr, nullptr, szUrl, bUseCache ? HTTPCLIENT_REQUEST_FLAGS_CACHE : HTTPCLIENT_REQUEST_FLAGS_NOCACHE);
}

template <class CharT>
void CHttpClientT<CharT>::StartPostEx(HINTERNET hInternet,
                                      HINTERNET hConnection,
                                      const CharT* szUrl,
                                      DWORD dwFlags,
                                      const CharT* szReferer,
                                      const CharT* szUsrName,
                                      const CharT* szUsrPwd) {
    ClientBoundary([&] {
        _ReleaseAndClose();

        // The same wire forms the steps write: "&" between pairs, name, "=", value.
        DWORD nBody = 0, nValues = 0, nFirstSize = 0;
        const MapValue* pFirst = nullptr;
        for (const MapValue& param : m_mapParam) {
            const DWORD nValue = _PostWireLen(param.szValue, param.dwFlag & HTTPCLIENT_PARAM_ENCODEDVALUE);
            if (pFirst)
                nBody = SafeAdd(nBody, 1);
            nBody = SafeAdd(nBody, _PostWireLen(param.szName, param.dwFlag & HTTPCLIENT_PARAM_ENCODEDNAME));
            nBody = SafeAdd(nBody, 1);
            nBody = SafeAdd(nBody, nValue);
            nValues = SafeAdd(nValues, nValue);
            if (!pFirst) {
                pFirst = &param;
                nFirstSize = nValue;
            }
        }

        CContextHandles hs;
        _OpenContextHandles(hs, hInternet, hConnection, szUrl, dwFlags, szReferer, szUsrName, szUsrPwd);
        _AddRequestHeaders(hs.hRequest.Get(), HTTPCLIENT_POST_CONTTYPE);
        CHttpToolA::SendRequestEx(hs.hRequest.Get(), nBody);
        _CheckSecureChannel(hs.hRequest.Get(), szUrl);

        m_objPostStat._Activate(nBody, nValues, m_mapParam.Count(), 0);
        _StoreContext(hs, TRUE, pFirst, nFirstSize);
    });
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_ProceedPostContext(DWORD nDesired) {
    _CheckStep("_ProceedPostContext", nDesired);

    return _RunStep([&]() -> CHttpResponseT<CharT>* {
        if (m_objPostStat.CurrParamIsComplete()) {
            const DWORD nPosted = m_objPostStat.PostedCount();
            if (nPosted == m_objPostStat.TotalCount()) {
                CHttpToolA::EndRequest(m_hRequest.Get());
                return _ReleasePostResponse();
            }
            _StepPostBegin(_ParamAt(nPosted));
            return nullptr;
        }
        _StepPostContinue(nDesired);
        return nullptr;
    });
}

template <class CharT>
void CHttpClientT<CharT>::_StepPostBegin(const MapValue& param) {
    if (m_objPostStat.PostedCount() > 0)
        _WritePost("&", FALSE);
    {
        const BOOL bRaw = (param.dwFlag & HTTPCLIENT_PARAM_ENCODEDNAME) != 0;
        const DWORD nName = _PostWireLen(param.szName, bRaw);
        CHeapPtr<CharT> szOwned;
        _WritePostBytes(_PostWireForm(param.szName, bRaw, nName, szOwned), nName, FALSE);
    }
    _WritePost("=", FALSE);

    m_szCurrValueOwned.reset();
    m_szCurrValue = nullptr;
    const BOOL bRaw = (param.dwFlag & HTTPCLIENT_PARAM_ENCODEDVALUE) != 0;
    const DWORD nValue = _PostWireLen(param.szValue, bRaw);
    if (param.szValue)
        m_szCurrValue = _PostWireForm(param.szValue, bRaw, nValue, m_szCurrValueOwned);
    m_objPostStat._StartNewEntry(param.szName, nValue, FALSE, nullptr);
}

template <class CharT>
void CHttpClientT<CharT>::_StepPostContinue(DWORD nDesired) {
    DWORD nLeft = m_objPostStat.CurrParamRemainByte();
    if (nDesired < nLeft)
        nLeft = nDesired;
    if (!m_szCurrValue)
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);  // a value without bytes is complete at its start
    _WritePostBytes(m_szCurrValue + m_objPostStat.CurrParamPostedByte(), nLeft, TRUE);
}

template class CHttpClientT<char>;

}  // namespace Tavon
