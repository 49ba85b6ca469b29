#include "PendingStore.h"

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "ErrorText.h"

namespace {

const char kRecordHeader[] = "QuillaPendingReport 1";
const char* const kRecordKeys[] = {"version", "filename", "first", "attempts", "size", "last"};
const ULONGLONG kFileTimeDay = 24ull * 60 * 60 * 10000000;
const DWORD kCopyBuff = 256 * 1024;
// Far above any record a keep writes (a command line holds at most 32767 characters, each at most
// three once escaped), and the writer refuses anything longer: every record written is read back.
const DWORD kMaxRecord = 128 * 1024;
const size_t kMaxLast = 1024;  // a status or error text is cut to this
const size_t kIdLength = 25;
// Byte ranges of the lock file.
const DWORD kStoreLockOffset = 0;
const DWORD kFlushLockOffset = 1;

struct CFindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};
typedef Tavon::CScopedHandleT<CFindHandleTraits> CScopedFind;

ULONGLONG Now() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// "<16 hex digits>-<8 hex digits>", upper case. A device name (COM1, NUL, ...) never has this form.
BOOL IsEntryId(const std::string& str) {
    if (str.size() != kIdLength || str[16] != '-')
        return FALSE;
    for (size_t i = 0; i < kIdLength; ++i) {
        if (i != 16 && !std::isdigit(static_cast<unsigned char>(str[i])) && (str[i] < 'A' || str[i] > 'F'))
            return FALSE;
    }
    return TRUE;
}

