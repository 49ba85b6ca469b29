// The per-user store of reports that were sent but did not get through, kept until a later
// process delivers them: <local application data>\Quilla\CrashReports. An entry is a copy of the
// crash file (<id>.dmp) and its record (<id>.rec); the record is renamed into place last, so an
// entry without a valid record is a half one, never sent, and cleaned.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Receives each delivery and drop, as one line of text.
typedef void(WINAPI* PFN_PENDING_TRACE)(LPCSTR pszText);

struct CPendingReport {
    std::string m_strId;            // entry name; sorts as the first attempts do
    std::string m_strVersion;       // the version the first attempt's query carried
    std::string m_strFileName;      // the file name its part header carried
    ULONGLONG m_nFirstAttempt = 0;  // FILETIME of the first attempt
    DWORD m_nAttempts = 0;
    DWORD m_nSize = 0;      // bytes of the copy
    std::string m_strLast;  // last status or error
};

enum : DWORD {
    PENDING_MAX_REPORTS = 10,
    PENDING_MAX_BYTES = 256u * 1024 * 1024,
    PENDING_MAX_AGE_DAYS = 30,
    PENDING_MAX_ATTEMPTS = 10,
};

class CPendingStore {
public:
    CPendingStore();
    ~CPendingStore();
    CPendingStore(const CPendingStore&) = delete;
    CPendingStore& operator=(const CPendingStore&) = delete;

    // Keeps a copy of szCrashFile after a first attempt that ended in szLast. FALSE when nothing
    // could be kept (no store, unreadable or oversized file, full disk).
    BOOL Keep(LPCSTR szCrashFile, LPCSTR szVersion, LPCSTR szLast, PFN_PENDING_TRACE pfnTrace);
    // Whether any entry (whole or not) is there; cheap, for deciding to start a flush.
    BOOL HasEntries() const;
    // Cleans half entries, drops what is beyond the bounds, and returns the rest oldest first.
    std::vector<CPendingReport> Load(PFN_PENDING_TRACE pfnTrace);
    std::string CopyPath(const CPendingReport& report) const;
    void Remove(const CPendingReport& report);
    // Counts a failed attempt; drops the entry (FALSE) once it has failed too often.
    BOOL CountFailure(CPendingReport& report, LPCSTR szLast, PFN_PENDING_TRACE pfnTrace);

private:
    class CLock;
    void _Trim(PFN_PENDING_TRACE pfnTrace);
    void _Drop(const CPendingReport& report, LPCSTR szWhy, PFN_PENDING_TRACE pfnTrace);
    std::vector<CPendingReport> _Scan();

    std::string m_strDir;  // with a trailing backslash; empty when there is no store
    HANDLE m_hMutex;
};
