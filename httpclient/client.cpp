#include "client.h"

#include <cstdio>
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
    return GuardBoundary<HTTPCLIENT_CONVERT_ALL | HTTPCLIENT_CONVERT_BAD_ALLOC>(f);
}

[[noreturn]] void ThrowArgError(const char* szOp, const char* szWhat) {
    char szMsg[256];
    std::snprintf(szMsg, sizeof(szMsg), "CHttpClientT::%s: %s", szOp, szWhat);
    ThrowErrorMsg(szMsg, HTTPCLIENT_ERR_NOT_SPECIFIED);
}

bool HasAnyOf(const char* sz, const char* szSet) {
    return sz && std::strpbrk(sz, szSet) != nullptr;
}

// Wipes a string that held a secret, however the scope ends.
class CWipeOnExit {
public:
    explicit CWipeOnExit(std::string& str) noexcept : m_str(str) {}
    ~CWipeOnExit() {
        if (!m_str.empty())
            ::SecureZeroMemory(&m_str[0], m_str.size());
    }
    CWipeOnExit(const CWipeOnExit&) = delete;
    CWipeOnExit& operator=(const CWipeOnExit&) = delete;

private:
    std::string& m_str;
};

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
    // Without a boundary of its own the client uploads with the fixed one.
    try {
        m_szBoundary.reset(CHttpToolA::CreateUploadBoundary());
        if (m_szBoundary)
            m_szUploadContType =
                HeapStrJoin(HTTPCLIENT_UPLOAD_CONTTYPE_PREFIX, DWORD(sizeof HTTPCLIENT_UPLOAD_CONTTYPE_PREFIX - 1),
                            m_szBoundary.get(), DWORD(HeapStrLen(m_szBoundary.get())));
    } catch (...) {
    }
    if (!m_szUploadContType)
        m_szBoundary.reset();
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
    // The body in progress was encoded with the old one; callers must not believe otherwise.
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
void CHttpClientT<CharT>::AddFileParam(const CharT* szName, const CharT* szPath, const CharT* szFileName) {
    if (!szName)
        ThrowArgError("AddFileParam", "szName can not be NULL.");
    if (!szPath)
        ThrowArgError("AddFileParam", "szPath can not be NULL.");
    if (!szFileName)
        ThrowArgError("AddFileParam", "szFileName can not be NULL.");
    _RefuseIfActive("AddFileParam");
    m_mapParam.Add(szName, szPath, HTTPCLIENT_PARAM_FILE, szFileName);
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
void CHttpClientT<CharT>::_OpenContextHandles(CContextHandles& hs, const CRequestTarget& target) {
    const CharT* szUrl = target.szUrl;
    if (target.hInternet) {
        hs.hInternet.Borrow(target.hInternet);
    } else {
        const CharT* szUA = m_szInternetUserAgent ? m_szInternetUserAgent.get() : HTTPCLIENT_DEF_USERAGENT;
        hs.hInternet.Own(CHttpToolA::OpenInternet(szUA, m_dwInternetAccessType, m_szInternetProxyName.get(),
                                                  m_szInternetProxyBypass.get(), m_dwInternetFlags));
    }
    _RefuseProxiedHttps(hs.hInternet.Get(), szUrl);
    if (target.hConnection)
        hs.hConnection.Borrow(target.hConnection);
    else
        hs.hConnection.Own(OpenConnection(hs.hInternet.Get(), szUrl, target.szUsrName, target.szUsrPwd));
    // A redirect followed by the platform would resend without the body (or with an empty one) and
    // hide the loss behind the final answer: the caller gets the 3xx itself.
    hs.hRequest.Reset(OpenRequest(hs.hConnection.Get(), "POST", szUrl, target.dwFlags | INTERNET_FLAG_NO_AUTO_REDIRECT,
                                  target.szReferer));
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
    if (!CHttpToolA::UsesProxy(hInternet, szHost.get()))
        return;
    std::string strAccount = std::string(szUser) + ":" + szPwd;
    std::string strValue;
    CWipeOnExit wipeAccount(strAccount), wipeValue(strValue);
    const char szScheme[] = "Basic ";
    const DWORD cchScheme = DWORD(sizeof szScheme - 1);
    // One more byte for the encoder's terminator.
    strValue.assign(cchScheme + CHttpEncoderA::Base64EncodeLen(DWORD(strAccount.size())) + 1, '\0');
    std::memcpy(&strValue[0], szScheme, cchScheme);
    CHttpEncoderA::Base64Encode(&strValue[cchScheme], reinterpret_cast<const BYTE*>(strAccount.data()),
                                DWORD(strAccount.size()));
    CHttpToolA::AddHeader(hRequest, "Proxy-Authorization", strValue.c_str());
}

// Where the platform's WinInet speaks plain text inside a proxy's tunnel (Wine's), the request
// head (path, query, headers) would cross the wire unencrypted: there an https request that would
// go to a proxy is refused before a connection is opened. Elsewhere the tunnel carries TLS and the
// check after the send confirms it. The host is the URL's; with a borrowed connection the check
// after the send still holds.
template <class CharT>
void CHttpClientT<CharT>::_RefuseProxiedHttps(HINTERNET hInternet, const CharT* szUrl) const {
    if (CHttpToolA::TunnelsTlsThroughProxy())
        return;
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    if (!objUrl.IsSecure(szUrl))
        return;
    CHeapPtr<CharT> szHost(objUrl.GetServerAddress(szUrl));
    if (CHttpToolA::UsesProxy(hInternet, szHost.get()))
        ThrowErrorFmt(HTTPCLIENT_ERR_HTTPSENDREQUESTEX, ERROR_INTERNET_SECURITY_CHANNEL_ERROR);
}

// An https request must be on a secure channel before the body goes out: the backstop for a
// proxy the check before the send did not foresee. Wine's WinInet hands back the proxy's
// "200 Connection established" as if the server had answered.
template <class CharT>
void CHttpClientT<CharT>::_CheckSecureChannel(HINTERNET hRequest, const CharT* szUrl) const {
    CHttpUrlAnalyzerT<CharT> objUrl;
    objUrl.Analyze(szUrl, m_nAnsiCodePage);
    if (!objUrl.IsSecure(szUrl))
        return;
    if (!CHttpToolA::IsSecureChannel(hRequest))
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
    m_objUploadPlan.Clear();
    m_objPostPlan.Clear();
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
        _WritePostBytes(szBuff, DWORD(HeapStrLen(szBuff)), bIsValue);
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
    CHeapPtr<CharT> szUtf8 = HeapStrAlloc(nLen);
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

        // The plan opens and measures each file once; its turn later checks that it still has that size.
        m_objUploadPlan.Build(m_mapParam, _Boundary(), m_bUseUtf8, m_nAnsiCodePage, m_bStrictFileCheck);
        _StartContext(m_objUploadPlan, FALSE, _UploadContType(), m_objUploadPlan.FileCount(),
                      {hInternet, hConnection, szUrl, dwFlags, szReferer, szUsrName, szUsrPwd});
    });
}

