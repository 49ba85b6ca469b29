#include "PendingStore.h"

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

const char kRecordHeader[] = "QuillaPendingReport 1";
const char* const kRecordKeys[] = {"version", "filename", "first", "attempts", "size", "last"};
const ULONGLONG kFileTimeDay = 24ull * 60 * 60 * 10000000;
const DWORD kCopyBuff = 64 * 1024;

class CScopedHandle {
public:
    explicit CScopedHandle(HANDLE h) noexcept : m_h(h) {}
    ~CScopedHandle() {
        if (IsValid())
            ::CloseHandle(m_h);
    }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;
    HANDLE Get() const noexcept { return m_h; }
    BOOL IsValid() const noexcept { return m_h && m_h != INVALID_HANDLE_VALUE; }
    // Closes now, with the result of the close: a failed close can lose written data.
    BOOL Close() noexcept {
        const HANDLE h = m_h;
        m_h = nullptr;
        return h && h != INVALID_HANDLE_VALUE && ::CloseHandle(h);
    }

private:
    HANDLE m_h;
};

class CScopedFind {
public:
    CScopedFind(const std::string& strPattern, WIN32_FIND_DATAA& data)
        : m_h(::FindFirstFileA(strPattern.c_str(), &data)) {}
    ~CScopedFind() {
        if (IsValid())
            ::FindClose(m_h);
    }
    CScopedFind(const CScopedFind&) = delete;
    CScopedFind& operator=(const CScopedFind&) = delete;
    BOOL IsValid() const noexcept { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return m_h; }

private:
    HANDLE m_h;
};

ULONGLONG Now() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

BOOL FileSize(const std::string& strPath, ULONGLONG& nSize) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(strPath.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return FALSE;
    nSize = (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return TRUE;
}

BOOL EndsWith(const std::string& str, const char* szEnd) {
    const size_t n = std::strlen(szEnd);
    return str.size() >= n && str.compare(str.size() - n, n, szEnd) == 0;
}

// Record values are one line each: control bytes and '%' are percent-encoded.
std::string Escape(const char* sz) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string str;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(sz); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == '%') {
            str += '%';
            str += kHex[*p >> 4];
            str += kHex[*p & 0xF];
        } else {
            str += char(*p);
        }
    }
    return str;
}

