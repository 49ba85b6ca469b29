#include "encoder.h"

#include "errors.h"

#include <cstring>

namespace Tavon {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(BYTE c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Form encoding: a space is "+", and only letters and digits go as they are.
DWORD UrlByteLen(BYTE c) noexcept {
    return (IsUnreserved(c) || c == ' ') ? 1 : 3;
}

LPSTR UrlEncodeByte(LPSTR szOut, BYTE c) noexcept {
    if (IsUnreserved(c)) {
        *szOut++ = static_cast<char>(c);
    } else if (c == ' ') {
        *szOut++ = '+';
    } else {
        *szOut++ = '%';
        *szOut++ = kHexDigits[c >> 4];
        *szOut++ = kHexDigits[c & 0x0F];
    }
    return szOut;
}

DWORD AddUrlLen(DWORD nLen, const char* pBytes, DWORD cbBytes) {
    for (DWORD i = 0; i < cbBytes; ++i)
        nLen = SafeAdd(nLen, UrlByteLen(static_cast<BYTE>(pBytes[i])));
    return nLen;
}

DWORD AddUrlLen(DWORD nLen, LPCSTR szStr) {
    for (; *szStr; ++szStr)
        nLen = SafeAdd(nLen, UrlByteLen(static_cast<BYTE>(*szStr)));
    return nLen;
}

// Hands fn each character's UTF-8 bytes. A lead byte right before the terminator is a
// character of its own, so nothing past the terminator is read.
template <class Fn>
void ForEachUtf8Char(LPCSTR szStr, UINT CodePage, Fn fn) {
    const BYTE* p = reinterpret_cast<const BYTE*>(szStr);
    while (*p) {
        char szChar[3] = {static_cast<char>(p[0]), '\0', '\0'};
        if (IsDBCSLeadByteEx(CodePage, p[0]) && p[1]) {
            szChar[1] = static_cast<char>(p[1]);
            p += 2;
        } else {
            p += 1;
        }
        char szUtf8[7];
        const DWORD cbUtf8 = CHttpEncoderA::_AnsiCharToUtf8Char(szUtf8, szChar, CodePage);
        fn(szUtf8, cbUtf8 - 1);
    }
}

}  // namespace

DWORD CHttpEncoderA::_AnsiCharToUtf8Char(LPSTR szUtf8Char, LPCSTR szAnsiChar, UINT CodePage) {
    if (!szUtf8Char || !szAnsiChar)
        ThrowErrorMsg("CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.",
                      HTTPCLIENT_ERR_NOT_SPECIFIED);

    WCHAR szWide[2] = {0, 0};
    if (!MultiByteToWideChar(CodePage, 0, szAnsiChar, -1, szWide, 2))
        ThrowErrorFmt(HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR, GetLastError());
    // Both units: the character and its terminator, so the output comes NUL-terminated.
    const int cb = WideCharToMultiByte(CP_UTF8, 0, szWide, 2, szUtf8Char, 7, nullptr, nullptr);
    if (!cb)
        ThrowErrorFmt(HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE, GetLastError());
    return static_cast<DWORD>(cb);
}

DWORD CHttpEncoderA::_Utf8EncodeLenFrom(DWORD nLen, LPCSTR szStr, UINT CodePage) {
    if (szStr)
        ForEachUtf8Char(szStr, CodePage, [&](LPCSTR, DWORD cb) { nLen = SafeAdd(nLen, cb); });
    return nLen;
}

DWORD CHttpEncoderA::Utf8EncodeLen(LPCSTR szStr, UINT CodePage) {
    return GuardBoundary([&] { return _Utf8EncodeLenFrom(0, szStr, CodePage); });
}

DWORD CHttpEncoderA::AnsiEncodeLen(LPCSTR szStr, UINT /*CodePage*/) {
    return szStr ? static_cast<DWORD>(std::strlen(szStr)) : 0;
}

LPSTR CHttpEncoderA::Utf8Encode(LPSTR szBuff, LPCSTR szStr, UINT CodePage) {
    if (!szBuff)
        ThrowErrorMsg("CHttpEncoderA::Utf8Encode: szBuff can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    LPSTR szOut = szBuff;
    *szOut = '\0';
    if (szStr) {
        // Kept terminated after every character: on a failure the buffer holds what was done.
        ForEachUtf8Char(szStr, CodePage, [&](LPCSTR szUtf8, DWORD cb) {
            std::memcpy(szOut, szUtf8, cb + 1);
            szOut += cb;
        });
    }
    return szBuff;
}

DWORD CHttpEncoderA::Base64EncodeLen(DWORD cbData) {
    const DWORD nGroups = cbData / 3 + (cbData % 3 ? 1 : 0);
    if (nGroups > 0xFFFFFFFFu / 4)
        ThrowError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    return nGroups * 4;
}

LPSTR CHttpEncoderA::Base64Encode(LPSTR szBuff, const BYTE* pbyData, DWORD cbData) {
    if (!szBuff)
        ThrowErrorMsg("CHttpEncoderA::Base64Encode: szBuff can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);
    if (!pbyData && cbData)
        ThrowErrorMsg("CHttpEncoderA::Base64Encode: pbyData can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    LPSTR szOut = szBuff;
    for (DWORD i = 0; i < cbData; i += 3) {
        const DWORD n = cbData - i < 3 ? cbData - i : 3;
        DWORD dwBits = DWORD(pbyData[i]) << 16;
        if (n > 1)
            dwBits |= DWORD(pbyData[i + 1]) << 8;
        if (n > 2)
            dwBits |= pbyData[i + 2];
        for (DWORD k = 0; k < 4; ++k)
            *szOut++ = k <= n ? kDigits[(dwBits >> (18 - 6 * k)) & 0x3F] : '=';
    }
    *szOut = '\0';
    return szBuff;
}

DWORD CHttpEncoderA::_UrlEncodeLenFrom(DWORD nLen, LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage) {
    if (!szStr)
        return nLen;
    if (!bUtf8Encoding)
        return AddUrlLen(nLen, szStr);
    ForEachUtf8Char(szStr, CodePage, [&](LPCSTR szUtf8, DWORD cb) { nLen = AddUrlLen(nLen, szUtf8, cb); });
    return nLen;
}

DWORD CHttpEncoderA::UrlEncodeLenA(LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage) {
    return GuardBoundary([&] { return _UrlEncodeLenFrom(0, szStr, bUtf8Encoding, CodePage); });
}

LPSTR CHttpEncoderA::UrlEncodeA(LPSTR szBuff, LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage) {
    if (!szBuff)
        ThrowErrorMsg("CHttpEncoderA::UrlEncodeA: szBuff can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    LPSTR szOut = szBuff;
    *szOut = '\0';
    if (!szStr)
        return szBuff;
    if (!bUtf8Encoding) {
        for (; *szStr; ++szStr)
            szOut = UrlEncodeByte(szOut, static_cast<BYTE>(*szStr));
        *szOut = '\0';
        return szBuff;
    }
    ForEachUtf8Char(szStr, CodePage, [&](LPCSTR szUtf8, DWORD cb) {
        for (DWORD i = 0; i < cb; ++i)
            szOut = UrlEncodeByte(szOut, static_cast<BYTE>(szUtf8[i]));
        *szOut = '\0';
    });
    return szBuff;
}

DWORD _UrlEncodeLen(LPCSTR szStr) {
    if (!szStr)
        ThrowErrorMsgW(L"_UrlEncodeLen: szStr can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);
    try {
        return AddUrlLen(0, szStr);
    } catch (const SafeIntException&) {
        ThrowErrorW(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);  // the only check in the sum
    }
}

}  // namespace Tavon
