// The application/x-www-form-urlencoded body of a POST, laid out once when the POST starts:
// every name and value in its wire form. The steps advance a cursor over it.
#pragma once

#include <windows.h>

#include <memory>

#include "bodysink.h"
#include "heap.h"
#include "map.h"

namespace Tavon {

class CUrlEncodedPlanA {
public:
    CUrlEncodedPlanA() noexcept = default;
    CUrlEncodedPlanA(const CUrlEncodedPlanA&) = delete;
    CUrlEncodedPlanA& operator=(const CUrlEncodedPlanA&) = delete;

    // The plan keeps pointers to the map's strings: the map must not change until Clear.
    void Build(const CHttpClientMapA& mapParam, BOOL bUseUtf8, UINT nCodePage);
    void Clear() noexcept;

    DWORD BodyLength() const noexcept { return m_nBody; }
    DWORD ValueLength() const noexcept { return m_nValues; }
    DWORD PartCount() const noexcept { return m_nPart; }
    DWORD FirstValueLength() const noexcept { return m_nPart ? m_aPart[0].nValue : 0; }
    BOOL IsFinished() const noexcept { return m_iPart == m_nPart; }

    // One step: the next "&name=" (a pair with an empty value is then complete), or up to
    // nDesired bytes of the current value.
    void Step(DWORD nDesired, CBodySinkA& sink);

private:
    struct CPair {
        const char* szName = nullptr;  // as the caller gave it, for the progress counters
        const char* szWireName = nullptr;
        CHeapPtr<char> szWireNameOwned;
        DWORD nName = 0;
        const char* szValue = nullptr;
        CHeapPtr<char> szValueOwned;
        DWORD nValue = 0;
    };

    void _EndPair() noexcept;

    std::unique_ptr<CPair[]> m_aPart;
    DWORD m_nPart = 0;
    DWORD m_nBody = 0;
    DWORD m_nValues = 0;

    DWORD m_iPart = 0;       // the pair whose turn it is
    BOOL m_bInPair = FALSE;  // its "&name=" is out
    DWORD m_nPosted = 0;
};

}  // namespace Tavon