// The client's request as the sink of both body plans: every write checked against the declared length.
template <class CharT>
class CHttpClientT<CharT>::CRequestSink final : public CBodySinkA {
public:
    explicit CRequestSink(CHttpClientT& client) noexcept : m_client(client) {}
    void Write(const char* pbyBuff, DWORD cbyBuff, BOOL bIsValue) override {
        m_client._WritePostBytes(pbyBuff, cbyBuff, bIsValue);
    }
    void BeginPart(const char* szName, DWORD nSize, BOOL bIsFile, const char* szPath) override {
        m_client.m_objPostStat._StartNewEntry(szName, nSize, bIsFile, szPath);
    }

private:
    CHttpClientT& m_client;
};

// Opens the request for a body laid out in plan, sends its head declaring the plan's length and
// makes the context active; on failure nothing stays open and the plan is emptied.
template <class CharT>
template <class Plan>
void CHttpClientT<CharT>::_StartContext(Plan& plan,
                                        BOOL bIsPost,
                                        const CharT* szContType,
                                        DWORD nFile,
                                        const CRequestTarget& target) {
    CContextHandles hs;
    try {
        _OpenContextHandles(hs, target);
        _AddRequestHeaders(hs.hRequest.Get(), szContType);
        CHttpToolA::SendRequestEx(hs.hRequest.Get(), plan.BodyLength());
        _CheckSecureChannel(hs.hRequest.Get(), target.szUrl);
        m_objPostStat._Activate(plan.BodyLength(), plan.ValueLength(), plan.PartCount(), nFile);
    } catch (...) {
        plan.Clear();
        throw;
    }
    _StoreContext(hs, bIsPost, m_mapParam.Count() ? &*m_mapParam.begin() : nullptr, plan.FirstValueLength());
}

// One step of either body: the plan's next piece, or, once all of it is out, the end of the request.
template <class CharT>
template <class Plan>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_StepContext(const char* szOp, Plan& plan, DWORD nDesired) {
    _CheckStep(szOp, nDesired);

    return _RunStep([&]() -> CHttpResponseT<CharT>* {
        if (plan.IsFinished()) {
            CHttpToolA::EndRequest(m_hRequest.Get());
            return _ReleasePostResponse();
        }
        CRequestSink sink(*this);
        plan.Step(nDesired, sink);
        return nullptr;
    });
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_ProceedUploadContext(DWORD nDesired) {
    return _StepContext("_ProceedUploadContext", m_objUploadPlan, nDesired);
}

// ---- the URL-encoded body ----

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

        m_objPostPlan.Build(m_mapParam, m_bUseUtf8, m_nAnsiCodePage);
        _StartContext(m_objPostPlan, TRUE, HTTPCLIENT_POST_CONTTYPE, 0,
                      {hInternet, hConnection, szUrl, dwFlags, szReferer, szUsrName, szUsrPwd});
    });
}

template <class CharT>
CHttpResponseT<CharT>* CHttpClientT<CharT>::_ProceedPostContext(DWORD nDesired) {
    return _StepContext("_ProceedPostContext", m_objPostPlan, nDesired);
}

template class CHttpClientT<char>;

}  // namespace Tavon
