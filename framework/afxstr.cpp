#include "afxstr.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mbstring.h>

CString CString::Mid(int nFirst) const {
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const {
    if (nFirst < 0)
        nFirst = 0;
    if (nFirst >= GetLength() || nCount <= 0)
        return CString();
    return CString(m_str.c_str() + nFirst, std::min(nCount, GetLength() - nFirst));
}

int CString::Find(char ch) const {
    auto p = reinterpret_cast<const unsigned char*>(m_str.c_str());
    const unsigned char* pFound = _mbschr(p, static_cast<unsigned char>(ch));
    return pFound ? int(pFound - p) : -1;
}

int CString::ReverseFind(char ch) const {
    auto p = reinterpret_cast<const unsigned char*>(m_str.c_str());
    const unsigned char* pFound = _mbsrchr(p, static_cast<unsigned char>(ch));
    return pFound ? int(pFound - p) : -1;
}

int CString::Find(LPCSTR pszSub) const {
    auto p = reinterpret_cast<const unsigned char*>(m_str.c_str());
    const unsigned char* pFound = _mbsstr(p, reinterpret_cast<const unsigned char*>(pszSub ? pszSub : ""));
    return pFound ? int(pFound - p) : -1;
}

int CString::Compare(LPCSTR psz) const {
    return _mbscmp(reinterpret_cast<const unsigned char*>(m_str.c_str()),
                   reinterpret_cast<const unsigned char*>(psz ? psz : ""));
}

CString AfxFormat(LPCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    int nLength = std::vsnprintf(nullptr, 0, pszFormat, argsCopy);
    va_end(argsCopy);
    std::string str(nLength > 0 ? size_t(nLength) : 0, '\0');
    if (nLength > 0)
        std::vsnprintf(&str[0], str.size() + 1, pszFormat, args);
    va_end(args);
    return CString(str.c_str(), nLength);
}
