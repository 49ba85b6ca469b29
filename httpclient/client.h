// The client object: settings, form parameters, request opening and the two kinds of
// step-by-step request body (multipart upload and URL-encoded POST).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>

#include "errors.h"
#include "map.h"
#include "multipart.h"
#include "poststat.h"
#include "response.h"
#include "tool.h"
#include "urlencoded.h"

namespace Tavon {

// Request flags of StartUpload / StartPost without and with the cache.
enum : DWORD {
    HTTPCLIENT_REQUEST_FLAGS_NOCACHE = 0x84400F00,
    HTTPCLIENT_REQUEST_FLAGS_CACHE = 0x00400E00,
};

inline constexpr char HTTPCLIENT_DEF_USERAGENT[] = "Tavon HTTP Client Class";
inline constexpr char HTTPCLIENT_UPLOAD_CONTTYPE_PREFIX[] = "multipart/form-data; boundary=";
// Used when no unique boundary could be made; both must stay in step.
inline constexpr char HTTPCLIENT_FIXED_BOUNDARY[] = "----TAVON-FB3B405B7EAE495aB0C0295C54D4E096-";
inline constexpr char HTTPCLIENT_FIXED_UPLOAD_CONTTYPE[] =
    "multipart/form-data; boundary=----TAVON-FB3B405B7EAE495aB0C0295C54D4E096-";
inline constexpr char HTTPCLIENT_POST_CONTTYPE[] = "application/x-www-form-urlencoded";
// Milliseconds a context may wait for the connection, and for any progress sending or receiving.
inline constexpr DWORD HTTPCLIENT_DEF_CONNECT_TIMEOUT = 30000;
inline constexpr DWORD HTTPCLIENT_DEF_SEND_TIMEOUT = 60000;
inline constexpr DWORD HTTPCLIENT_DEF_RECEIVE_TIMEOUT = 60000;

namespace ClientImpl {

// A WinInet handle of a context: either the client's own, or lent by the caller and never closed.
class CContextHandle {
public:
    CContextHandle() noexcept = default;
    CContextHandle(const CContextHandle&) = delete;
    CContextHandle& operator=(const CContextHandle&) = delete;
    void Own(HINTERNET h) noexcept {
        m_hOwned.Reset(h);
        m_hBorrowed = nullptr;
    }
    void Borrow(HINTERNET h) noexcept {
        m_hOwned.Reset();
        m_hBorrowed = h;
    }
    HINTERNET Get() const noexcept { return m_hBorrowed ? m_hBorrowed : m_hOwned.Get(); }
    BOOL IsBorrowed() const noexcept { return m_hBorrowed != nullptr; }
    void Take(CContextHandle& other) noexcept {
        m_hOwned.Reset(other.m_hOwned.Release());
        m_hBorrowed = other.m_hBorrowed;
        other.m_hBorrowed = nullptr;
    }
    // Forgets the handle; hands back the client's own one (null when it was lent).
    HINTERNET Release() noexcept {
        m_hBorrowed = nullptr;
        return m_hOwned.Release();
    }

private:
    CScopedInternetHandle m_hOwned;
    HINTERNET m_hBorrowed = nullptr;
};

}  // namespace ClientImpl

template <class CharT>
class CHttpClientT {
public:
    CHttpClientT();
    virtual ~CHttpClientT();
    CHttpClientT(const CHttpClientT&) = delete;
    CHttpClientT& operator=(const CHttpClientT&) = delete;

    // Settings
    void SetSessionSettings(const CharT* szUserAgent = nullptr,
                            DWORD dwAccessType = INTERNET_OPEN_TYPE_PRECONFIG,
                            const CharT* szProxyName = nullptr,
                            const CharT* szProxyBypass = nullptr,
                            DWORD dwFlags = 0);
    BOOL SetUseUtf8(BOOL bUseUtf8);
    BOOL SetStrictFileCheck(BOOL bStrict);
    UINT SetAnsiCodePage(UINT nAnsiCodePage);
    void SetProxyAccount(const CharT* szUserName, const CharT* szPassword);
    // Applied to the request of each later start; 0 leaves the platform's own (possibly none).
    void SetTimeouts(DWORD dwConnectMs, DWORD dwSendMs, DWORD dwReceiveMs);

    // Extra request headers, sent by every start after the cache header.
    void AddRequestHeader(const CharT* szName, const CharT* szValue = nullptr);
    BOOL RemoveRequestHeader(const CharT* szName);
    BOOL RemoveAllRequestHeaders();

    // Form parameters
    void AddParam(const CharT* szName, const CharT* szValue = nullptr, DWORD dwParamAttr = 0);
    // A file parameter whose bytes are read from szPath while its part header carries szFileName
    // (which may be "") instead of the path; the part's Content-Type still comes from the bytes.
    void AddFileParam(const CharT* szName, const CharT* szPath, const CharT* szFileName);
    BOOL RemoveParam(const CharT* szName);
    BOOL RemoveAllParams();

    // Request opening
    HINTERNET OpenConnection(HINTERNET hInternet,
                             const CharT* szUrl,
                             const CharT* szUsrName = nullptr,
                             const CharT* szUsrPwd = nullptr);
    void ApplyProxyAccount(HINTERNET hConnection);
    HINTERNET OpenRequest(HINTERNET hConnection,
                          const CharT* szMethod,
                          const CharT* szUrl,
                          DWORD dwFlags,
                          const CharT* szReferer = nullptr);

