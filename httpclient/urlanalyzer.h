// Splits a URL into scheme, address, port, object, query and fragment as positions and lengths,
// reading the bytes in an ANSI code page so that a DBCS trail byte is never a delimiter. The
// client's reading of an analysis lives here too, so every call site reads it the same way.
#pragma once

#include <windows.h>
#include <wininet.h>

namespace Tavon {

template <class CharT>
class CHttpUrlAnalyzerT {
public:
    CHttpUrlAnalyzerT();

    void Analyze(const CharT* szUrl, UINT CodePage = CP_ACP);

    DWORD SchemePos() const { return m_nSchemePos; }
    DWORD SchemeLen() const { return m_nSchemeLen; }
    DWORD AddressPos() const { return m_nAddressPos; }
    DWORD AddressLen() const { return m_nAddressLen; }
    DWORD PortPos() const { return m_nPortPos; }
    DWORD PortLen() const { return m_nPortLen; }
    DWORD ObjectPos() const { return m_nObjectPos; }
    DWORD ObjectLen() const { return m_nObjectLen; }
    DWORD QueryPos() const { return m_nQueryPos; }
    DWORD QueryLen() const { return m_nQueryLen; }
    DWORD FragmentPos() const { return m_nFragmentPos; }
    DWORD FragmentLen() const { return m_nFragmentLen; }

    // The client's reading of the analysis; szUrl must be the string given to Analyze.
    BOOL IsSecure(const CharT* szUrl) const;
    INTERNET_PORT GetPort(const CharT* szUrl) const;
    CharT* GetServerAddress(const CharT* szUrl) const;  // malloc'ed
    CharT* GetObjectName(const CharT* szUrl) const;     // malloc'ed

private:
    void _CheckUrl(const CharT* szUrl, LPCSTR szErrMsg) const;

    DWORD m_nSchemePos;
    DWORD m_nSchemeLen;
    DWORD m_nAddressPos;
    DWORD m_nAddressLen;
    DWORD m_nPortPos;
    DWORD m_nPortLen;
    DWORD m_nObjectPos;
    DWORD m_nObjectLen;
    DWORD m_nQueryPos;
    DWORD m_nQueryLen;
    DWORD m_nFragmentPos;
    DWORD m_nFragmentLen;
};

typedef CHttpUrlAnalyzerT<char> CHttpUrlAnalyzerA;

}  // namespace Tavon