// Record values are one line each: control bytes and '%' are percent-encoded.
std::string Escape(const std::string& strValue) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string str;
    for (unsigned char ch : strValue) {
        if (ch < 0x20 || ch == 0x7F || ch == '%') {
            str += '%';
            str += kHex[ch >> 4];
            str += kHex[ch & 0xF];
        } else {
            str += char(ch);
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
// place: a kill at any instant leaves the old file or the whole new one. The last error tells
// why it failed.
template <typename Write>
BOOL WriteThenRename(const std::string& strPath, Write write) {
    const std::string strTemp = strPath + ".tmp";
    Tavon::CScopedFileHandle hFile(
        ::CreateFileA(strTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile.IsValid())
        return FALSE;
    BOOL bOk = write(hFile.Get()) && ::FlushFileBuffers(hFile.Get());
    bOk = ::CloseHandle(hFile.Release()) && bOk;  // a failed close can lose written data
    if (bOk && ::MoveFileExA(strTemp.c_str(), strPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return TRUE;
    const DWORD dwError = ::GetLastError();
    ::DeleteFileA(strTemp.c_str());
    ::SetLastError(dwError);
    return FALSE;
}

// Copies exactly nSize bytes of hSource to strPath.
BOOL CopyWhole(HANDLE hSource, DWORD nSize, const std::string& strPath) {
    std::unique_ptr<BYTE[]> pbyBuff(new (std::nothrow) BYTE[kCopyBuff]);
    if (!pbyBuff)
        return ::SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE;
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
    const std::string values[] = {Escape(report.m_strVersion),
                                  Escape(report.m_strFileName),
                                  szFirst,
                                  std::to_string(report.m_nAttempts),
                                  std::to_string(report.m_nSize),
                                  Escape(report.m_strLast.substr(0, kMaxLast))};
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
    if (!Unescape(values[0], report.m_strVersion) || !Unescape(values[1], report.m_strFileName) ||
        !ParseNumber(values[2], 16, 16, report.m_nFirstAttempt) || !ParseNumber(values[3], 10, 9, nAttempts) ||
        !ParseNumber(values[4], 10, 10, nSize) || nSize > PENDING_MAX_BYTES || !Unescape(values[5], report.m_strLast))
        return FALSE;
    report.m_nAttempts = DWORD(nAttempts);
    report.m_nSize = DWORD(nSize);
    return TRUE;
}

enum class ERead { Read, NotNow, Invalid };

ERead ReadRecord(const std::string& strPath, CPendingReport& report) {
    Tavon::CScopedFileHandle hFile(::CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string strText(kMaxRecord + 1, '\0');
    DWORD cbRead = 0;
    if (!hFile.IsValid() || !::ReadFile(hFile.Get(), &strText[0], kMaxRecord + 1, &cbRead, nullptr))
        return ERead::NotNow;
    strText.resize(cbRead);
    return cbRead <= kMaxRecord && ParseRecord(strText, report) ? ERead::Read : ERead::Invalid;
}

}  // namespace

// Holds the store's byte of the lock file for one change of the folder. A blocking wait: holders
// keep it only for file operations, and a killed one releases it.
class CPendingStore::CLock {
public:
    explicit CLock(HANDLE hLock) : m_hLock(hLock) {
        OVERLAPPED ov = {};
        ov.Offset = kStoreLockOffset;
        m_bHeld = hLock != INVALID_HANDLE_VALUE && ::LockFileEx(hLock, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov);
    }
    ~CLock() {
        OVERLAPPED ov = {};
        ov.Offset = kStoreLockOffset;
        if (m_bHeld)
            ::UnlockFileEx(m_hLock, 0, 1, 0, &ov);
    }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    BOOL IsHeld() const noexcept { return m_bHeld; }

private:
    HANDLE m_hLock;
    BOOL m_bHeld = FALSE;
};

CPendingStore::CPendingStore(PFN_PENDING_TRACE pfnTrace) : m_pfnTrace(pfnTrace) {
    char szDir[MAX_PATH] = "";
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, szDir))) {
        m_dwOpenError = ERROR_PATH_NOT_FOUND;
        return;
    }
    std::string strDir = std::string(szDir) + "\\Quilla";
    ::CreateDirectoryA(strDir.c_str(), nullptr);
    strDir += "\\CrashReports\\";
    ::CreateDirectoryA(strDir.c_str(), nullptr);
    m_hLock.Reset(::CreateFileA((strDir + "store.lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (m_hLock.IsValid())
        m_strDir = strDir;
    else
        m_dwOpenError = ::GetLastError();
}

std::string CPendingStore::_Path(const std::string& strId, LPCSTR szExt) const {
    return m_strDir + strId + szExt;
}

void CPendingStore::_Trace(const std::string& strLine) const {
    if (m_pfnTrace)
        m_pfnTrace((strLine + "\r\n").c_str());
}

BOOL CPendingStore::_WriteRecord(const CPendingReport& report) const {
    const std::string strText = FormatRecord(report);
    if (strText.size() > kMaxRecord)
        return ::SetLastError(ERROR_FILENAME_EXCED_RANGE), FALSE;
    return WriteThenRename(_Path(report.m_strId, ".rec"), [&](HANDLE hFile) {
        DWORD cbWritten = 0;
        return ::WriteFile(hFile, strText.data(), DWORD(strText.size()), &cbWritten, nullptr) &&
               cbWritten == strText.size();
    });
}

// 0 when this process may take the entry's copy (nobody holds it), else why not: a sender holds
// it (ERROR_SHARING_VIOLATION), another program does, or it is missing (ERROR_FILE_NOT_FOUND).
DWORD CPendingStore::_Probe(const std::string& strId) const {
    const Tavon::CScopedFileHandle hProbe(::CreateFileA(_Path(strId, ".dmp").c_str(), GENERIC_READ | DELETE,
                                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return hProbe.IsValid() ? 0 : ::GetLastError();
}

// Deletes an entry that nobody holds, the record first: a kill in between leaves a copy without
// record, which the next look drops. Traced unless strWhy is empty; FALSE when it is left.
BOOL CPendingStore::_DropNamed(const std::string& strId, const std::string& strWhy) {
    const DWORD dwProbe = _Probe(strId);
    if (dwProbe != 0 && dwProbe != ERROR_FILE_NOT_FOUND)
        return FALSE;
    if (!::DeleteFileA(_Path(strId, ".rec").c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        return FALSE;
    ::DeleteFileA(_Path(strId, ".dmp").c_str());
    if (!strWhy.empty())
        _Trace("Pending report " + strId + " dropped: " + strWhy);
    return TRUE;
}

// Under the lock: finishes what killed or failed processes left, drops what is invalid or beyond
// the bounds, and gives the rest oldest first.
void CPendingStore::_Sweep(std::vector<CPendingReport>& rReports) {
    const unsigned kRecord = 1, kCopy = 2, kSent = 4;
    std::vector<std::pair<std::string, unsigned>> ids;
    WIN32_FIND_DATAA data;
    const CScopedFind find(::FindFirstFileA((m_strDir + "*").c_str(), &data));
    for (BOOL bMore = find.IsValid(); bMore; bMore = ::FindNextFileA(find.Get(), &data)) {
        const std::string strName = data.cFileName;
        const std::string strId = strName.substr(0, kIdLength),
                          strExt = strName.substr(std::min(strName.size(), kIdLength));
        if (!IsEntryId(strId) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (strExt == ".rec.tmp" || strExt == ".dmp.tmp")  // what a killed writer left
            ::DeleteFileA((m_strDir + strName).c_str());
        const unsigned uKind = strExt == ".rec" ? kRecord : strExt == ".dmp" ? kCopy : strExt == ".sent" ? kSent : 0;
        if (uKind)
            ids.emplace_back(strId, uKind);
    }
    // One item per id, oldest first.
    std::sort(ids.begin(), ids.end());
    for (size_t i = 1; i < ids.size();) {
        if (ids[i].first == ids[i - 1].first) {
            ids[i - 1].second |= ids[i].second;
            ids.erase(ids.begin() + i);
        } else {
            ++i;
        }
    }

    const ULONGLONG nNow = Now();
    ULONGLONG nTotal = 0;
    rReports.clear();
    for (const auto& [strId, uKinds] : ids) {
        if (uKinds & kSent) {  // delivered: only the deletes were left to do
            if ((::DeleteFileA(_Path(strId, ".rec").c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) &&
                (::DeleteFileA(_Path(strId, ".dmp").c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND))
                ::DeleteFileA(_Path(strId, ".sent").c_str());
            continue;
        }
        if (!(uKinds & kRecord)) {
            _DropNamed(strId, "no record");
            continue;
        }
        CPendingReport report;
        report.m_strId = strId;
        const ERead read = ReadRecord(_Path(strId, ".rec"), report);
        if (read == ERead::Invalid) {
            _DropNamed(strId, "invalid record");
        } else if (read == ERead::Read && report.m_nAttempts >= PENDING_MAX_ATTEMPTS) {
            _DropNamed(strId, "10 attempts failed");
        } else if (read == ERead::Read && report.m_nAttempts >= 2 && nNow > report.m_nFirstAttempt &&
                   nNow - report.m_nFirstAttempt > PENDING_MAX_AGE_DAYS * kFileTimeDay) {
            _DropNamed(strId, "older than 30 days");
        } else if (read == ERead::Read) {
            WIN32_FILE_ATTRIBUTE_DATA copy;
            if (!::GetFileAttributesExA(_Path(strId, ".dmp").c_str(), GetFileExInfoStandard, &copy)) {
                if (::GetLastError() == ERROR_FILE_NOT_FOUND)
                    _DropNamed(strId, "its copy is missing");
            } else if (copy.nFileSizeHigh || copy.nFileSizeLow != report.m_nSize) {
                _DropNamed(strId, "its copy has " + std::to_string(copy.nFileSizeLow) + " bytes, its record says " +
                                      std::to_string(report.m_nSize));
            } else {
                rReports.push_back(report);
                nTotal += report.m_nSize;
            }
        }
    }
    // The oldest go until the rest fits; one held by its sender stays, and counts.
    size_t nCount = rReports.size();
    for (auto it = rReports.begin();
         it != rReports.end() && (nCount > PENDING_MAX_REPORTS || nTotal > PENDING_MAX_BYTES);) {
        if (_DropNamed(it->m_strId, "beyond 10 reports or 256 MiB")) {
            --nCount;
            nTotal -= it->m_nSize;
            it = rReports.erase(it);
        } else {
            ++it;
        }
    }
}

BOOL CPendingStore::Keep(LPCSTR szCrashFile, LPCSTR szVersion, CPendingEntry& rEntry) {
    const auto Fail = [this](const char* szWhy, DWORD dwError) {
        _Trace(std::string("Report not kept: ") + szWhy + (dwError ? ": " + LastErrorText(dwError) : ""));
        return FALSE;
    };
    if (m_strDir.empty())
        return Fail("the store cannot be opened", m_dwOpenError);
    const CLock lock(m_hLock.Get());
    if (!lock.IsHeld())
        return Fail("the store cannot be locked", ::GetLastError());
    const Tavon::CScopedFileHandle hSource(::CreateFileA(szCrashFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size;
    if (!hSource.IsValid() || !::GetFileSizeEx(hSource.Get(), &size))
        return Fail("cannot read the crash file", ::GetLastError());
    if (size.QuadPart > PENDING_MAX_BYTES)
        return Fail("the crash file is over 256 MiB", 0);

    CPendingReport& report = rEntry.m_report;
    report.m_strVersion = szVersion;
    report.m_strFileName = szCrashFile;
    report.m_nFirstAttempt = Now();
    report.m_nAttempts = 1;
    report.m_nSize = DWORD(size.QuadPart);
    char szId[kIdLength + 1];
    std::snprintf(szId, sizeof szId, "%016llX-%08lX", report.m_nFirstAttempt, ::GetCurrentProcessId());
    report.m_strId = szId;
    rEntry.m_strCopyPath = _Path(report.m_strId, ".dmp");

    if (!CopyWhole(hSource.Get(), report.m_nSize, rEntry.m_strCopyPath))
        return Fail("cannot copy the crash file", ::GetLastError());
    if (!_WriteRecord(report)) {
        const DWORD dwError = ::GetLastError();
        ::DeleteFileA(rEntry.m_strCopyPath.c_str());
        return Fail("cannot write its record", dwError);
    }
    rEntry.m_hCopy.Reset(::CreateFileA(rEntry.m_strCopyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!rEntry.m_hCopy.IsValid()) {
        const DWORD dwError = ::GetLastError();
        _DropNamed(report.m_strId, "");
        return Fail("cannot hold its copy", dwError);
    }
    std::vector<CPendingReport> reports;
    _Sweep(reports);  // the bounds, with the new entry held
    return TRUE;
}

BOOL CPendingStore::TakeNext(std::vector<std::string>& rTried, CPendingEntry& rEntry) {
    const CLock lock(m_hLock.Get());
    if (m_strDir.empty() || !lock.IsHeld())
        return FALSE;
    std::vector<CPendingReport> reports;
    _Sweep(reports);
    for (CPendingReport& report : reports) {
        const std::string& strId = report.m_strId;
        if (std::find(rTried.begin(), rTried.end(), strId) != rTried.end())
            continue;
        rTried.push_back(strId);
        if (_Probe(strId) != 0)
            continue;  // another reporter is sending it, or another program holds it
        // Opened as the client opens it, and kept open: the bytes cannot change under the send.
        rEntry.m_strCopyPath = _Path(strId, ".dmp");
        rEntry.m_hCopy.Reset(::CreateFileA(rEntry.m_strCopyPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size;
        ++report.m_nAttempts;
        if (!rEntry.m_hCopy.IsValid() || !::GetFileSizeEx(rEntry.m_hCopy.Get(), &size) ||
            ULONGLONG(size.QuadPart) != report.m_nSize || !_WriteRecord(report)) {
            rEntry.m_hCopy.Reset();
            continue;
        }
        rEntry.m_report = report;
        return TRUE;
    }
    return FALSE;
}

void CPendingStore::Delivered(CPendingEntry& rEntry) {
    const CLock lock(m_hLock.Get());
    const std::string& strId = rEntry.m_report.m_strId;
    // Marked first: whatever fails after this, the report is not sent again.
    Tavon::CScopedFileHandle hMark(::CreateFileA(_Path(strId, ".sent").c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
    hMark.Reset();
    rEntry.m_hCopy.Reset();
    if (::DeleteFileA(_Path(strId, ".rec").c_str()) && ::DeleteFileA(rEntry.m_strCopyPath.c_str()))
        ::DeleteFileA(_Path(strId, ".sent").c_str());
}

void CPendingStore::Drop(CPendingEntry& rEntry, LPCSTR szWhy) {
    const CLock lock(m_hLock.Get());
    rEntry.m_hCopy.Reset();
    _DropNamed(rEntry.m_report.m_strId, szWhy ? szWhy : "");
}

BOOL CPendingStore::Failed(CPendingEntry& rEntry, LPCSTR szLast) {
    const CLock lock(m_hLock.Get());
    rEntry.m_hCopy.Reset();
    rEntry.m_report.m_strLast = szLast;
    if (rEntry.m_report.m_nAttempts >= PENDING_MAX_ATTEMPTS)
        return !_DropNamed(rEntry.m_report.m_strId, "10 attempts failed");
    _WriteRecord(rEntry.m_report);
    return TRUE;
}

BOOL CPendingStore::HasEntries() const {
    WIN32_FIND_DATAA data;
    const CScopedFind find(m_strDir.empty() ? INVALID_HANDLE_VALUE
                                            : ::FindFirstFileA((m_strDir + "*.rec").c_str(), &data));
    for (BOOL bMore = find.IsValid(); bMore; bMore = ::FindNextFileA(find.Get(), &data)) {
        const std::string strName = data.cFileName;
        if (strName.size() == kIdLength + 4 && strName.compare(kIdLength, 4, ".rec") == 0 &&
            IsEntryId(strName.substr(0, kIdLength)))
            return TRUE;
    }
    return FALSE;
}

BOOL CPendingStore::BeginFlush() {
    OVERLAPPED ov = {};
    ov.Offset = kFlushLockOffset;
    return m_hLock.IsValid() &&
           ::LockFileEx(m_hLock.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov);
}
