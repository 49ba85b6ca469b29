// UTF-8 and URL encoding of narrow strings in an ANSI code page, with exact length
// pre-computation so that callers can allocate once and declare body lengths in advance.
#pragma once

#include <windows.h>

namespace Tavon {

class CHttpEncoderA {
public:
    // One character (1 or 2 bytes + NUL) to UTF-8 in a buffer of at least 7 bytes;
    // returns the bytes written, NUL included.
    static DWORD _AnsiCharToUtf8Char(LPSTR szUtf8Char, LPCSTR szAnsiChar, UINT CodePage);

    static DWORD Utf8EncodeLen(LPCSTR szStr, UINT CodePage);
    static DWORD AnsiEncodeLen(LPCSTR szStr, UINT CodePage);
    // szBuff must hold Utf8EncodeLen + 1 bytes.
    static LPSTR Utf8Encode(LPSTR szBuff, LPCSTR szStr, UINT CodePage);

    // Standard Base64 with padding; Base64EncodeLen raises 112 when the length exceeds 32 bits.
    static DWORD Base64EncodeLen(DWORD cbData);
    // szBuff must hold Base64EncodeLen + 1 bytes.
    static LPSTR Base64Encode(LPSTR szBuff, const BYTE* pbyData, DWORD cbData);

    static DWORD UrlEncodeLenA(LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage);
    // szBuff must hold UrlEncodeLenA + 1 bytes.
    static LPSTR UrlEncodeA(LPSTR szBuff, LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage);

    // The length sums continued from nLen. They raise SafeIntException where the sum would wrap;
    // the public length operations start from 0 and report that as error 112.
    static DWORD _Utf8EncodeLenFrom(DWORD nLen, LPCSTR szStr, UINT CodePage);
    static DWORD _UrlEncodeLenFrom(DWORD nLen, LPCSTR szStr, BOOL bUtf8Encoding, UINT CodePage);
};

// Bytes of szStr's URL-encoded form; failures are httpclientexceptionW.
DWORD _UrlEncodeLen(LPCSTR szStr);

}  // namespace Tavon
