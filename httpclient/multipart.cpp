#include "multipart.h"

#include <new>

#include "encoder.h"

namespace Tavon {

namespace {

struct CPiece {
    const char* p;
    DWORD n;
};

CPiece Lit(const char* sz) {
    return {sz, DWORD(HeapStrLen(sz))};
}

// Joins the pieces in one heap string, so that a part header goes out in one platform write
// (under Wine each write is a round trip of its own).
CHeapPtr<char> Join(std::initializer_list<CPiece> pieces, DWORD& nLen) {
    nLen = 0;
    for (const CPiece& piece : pieces)
        nLen = SafeAdd(nLen, piece.n);
    CHeapPtr<char> sz = HeapStrAlloc(nLen);
    char* pEnd = sz.get();
    for (const CPiece& piece : pieces) {
        if (piece.n)
            std::memcpy(pEnd, piece.p, piece.n);
        pEnd += piece.n;
    }
    *pEnd = '\0';
    return sz;
}

// A user text (name, value, path) in the form it takes on the wire; null for null or "".
CHeapPtr<char> WireText(const char* sz, BOOL bUseUtf8, UINT nCodePage, DWORD& nLen) {
    nLen = 0;
    if (!sz || !*sz)
        return nullptr;
    if (!bUseUtf8)
        return HeapStrNDup(sz, nLen = CHttpEncoderA::AnsiEncodeLen(sz, nCodePage));
    nLen = CHttpEncoderA::Utf8EncodeLen(sz, nCodePage);
    CHeapPtr<char> szWire = HeapStrAlloc(nLen);
    CHttpEncoderA::Utf8Encode(szWire.get(), sz, nCodePage);
    return szWire;
}

const char kPartEnd[] = "\r\n";

// A name or file name inside a quoted header parameter: '"', CR and LF are percent-encoded as
// browsers do, so no name can close the quotes early or start a header line of its own. The
// wire form is UTF-8 or an ANSI code page, where these bytes are never part of a longer character.
bool IsUnsafeInQuotes(char c) {
    return c == '"' || c == '\r' || c == '\n';
}

CHeapPtr<char> HeaderParamText(const char* sz, BOOL bUseUtf8, UINT nCodePage, DWORD& nLen) {
    CHeapPtr<char> szWire = WireText(sz, bUseUtf8, nCodePage, nLen);
    DWORD nUnsafe = 0;
    for (DWORD i = 0; i < nLen; ++i)
        nUnsafe += IsUnsafeInQuotes(szWire.get()[i]) ? 1 : 0;
    if (nUnsafe == 0)
        return szWire;
    const DWORD nEscaped = SafeAdd(nLen, SafeAdd(nUnsafe, nUnsafe));
    CHeapPtr<char> szEscaped = HeapStrAlloc(nEscaped);
    char* p = szEscaped.get();
    for (DWORD i = 0; i < nLen; ++i) {
        const char c = szWire.get()[i];
        if (IsUnsafeInQuotes(c)) {
            static const char kHex[] = "0123456789ABCDEF";
            *p++ = '%';
            *p++ = kHex[(c >> 4) & 0xF];
            *p++ = kHex[c & 0xF];
        } else {
            *p++ = c;
        }
    }
    *p = '\0';
    nLen = nEscaped;
    return szEscaped;
}

}  // namespace

void CMultipartPlanA::Clear() noexcept {
    m_aPart.reset();
    m_nPart = m_nFile = m_nBody = m_nValues = 0;
    m_szClosing.reset();
    m_nClosing = 0;
    m_iPart = 0;
    m_bInPart = FALSE;
    m_nPosted = 0;
    m_bClosed = FALSE;
    m_pbyReadBuff.reset();
    m_nBuffPos = m_nBuffEnd = m_nFileRead = 0;
}

void CMultipartPlanA::_MeasureFile(CPart& part, BOOL bStrictFileCheck, UINT nCodePage) {
    if (part.szPath) {
        part.hFile.Reset(CHttpToolA::OpenFile(part.szPath));
        const DWORD dwErr = ::GetLastError();
        if (!part.hFile.IsValid() && bStrictFileCheck)
            ThrowErrorFmt(HTTPCLIENT_ERR_OPENFILE, dwErr, part.szPath);
    } else if (bStrictFileCheck) {
        ThrowErrorFmt(HTTPCLIENT_ERR_OPENFILE, ERROR_INVALID_PARAMETER, "");
    }
    // A file that cannot be opened goes out empty, as an octet stream.
    if (part.hFile.IsValid())
        part.nValue = CHttpToolA::GetFileSize(part.hFile.Get(), part.szPath);
    part.szMimeType.reset(CHttpToolA::GetMimeType(part.hFile.Get(), nCodePage));
}

void CMultipartPlanA::Build(const CHttpClientMapA& mapParam,
                            const char* szBoundary,
                            BOOL bUseUtf8,
                            UINT nCodePage,
                            BOOL bStrictFileCheck) {
    Clear();
    const DWORD nPart = mapParam.Count();
    std::unique_ptr<CPart[]> aPart;
    if (nPart) {
        aPart.reset(new (std::nothrow) CPart[nPart]);
        if (!aPart)
            ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }

    const CPiece boundary = Lit(szBoundary);
    DWORD nBody = 0, nValues = 0, nFile = 0, iPart = 0;
    for (const CHttpClientMapA::MapValue& param : mapParam) {
        CPart& part = aPart[iPart++];
        part.szName = param.szName;
        part.bFile = (param.dwFlag & HTTPCLIENT_PARAM_FILE) != 0;
        DWORD nName = 0;
        CHeapPtr<char> szName = HeaderParamText(param.szName, bUseUtf8, nCodePage, nName);
        if (part.bFile) {
            ++nFile;
            part.szPath = param.szValue;
            _MeasureFile(part, bStrictFileCheck, nCodePage);
            DWORD nPath = 0;
            const char* szShownName = param.szFileName ? param.szFileName : part.szPath;
            CHeapPtr<char> szPath = HeaderParamText(szShownName, bUseUtf8, nCodePage, nPath);
            part.szHeader = Join({Lit("--"),
                                  boundary,
                                  Lit("\r\nContent-Disposition: form-data; name=\""),
                                  {szName.get(), nName},
                                  Lit("\"; filename=\""),
                                  {szPath.get(), nPath},
                                  Lit("\"\r\nContent-Type: "),
                                  Lit(part.szMimeType.get()),
                                  Lit("\r\n\r\n")},
                                 part.nHeader);
        } else {
            if (bUseUtf8) {
                part.szValueOwned = WireText(param.szValue, bUseUtf8, nCodePage, part.nValue);
                part.szValue = part.szValueOwned.get();
            } else if (param.szValue && *param.szValue) {
                part.szValue = param.szValue;
                part.nValue = CHttpEncoderA::AnsiEncodeLen(param.szValue, nCodePage);
            }
            part.szHeader = Join({Lit("--"),
                                  boundary,
                                  Lit("\r\nContent-Disposition: form-data; name=\""),
                                  {szName.get(), nName},
                                  Lit("\"\r\n\r\n")},
                                 part.nHeader);
        }
        nBody = SafeAdd(SafeAdd(SafeAdd(nBody, part.nHeader), part.nValue), DWORD(sizeof kPartEnd - 1));
        nValues = SafeAdd(nValues, part.nValue);
    }
    // Without any part the body still opens with a line break before the closing delimiter.
    DWORD nClosing = 0;
    CHeapPtr<char> szClosing = Join({Lit(nPart ? "--" : "\r\n--"), boundary, Lit("--\r\n")}, nClosing);
    nBody = SafeAdd(nBody, nClosing);

    m_aPart = std::move(aPart);
    m_nPart = nPart;
    m_nFile = nFile;
    m_nBody = nBody;
    m_nValues = nValues;
    m_szClosing = std::move(szClosing);
    m_nClosing = nClosing;
}

void CMultipartPlanA::Step(DWORD nDesired, CBodySinkA& sink) {
    if (m_bClosed || nDesired == 0)
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
    if (m_iPart == m_nPart) {
        sink.Write(m_szClosing.get(), m_nClosing, FALSE);
        m_bClosed = TRUE;
        return;
    }
    CPart& part = m_aPart[m_iPart];
    if (!m_bInPart) {
        // A file that grew or shrank since the start would not match the declared length.
        if (part.hFile.IsValid() && CHttpToolA::GetFileSize(part.hFile.Get(), part.szPath) != part.nValue)
            ThrowError(HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
        sink.Write(part.szHeader.get(), part.nHeader, FALSE);
        m_bInPart = TRUE;
        m_nPosted = 0;
        m_nBuffPos = m_nBuffEnd = m_nFileRead = 0;
        sink.BeginPart(part.szName, part.nValue, part.bFile, part.szPath);
        if (part.nValue == 0)
            _EndPart(sink);
        return;
    }
    const DWORD nLeft = part.nValue - m_nPosted;
    const DWORD n = nDesired < nLeft ? nDesired : nLeft;
    if (part.bFile)
        _WriteFileBytes(part, n, sink);
    else
        sink.Write(part.szValue + m_nPosted, n, TRUE);
    m_nPosted += n;
    if (m_nPosted == part.nValue)
        _EndPart(sink);
}

void CMultipartPlanA::_EndPart(CBodySinkA& sink) {
    sink.Write(kPartEnd, sizeof kPartEnd - 1, FALSE);
    m_bInPart = FALSE;
    ++m_iPart;
}

void CMultipartPlanA::_WriteFileBytes(CPart& part, DWORD n, CBodySinkA& sink) {
    // The step that completes the file checks first that it still has its declared size: a file
    // that grew or shrank after the last block was read would otherwise go out unnoticed.
    if (m_nPosted + n == part.nValue && CHttpToolA::GetFileSize(part.hFile.Get(), part.szPath) != part.nValue)
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
    while (n) {
        if (m_nBuffPos == m_nBuffEnd)
            _ReadAhead(part);
        const DWORD nAvail = m_nBuffEnd - m_nBuffPos;
        const DWORD nChunk = n < nAvail ? n : nAvail;
        sink.Write(reinterpret_cast<const char*>(m_pbyReadBuff.get() + m_nBuffPos), nChunk, TRUE);
        m_nBuffPos += nChunk;
        n -= nChunk;
    }
}

void CMultipartPlanA::_ReadAhead(CPart& part) {
    if (!m_pbyReadBuff) {
        m_pbyReadBuff.reset(static_cast<BYTE*>(std::malloc(HTTPCLIENT_READ_BUFF_SIZE)));
        if (!m_pbyReadBuff)
            ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    }
    const DWORD nUnread = part.nValue - m_nFileRead;
    const DWORD nBlock = nUnread < HTTPCLIENT_READ_BUFF_SIZE ? nUnread : HTTPCLIENT_READ_BUFF_SIZE;
    m_nBuffPos = m_nBuffEnd = 0;
    if (CHttpToolA::ReadFile(part.hFile.Get(), m_pbyReadBuff.get(), nBlock) != nBlock)
        ThrowError(HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE);
    m_nBuffEnd = nBlock;
    m_nFileRead += nBlock;
}

}  // namespace Tavon
