#include "urlencoded.h"

#include <new>

#include "encoder.h"

namespace Tavon {

namespace {

// A name or value as it goes on the wire: as given when the caller encoded it already.
const char* WireForm(const char* sz, BOOL bRaw, BOOL bUseUtf8, UINT nCodePage, CHeapPtr<char>& szOwned, DWORD& nLen) {
    nLen = 0;
    if (!sz)
        return nullptr;
    if (bRaw) {
        nLen = DWORD(HeapStrLen(sz));
        return sz;
    }
    nLen = CHttpEncoderA::UrlEncodeLenA(sz, bUseUtf8, nCodePage);
    if (nLen == 0)
        return nullptr;
    szOwned = HeapStrAlloc(nLen);
    CHttpEncoderA::UrlEncodeA(szOwned.get(), sz, bUseUtf8, nCodePage);
    return szOwned.get();
}

}  // namespace

void CUrlEncodedPlanA::Clear() noexcept {
    m_aPart.reset();
    m_nPart = m_nBody = m_nValues = 0;
    m_iPart = 0;
    m_bInPair = FALSE;
    m_nPosted = 0;
}

void CUrlEncodedPlanA::Build(const CHttpClientMapA& mapParam, BOOL bUseUtf8, UINT nCodePage) {
    Clear();
    const DWORD nPart = mapParam.Count();
    std::unique_ptr<CPair[]> aPart;
    if (nPart) {
        aPart.reset(new (std::nothrow) CPair[nPart]);
        if (!aPart)
            ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    // "&" between pairs, name, "=", value.
    DWORD nBody = 0, nValues = 0, iPart = 0;
    for (const CHttpClientMapA::MapValue& param : mapParam) {
        CPair& pair = aPart[iPart++];
        pair.szName = param.szName;
        pair.szWireName = WireForm(param.szName, param.dwFlag & HTTPCLIENT_PARAM_ENCODEDNAME, bUseUtf8, nCodePage,
                                   pair.szWireNameOwned, pair.nName);
        pair.szValue = WireForm(param.szValue, param.dwFlag & HTTPCLIENT_PARAM_ENCODEDVALUE, bUseUtf8, nCodePage,
                                pair.szValueOwned, pair.nValue);
        nBody = SafeAdd(SafeAdd(SafeAdd(nBody, iPart > 1 ? 2 : 1), pair.nName), pair.nValue);
        nValues = SafeAdd(nValues, pair.nValue);
    }
    m_aPart = std::move(aPart);
    m_nPart = nPart;
    m_nBody = nBody;
    m_nValues = nValues;
}

void CUrlEncodedPlanA::Step(DWORD nDesired, CBodySinkA& sink) {
    if (IsFinished() || nDesired == 0)
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
    const CPair& pair = m_aPart[m_iPart];
    if (!m_bInPair) {
        if (m_iPart > 0)
            sink.Write("&", 1, FALSE);
        sink.Write(pair.szWireName, pair.nName, FALSE);
        sink.Write("=", 1, FALSE);
        m_bInPair = TRUE;
        m_nPosted = 0;
        sink.BeginPart(pair.szName, pair.nValue, FALSE, nullptr);
        if (pair.nValue == 0)
            _EndPair();
        return;
    }
    const DWORD nLeft = pair.nValue - m_nPosted;
    const DWORD n = nDesired < nLeft ? nDesired : nLeft;
    sink.Write(pair.szValue + m_nPosted, n, TRUE);
    m_nPosted += n;
    if (m_nPosted == pair.nValue)
        _EndPair();
}

void CUrlEncodedPlanA::_EndPair() noexcept {
    m_bInPair = FALSE;
    ++m_iPart;
}

}  // namespace Tavon
