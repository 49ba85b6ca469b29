// The multipart/form-data body of an upload, laid out once when the upload starts: every part's
// header and value in wire form, each file opened and measured. The steps then only advance a
// cursor over the plan, so the declared length and the bytes written come from the same place.
#pragma once

#include <windows.h>

#include <memory>

#include "bodysink.h"
#include "heap.h"
#include "map.h"
#include "tool.h"

namespace Tavon {

inline constexpr DWORD HTTPCLIENT_READ_BUFF_SIZE = 57344;

class CMultipartPlanA {
public:
    CMultipartPlanA() noexcept = default;
    CMultipartPlanA(const CMultipartPlanA&) = delete;
    CMultipartPlanA& operator=(const CMultipartPlanA&) = delete;

    // The plan keeps pointers to the map's names and paths: the map must not change until Clear.
    // Texts are encoded in the client's form (UTF-8 from nCodePage when bUseUtf8).
    void Build(const CHttpClientMapA& mapParam,
               const char* szBoundary,
               BOOL bUseUtf8,
               UINT nCodePage,
               BOOL bStrictFileCheck);
    void Clear() noexcept;

    DWORD BodyLength() const noexcept { return m_nBody; }
    DWORD ValueLength() const noexcept { return m_nValues; }
    DWORD PartCount() const noexcept { return m_nPart; }
    DWORD FileCount() const noexcept { return m_nFile; }
    DWORD FirstValueLength() const noexcept { return m_nPart ? m_aPart[0].nValue : 0; }
    // Every byte of the body has been handed to the sink.
    BOOL IsFinished() const noexcept { return m_bClosed; }

    // One step: the next part header (with "\r\n" when its value is empty), or up to nDesired
    // value bytes (with "\r\n" when they complete the value), or the closing delimiter.
    void Step(DWORD nDesired, CBodySinkA& sink);

private:
    struct CPart {
        const char* szName = nullptr;
        const char* szPath = nullptr;  // file parts only
        BOOL bFile = FALSE;
        CHeapPtr<char> szHeader;
        DWORD nHeader = 0;
        const char* szValue = nullptr;  // text parts: the wire form, the map's own string or szValueOwned
        CHeapPtr<char> szValueOwned;
        DWORD nValue = 0;  // text length or file size
        CScopedFileHandle hFile;
        CHeapPtr<char> szMimeType;
    };

    void _MeasureFile(CPart& part, BOOL bStrictFileCheck, UINT nCodePage);
    void _EndPart(CBodySinkA& sink);
    void _WriteFileBytes(CPart& part, DWORD n, CBodySinkA& sink);
    void _ReadAhead(CPart& part);

    std::unique_ptr<CPart[]> m_aPart;
    DWORD m_nPart = 0;
    DWORD m_nFile = 0;
    DWORD m_nBody = 0;
    DWORD m_nValues = 0;
    CHeapPtr<char> m_szClosing;
    DWORD m_nClosing = 0;

    // The cursor: the part whose turn it is, whether its header is out, how much of its value.
    DWORD m_iPart = 0;
    BOOL m_bInPart = FALSE;
    DWORD m_nPosted = 0;
    BOOL m_bClosed = FALSE;

    // The current file is read a buffer-full at a time and handed out from here, whatever the step size.
    CHeapPtr<BYTE> m_pbyReadBuff;  // allocated at the first file byte, HTTPCLIENT_READ_BUFF_SIZE bytes
    DWORD m_nBuffPos = 0;          // next byte to hand out
    DWORD m_nBuffEnd = 0;          // bytes the buffer holds
    DWORD m_nFileRead = 0;         // bytes of the current file read so far
};

}  // namespace Tavon