BOOL Unescape(const std::string& str, std::string& strOut) {
    strOut.clear();
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] != '%') {
            strOut += str[i];
            continue;
        }
        if (i + 2 >= str.size() || !std::isxdigit(static_cast<unsigned char>(str[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(str[i + 2])))
            return FALSE;
        strOut += char(std::strtoul(str.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return TRUE;
}

// Digits only (hex or decimal), at most nMaxDigits of them.
BOOL ParseNumber(const std::string& str, int nBase, size_t nMaxDigits, ULONGLONG& n) {
    if (str.empty() || str.size() > nMaxDigits)
        return FALSE;
    for (char c : str) {
        if (nBase == 16 ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c)))
            return FALSE;
    }
    n = std::strtoull(str.c_str(), nullptr, nBase);
    return TRUE;
}

// Writes strPath under a temporary name through write, flushes, and only then renames it into
// place: a kill at any instant leaves the old file or the whole new one.
template <typename Write>
BOOL WriteThenRename(const std::string& strPath, Write write) {
    const std::string strTemp = strPath + ".tmp";
    {
        CScopedHandle hFile(
            ::CreateFileA(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!hFile.IsValid())
            return FALSE;
        const BOOL bOk = write(hFile.Get()) && ::FlushFileBuffers(hFile.Get());
        if (!hFile.Close() || !bOk) {
            ::DeleteFileA(strTemp.c_str());
            return FALSE;
        }
    }
    if (::MoveFileExA(strTemp.c_str(), strPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return TRUE;
    ::DeleteFileA(strTemp.c_str());
    return FALSE;
}

BOOL WriteWhole(const std::string& strPath, const std::string& strText) {
    return WriteThenRename(strPath, [&](HANDLE hFile) {
        DWORD cbWritten = 0;
        return ::WriteFile(hFile, strText.data(), DWORD(strText.size()), &cbWritten, nullptr) &&
               cbWritten == strText.size();
    });
}

// Copies exactly nSize bytes of hSource to strPath.
BOOL CopyWhole(HANDLE hSource, DWORD nSize, const std::string& strPath) {
    std::unique_ptr<BYTE[]> pbyBuff(new (std::nothrow) BYTE[kCopyBuff]);
    if (!pbyBuff)
        return FALSE;
    return WriteThenRename(strPath, [&](HANDLE hFile) {
        BOOL bOk = TRUE;
        for (DWORD nLeft = nSize; bOk && nLeft;) {
            DWORD cbRead = 0, cbWritten = 0;
            bOk = ::ReadFile(hSource, pbyBuff.get(), std::min(nLeft, kCopyBuff), &cbRead, nullptr) && cbRead &&
                  ::WriteFile(hFile, pbyBuff.get(), cbRead, &cbWritten, nullptr) && cbWritten == cbRead;
            nLeft -= bOk ? cbRead : 0;
        }
        // A file that grew meanwhile is not what its size promised either.
        DWORD cbMore = 0;
        return bOk && ::ReadFile(hSource, pbyBuff.get(), 1, &cbMore, nullptr) && cbMore == 0;
    });
}

std::string FormatRecord(const CPendingReport& report) {
    char szFirst[17];
    std::snprintf(szFirst, sizeof szFirst, "%016llX", report.m_nFirstAttempt);
    const std::string values[] = {
        Escape(report.m_strVersion.c_str()), Escape(report.m_strFileName.c_str()), szFirst,
        std::to_string(report.m_nAttempts),  std::to_string(report.m_nSize),       Escape(report.m_strLast.c_str())};
    std::string str = std::string(kRecordHeader) + "\r\n";
    for (size_t i = 0; i < 6; ++i)
        str.append(kRecordKeys[i]).append("=").append(values[i]).append("\r\n");
    return str;
}

// The record exactly as FormatRecord writes it, or FALSE.
BOOL ParseRecord(const std::string& strText, CPendingReport& report) {
    std::vector<std::string> lines;
    for (size_t nPos = 0; nPos < strText.size();) {
        const size_t nEnd = strText.find("\r\n", nPos);
        if (nEnd == std::string::npos)
            return FALSE;
        lines.push_back(strText.substr(nPos, nEnd - nPos));
        nPos = nEnd + 2;
    }
    if (lines.size() != 7 || lines[0] != kRecordHeader)
        return FALSE;
    std::string values[6];
    for (size_t i = 0; i < 6; ++i) {
        const std::string strKey = std::string(kRecordKeys[i]) + "=";
        if (lines[i + 1].compare(0, strKey.size(), strKey) != 0)
            return FALSE;
        values[i] = lines[i + 1].substr(strKey.size());
    }
    ULONGLONG nAttempts = 0, nSize = 0;
    return Unescape(values[0], report.m_strVersion) && Unescape(values[1], report.m_strFileName) &&
           ParseNumber(values[2], 16, 16, report.m_nFirstAttempt) && ParseNumber(values[3], 10, 9, nAttempts) &&
           ParseNumber(values[4], 10, 10, nSize) && nSize <= PENDING_MAX_BYTES &&
           Unescape(values[5], report.m_strLast) && ((report.m_nAttempts = DWORD(nAttempts)), true) &&
           ((report.m_nSize = DWORD(nSize)), true);
}

BOOL ReadSmallFile(const std::string& strPath, std::string& strText) {
    CScopedHandle hFile(::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile.IsValid())
        return FALSE;
    char szBuff[8192];
    DWORD cbRead = 0;
    if (!::ReadFile(hFile.Get(), szBuff, sizeof szBuff, &cbRead, nullptr) || cbRead == sizeof szBuff)
        return FALSE;
    strText.assign(szBuff, cbRead);
    return TRUE;
}

}  // namespace

// Holds the store's mutex for one change of the folder; a holder killed mid-change leaves the
// mutex abandoned, which the next one takes over like a free one.
class CPendingStore::CLock {
public:
    explicit CLock(HANDLE hMutex) : m_hMutex(hMutex) {
        const DWORD dwWait = hMutex ? ::WaitForSingleObject(hMutex, INFINITE) : WAIT_FAILED;
        m_bHeld = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    }
    ~CLock() {
        if (m_bHeld)
            ::ReleaseMutex(m_hMutex);
    }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    BOOL IsHeld() const noexcept { return m_bHeld; }

private:
    HANDLE m_hMutex;
    BOOL m_bHeld = FALSE;
};

CPendingStore::CPendingStore() : m_hMutex(::CreateMutexA(nullptr, FALSE, "Local\\Quilla.CrashReports.Store")) {
    char szDir[MAX_PATH] = "";
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, szDir)))
        return;
    std::string strDir = std::string(szDir) + "\\Quilla";
    ::CreateDirectoryA(strDir.c_str(), nullptr);
    strDir += "\\CrashReports";
    ::CreateDirectoryA(strDir.c_str(), nullptr);
    if (::GetFileAttributesA(strDir.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
        m_strDir = strDir + "\\";
}

CPendingStore::~CPendingStore() {
    if (m_hMutex)
        ::CloseHandle(m_hMutex);
}

std::string CPendingStore::CopyPath(const CPendingReport& report) const {
    return m_strDir + report.m_strId + ".dmp";
}

BOOL CPendingStore::HasEntries() const {
    WIN32_FIND_DATAA data;
    return !m_strDir.empty() && CScopedFind(m_strDir + "*.rec", data).IsValid();
}

BOOL CPendingStore::Keep(LPCSTR szCrashFile, LPCSTR szVersion, LPCSTR szLast, PFN_PENDING_TRACE pfnTrace) {
    CLock lock(m_hMutex);
    if (m_strDir.empty() || !lock.IsHeld())
        return FALSE;
    CScopedHandle hSource(::CreateFileA(szCrashFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!hSource.IsValid() || !::GetFileSizeEx(hSource.Get(), &size) || size.QuadPart > PENDING_MAX_BYTES)
        return FALSE;

    CPendingReport report;
    report.m_strVersion = szVersion;
    report.m_strFileName = szCrashFile;
    report.m_nFirstAttempt = Now();
    report.m_nAttempts = 1;
    report.m_nSize = DWORD(size.QuadPart);
    report.m_strLast = szLast;
    char szId[40];
    std::snprintf(szId, sizeof szId, "%016llX-%08lX", report.m_nFirstAttempt, ::GetCurrentProcessId());
    report.m_strId = szId;

    const std::string strRecord = m_strDir + report.m_strId + ".rec";
    if (!CopyWhole(hSource.Get(), report.m_nSize, CopyPath(report)))
        return FALSE;
    if (!WriteWhole(strRecord, FormatRecord(report))) {
        ::DeleteFileA(CopyPath(report).c_str());
        return FALSE;
    }
    _Trim(pfnTrace);
    return TRUE;
}

std::vector<CPendingReport> CPendingStore::_Scan() {
    std::vector<CPendingReport> reports;
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    CScopedFind find(m_strDir + "*", data);
    for (BOOL bMore = find.IsValid(); bMore; bMore = ::FindNextFileA(find.Get(), &data)) {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    }
    for (const std::string& strName : names) {
        const std::string strPath = m_strDir + strName;
        // The lock is held: a temporary file is what a killed writer left.
        if (EndsWith(strName, ".tmp")) {
            ::DeleteFileA(strPath.c_str());
        } else if (EndsWith(strName, ".dmp")) {
            ULONGLONG nSize;
            if (!FileSize(strPath.substr(0, strPath.size() - 4) + ".rec", nSize))
                ::DeleteFileA(strPath.c_str());
        } else if (EndsWith(strName, ".rec")) {
            CPendingReport report;
            report.m_strId = strName.substr(0, strName.size() - 4);
            std::string strText;
            ULONGLONG nCopySize = 0;
            if (ReadSmallFile(strPath, strText) && ParseRecord(strText, report) &&
                FileSize(CopyPath(report), nCopySize) && nCopySize == report.m_nSize) {
                reports.push_back(report);
            } else {
                ::DeleteFileA(strPath.c_str());
                ::DeleteFileA(CopyPath(report).c_str());
            }
        }
    }
    std::sort(reports.begin(), reports.end(), [](const CPendingReport& a, const CPendingReport& b) {
        return a.m_nFirstAttempt != b.m_nFirstAttempt ? a.m_nFirstAttempt < b.m_nFirstAttempt : a.m_strId < b.m_strId;
    });
    return reports;
}

void CPendingStore::_Drop(const CPendingReport& report, LPCSTR szWhy, PFN_PENDING_TRACE pfnTrace) {
    // The record goes first: a kill in between leaves a half entry, not a whole one without its file.
    ::DeleteFileA((m_strDir + report.m_strId + ".rec").c_str());
    ::DeleteFileA(CopyPath(report).c_str());
    if (pfnTrace && szWhy)
        pfnTrace(("Pending report " + report.m_strId + " dropped: " + szWhy + "\r\n").c_str());
}

void CPendingStore::_Trim(PFN_PENDING_TRACE pfnTrace) {
    const ULONGLONG nNow = Now();
    std::vector<CPendingReport> reports;
    ULONGLONG nTotal = 0;
    for (const CPendingReport& report : _Scan()) {
        if (nNow > report.m_nFirstAttempt && nNow - report.m_nFirstAttempt > PENDING_MAX_AGE_DAYS * kFileTimeDay) {
            _Drop(report, "older than 30 days", pfnTrace);
        } else if (report.m_nAttempts >= PENDING_MAX_ATTEMPTS) {
            _Drop(report, "10 attempts failed", pfnTrace);
        } else {
            reports.push_back(report);
            nTotal += report.m_nSize;
        }
    }
    // Oldest first, until the rest fits.
    for (size_t i = 0; reports.size() - i > PENDING_MAX_REPORTS || nTotal > PENDING_MAX_BYTES; ++i) {
        _Drop(reports[i], "beyond 10 reports or 256 MiB", pfnTrace);
        nTotal -= reports[i].m_nSize;
    }
}

std::vector<CPendingReport> CPendingStore::Load(PFN_PENDING_TRACE pfnTrace) {
    CLock lock(m_hMutex);
    if (m_strDir.empty() || !lock.IsHeld())
        return {};
    _Trim(pfnTrace);
    return _Scan();
}

void CPendingStore::Remove(const CPendingReport& report) {
    CLock lock(m_hMutex);
    _Drop(report, nullptr, nullptr);
}

BOOL CPendingStore::CountFailure(CPendingReport& report, LPCSTR szLast, PFN_PENDING_TRACE pfnTrace) {
    CLock lock(m_hMutex);
    ++report.m_nAttempts;
    report.m_strLast = szLast;
    if (report.m_nAttempts >= PENDING_MAX_ATTEMPTS) {
        _Drop(report, "10 attempts failed", pfnTrace);
        return FALSE;
    }
    ULONGLONG nSize;
    // A record the bounds dropped meanwhile is not brought back.
    if (!FileSize(m_strDir + report.m_strId + ".rec", nSize))
        return FALSE;
    WriteWhole(m_strDir + report.m_strId + ".rec", FormatRecord(report));
    return TRUE;
}
