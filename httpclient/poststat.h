// Progress of one request body. The client drives the live object; callers read copies of it
// between steps.
#pragma once

#include <windows.h>

namespace Tavon {

template <class CharT>
class CHttpPostStatT {
public:
    CHttpPostStatT();
    CHttpPostStatT(const CHttpPostStatT& other);
    CHttpPostStatT& operator=(const CHttpPostStatT& other);
    virtual ~CHttpPostStatT();

    // Every reader but IsActive fails while the object is inactive.
    BOOL IsActive() const;
    DWORD ActualTotalByte() const;
    DWORD ActualPostedByte() const;
    DWORD TotalByte() const;
    DWORD PostedByte() const;
    DWORD TotalCount() const;
    DWORD PostedCount() const;
    DWORD FileCount() const;
    DWORD PostedFileCount() const;
    const CharT* CurrParamName() const;      // null before the first parameter
    const CharT* CurrParamFilePath() const;  // null unless the current parameter is a file
    DWORD CurrParamTotalByte() const;
    DWORD CurrParamPostedByte() const;
    DWORD CurrParamRemainByte() const;
    BOOL CurrParamIsFile() const;
    BOOL CurrParamIsComplete() const;

    // Driven by the client only: each _Test* operation checks what the matching change would
    // do, so the client can test before a write and record after it succeeded.
    void _Activate(DWORD nActualTotalByte, DWORD nTotalByte, DWORD nTotalCount, DWORD nFileCount);
    void _TestStartNewEntry(const CharT* szName,
                            DWORD nTotalByte,
                            BOOL bIsFile = FALSE,
                            const CharT* szFilePath = nullptr) const;
    void _StartNewEntry(const CharT* szName, DWORD nTotalByte, BOOL bIsFile = FALSE, const CharT* szFilePath = nullptr);
    void _TestAddPostedBytes(DWORD nBytes) const;
    void _AddPostedBytes(DWORD nBytes);
    void _TestAddActualPostedBytes(DWORD nBytes) const;
    void _AddActualPostedBytes(DWORD nBytes);
    void _Reset();

private:
    void _CheckActive(LPCSTR szErrMsg) const;

    BOOL m_bIsActive;
    DWORD m_nActualTotalByte;
    DWORD m_nActualPostedByte;
    DWORD m_nTotalByte;
    DWORD m_nPostedByte;
    DWORD m_nTotalCount;
    DWORD m_nPostedCount;
    DWORD m_nFileCount;
    DWORD m_nPostedFileCount;
    CharT* m_szCurrParamName;
    CharT* m_szCurrParamFilePath;
    DWORD m_nCurrParamTotalByte;
    DWORD m_nCurrParamPostedByte;
};

typedef CHttpPostStatT<char> CHttpPostStatA;

}  // namespace Tavon