    // Post contexts
    void StartUpload(const CharT* szUrl, BOOL bUseCache = FALSE);
    void StartUploadEx(HINTERNET hInternet,
                       HINTERNET hConnection,
                       const CharT* szUrl,
                       DWORD dwFlags,
                       const CharT* szReferer = nullptr,
                       const CharT* szUsrName = nullptr,
                       const CharT* szUsrPwd = nullptr);
    void StartPost(const CharT* szUrl, BOOL bUseCache = FALSE);
    void StartPostEx(HINTERNET hInternet,
                     HINTERNET hConnection,
                     const CharT* szUrl,
                     DWORD dwFlags,
                     const CharT* szReferer = nullptr,
                     const CharT* szUsrName = nullptr,
                     const CharT* szUsrPwd = nullptr);
    CHttpResponseT<CharT>* ProceedStep(DWORD nDesired);
    void GetPostStat(CHttpPostStatT<CharT>& objPostStat);

    // Internal operations of the post contexts
    CHttpResponseT<CharT>* _ProceedUploadContext(DWORD nDesired);
    CHttpResponseT<CharT>* _ProceedPostContext(DWORD nDesired);
    void _WritePost(const CharT* szBuff, BOOL bIsValue);
    void _WritePostText(BOOL bUseUtf8, const CharT* szStr, BOOL bIsValue);
    void _ReleasePostResponse(HINTERNET& hInternet, HINTERNET& hConnection, HINTERNET& hRequest);
    CHttpResponseT<CharT>* _ReleasePostResponse();

private:
    using MapValue = typename CHttpClientMapT<CharT>::MapValue;
    struct CContextHandles;
    class CRequestSink;

    BOOL _IsActive() const noexcept { return m_objPostStat.IsActive(); }
    void _RefuseIfActive(const char* szOp) const;
    void _CheckStep(const char* szOp, DWORD nDesired) const;
    template <class F>
    CHttpResponseT<CharT>* _RunStep(F&& fnStep);
    const CharT* _Boundary() const noexcept;
    const CharT* _UploadContType() const noexcept;
    const MapValue& _ParamAt(DWORD nIdx) const;
    void _ReleaseAndClose() noexcept;
    // Where a start sends its request: the caller's handles (null: the client opens its own), the
    // URL and the request's options.
    struct CRequestTarget {
        HINTERNET hInternet;
        HINTERNET hConnection;
        const CharT* szUrl;
        DWORD dwFlags;
        const CharT* szReferer;
        const CharT* szUsrName;
        const CharT* szUsrPwd;
    };
    void _OpenContextHandles(CContextHandles& hs, const CRequestTarget& target);
    void _AddRequestHeaders(HINTERNET hRequest, const CharT* szContType);
    void _AddProxyAuthorization(HINTERNET hInternet, HINTERNET hRequest, const CharT* szUrl);
    void _RefuseProxiedHttps(HINTERNET hInternet, const CharT* szUrl) const;
    void _CheckSecureChannel(HINTERNET hRequest, const CharT* szUrl) const;
    void _StoreContext(CContextHandles& hs, BOOL bIsPost, const MapValue* pFirst, DWORD nFirstSize);
    template <class Plan>
    void _StartContext(Plan& plan, BOOL bIsPost, const CharT* szContType, DWORD nFile, const CRequestTarget& target);
    template <class Plan>
    CHttpResponseT<CharT>* _StepContext(const char* szOp, Plan& plan, DWORD nDesired);
    void _WritePostBytes(const CharT* pbyBuff, DWORD cbyBuff, BOOL bIsValue);

    BOOL m_bStrictFileCheck = FALSE;
    CHeapPtr<CharT> m_szBoundary;
    const CharT* m_szBoundaryA = nullptr;  // the same string as m_szBoundary in the 8-bit client
    CHeapPtr<CharT> m_szUploadContType;
    BOOL m_bUseUtf8 = FALSE;
    UINT m_nAnsiCodePage = CP_ACP;
    CHttpClientMapT<CharT> m_mapRequestHeader;
    CHttpClientMapT<CharT> m_mapParam;
    CHeapPtr<CharT> m_szInternetUserAgent;
    DWORD m_dwInternetAccessType = INTERNET_OPEN_TYPE_PRECONFIG;
    CHeapPtr<CharT> m_szInternetProxyName;
    CHeapPtr<CharT> m_szInternetProxyBypass;
    DWORD m_dwInternetFlags = 0;
    CHeapPtr<CharT> m_szProxyUserName;
    CHeapPtr<CharT> m_szProxyPassword;
    DWORD m_dwConnectTimeout = HTTPCLIENT_DEF_CONNECT_TIMEOUT;
    DWORD m_dwSendTimeout = HTTPCLIENT_DEF_SEND_TIMEOUT;
    DWORD m_dwReceiveTimeout = HTTPCLIENT_DEF_RECEIVE_TIMEOUT;
    CHttpPostStatT<CharT> m_objInitialStat;
    CHttpPostStatT<CharT> m_objPostStat;
    // The body of the context in progress; the one not in use is empty.
    CMultipartPlanA m_objUploadPlan;
    CUrlEncodedPlanA m_objPostPlan;
    ClientImpl::CContextHandle m_hInternet;
    ClientImpl::CContextHandle m_hConnection;
    CScopedInternetHandle m_hRequest;
    BOOL m_bIsPost = TRUE;
};

typedef CHttpClientT<char> CHttpClientA;

}  // namespace Tavon
