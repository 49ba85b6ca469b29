// CString: the 8-bit string of the framework. Text is in the ANSI code page; searches and
// comparisons take double-byte characters as units (the C runtime's multibyte rules).
#pragma once
#include <windows.h>
#include <string>

class CString {
public:
    CString() = default;
    CString(LPCSTR psz) : m_str(psz ? psz : "") {}
    CString(LPCSTR pch, int nLength) : m_str(pch, nLength > 0 ? size_t(nLength) : 0) {}

    CString& operator=(LPCSTR psz) {
        m_str = psz ? psz : "";
        return *this;
    }

    operator LPCSTR() const { return m_str.c_str(); }
    int GetLength() const { return int(m_str.size()); }
    BOOL IsEmpty() const { return m_str.empty(); }

    // Byte positions; a start beyond the end gives an empty string.
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Left(int nCount) const { return Mid(0, nCount); }

    // Position in bytes of the first (ReverseFind: last) occurrence, or -1.
    int Find(char ch) const;
    int Find(LPCSTR pszSub) const;
    int ReverseFind(char ch) const;

    // <0, 0, >0 as _mbscmp.
    int Compare(LPCSTR psz) const;

private:
    std::string m_str;
};

// Formats like sprintf into a new string.
CString AfxFormat(LPCSTR pszFormat, ...);
