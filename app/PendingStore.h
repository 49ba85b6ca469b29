// The per-user store of reports the user chose to send: <local application data>\Quilla\CrashReports.
// A report enters it before its first byte goes out and leaves it when the server has taken it
// (2xx) or answered for good, so whatever ends a reporter meanwhile leaves it to a later one.
//
// The rules, in one place:
// - An entry is <id>.dmp (a copy of the crash file) and <id>.rec (its record); <id> is the first
//   attempt's time and the keeping process, 16 and 8 upper-case hex digits. Only names of that
//   form are opened, listed or deleted; anything else in the folder is left alone.
// - Every change happens under the store's lock, a byte range of the file "store.lock" in the
//   folder: nobody but its user can create files there, and a killed holder releases it.
// - A file is written under <name>.tmp, flushed and renamed; the record last, so a reporter
//   killed at any instant leaves no entry, a whole one, or a copy without record (dropped).
// - The process sending an entry holds its copy open without write or delete sharing until the
//   send has ended: nobody else takes, changes or deletes it, and the others skip it.
// - An entry that cannot be opened now is skipped, never deleted; one read and found invalid is.
// - Delivered is marked by <id>.sent before anything is deleted: a marked entry is never sent again.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tool.h"

// Receives each drop, failed keep and deletion of an invalid entry, as one line of text.
typedef void(WINAPI* PFN_PENDING_TRACE)(LPCSTR pszText);

struct CPendingReport {
    std::string m_strId;
    std::string m_strVersion;       // the version the first attempt's query carried
    std::string m_strFileName;      // the file name its part header carries: the crash file's path
    ULONGLONG m_nFirstAttempt = 0;  // FILETIME of the first attempt
    DWORD m_nAttempts = 0;          // counted before each send starts
    DWORD m_nSize = 0;              // bytes of the copy
    std::string m_strLast;          // last status or error
};

// A report taken by this process, its copy held open until it is settled or the process ends.
struct CPendingEntry {
    CPendingReport m_report;
    std::string m_strCopyPath;
    Tavon::CScopedFileHandle m_hCopy;
};

enum : DWORD {
    PENDING_MAX_REPORTS = 10,
    PENDING_MAX_BYTES = 256u * 1024 * 1024,
    PENDING_MAX_AGE_DAYS = 30,  // counted only for a report tried twice or more: a wrong clock is no reason
    PENDING_MAX_ATTEMPTS = 10,
};

class CPendingStore {
public:
    explicit CPendingStore(PFN_PENDING_TRACE pfnTrace);
    CPendingStore(const CPendingStore&) = delete;
    CPendingStore& operator=(const CPendingStore&) = delete;

    // Keeps szCrashFile before its first send (one attempt counted) and holds it in rEntry. FALSE,
    // traced, when it cannot be kept (no store, unreadable or oversized file, full disk).
    BOOL Keep(LPCSTR szCrashFile, LPCSTR szVersion, CPendingEntry& rEntry);
    // Takes the oldest entry that is not in rTried and nobody holds, and counts its attempt;
    // drops what is invalid or beyond the bounds on the way. FALSE when there is none.
    BOOL TakeNext(std::vector<std::string>& rTried, CPendingEntry& rEntry);
    void Delivered(CPendingEntry& rEntry);
    // Removes the entry; traced with szWhy unless it is null.
    void Drop(CPendingEntry& rEntry, LPCSTR szWhy);
    // Records a failed attempt and lets the entry go; FALSE when that was its last allowed attempt
    // and it was dropped.
    BOOL Failed(CPendingEntry& rEntry, LPCSTR szLast);

    // Whether any entry is there; for deciding to start a flush.
    BOOL HasEntries() const;
    // One flush at a time: TRUE for the process that may flush, until this object goes.
    BOOL BeginFlush();

private:
    class CLock;
    std::string _Path(const std::string& strId, LPCSTR szExt) const;
    void _Trace(const std::string& strLine) const;
    void _Sweep(std::vector<CPendingReport>& rReports);
    DWORD _Probe(const std::string& strId) const;
    BOOL _DropNamed(const std::string& strId, const std::string& strWhy);
    BOOL _WriteRecord(const CPendingReport& report) const;

    PFN_PENDING_TRACE m_pfnTrace;
    std::string m_strDir;  // with a trailing backslash; empty when there is no store
    DWORD m_dwOpenError = 0;
    Tavon::CScopedFileHandle m_hLock;
};
