/* Starts the Quilla crash reporter from a crashed product's crash handler.
 *
 * At start-up, while the process is sound, the product prepares a CQuillaCrashLaunch (a static
 * or global one: it holds every buffer the crash path needs) with QuillaLaunchPrepare, and starts
 * the delivery of what earlier crashes could not send with QuillaLaunchSendPending. In the crash
 * handler it calls QuillaLaunchStart with the crash details. No heap, no C runtime, only kernel32 after
 * start-up; every value is checked and refused with a QUILLA_LAUNCH_E_* code when the reporter
 * could not receive it intact. QuillaLaunchBuild builds the command line alone.
 * C89 and C++; include <windows.h> first or let this header do it. */
#ifndef QUILLA_CRASH_LAUNCH_H
#define QUILLA_CRASH_LAUNCH_H

#include <windows.h>

#define QUILLA_LAUNCH_MAX_PATH 260  /* paths, with their NUL: the reporter reads them as MAX_PATH */
#define QUILLA_LAUNCH_MAX_TEXT 1024 /* version, language file and crash texts, with their NUL */
#define QUILLA_LAUNCH_MAX_COMMAND_LINE 8192

#ifdef __cplusplus
#define QUILLA_LAUNCH_API inline
#else
#define QUILLA_LAUNCH_API static __inline
#endif

enum {
    QUILLA_LAUNCH_OK = 0,
    QUILLA_LAUNCH_E_NULL = 1,            /* a required argument is null or empty */
    QUILLA_LAUNCH_E_TOO_LONG = 2,        /* a value does not fit its buffer */
    QUILLA_LAUNCH_E_LINE_BREAK = 3,      /* CR or LF inside a value: it would end the entry */
    QUILLA_LAUNCH_E_RELATIVE_PATH = 4,   /* the crash file must be given as a full path */
    QUILLA_LAUNCH_E_NOT_MODULE_PATH = 5, /* the reporter path cannot be made a full path */
    QUILLA_LAUNCH_E_QUOTE = 6,           /* a double quote in the reporter path */
    QUILLA_LAUNCH_E_SPLIT_CHARACTER = 7, /* a value ends in half a double-byte character */
    QUILLA_LAUNCH_E_NOT_PREPARED = 8,    /* QuillaLaunchPrepare did not succeed */
    QUILLA_LAUNCH_E_START = 9,           /* CreateProcessA failed: see GetLastError */
    QUILLA_LAUNCH_E_NO_REPORTER = 10     /* the reporter path names no file that exists */
};

typedef struct CQuillaCrashLaunch {
    int m_bPrepared;
    char m_szReporter[QUILLA_LAUNCH_MAX_PATH];
    char m_szModule[QUILLA_LAUNCH_MAX_PATH];
    char m_szVersion[QUILLA_LAUNCH_MAX_TEXT];
    char m_szLngFile[QUILLA_LAUNCH_MAX_TEXT];
    char m_szCrashFile[QUILLA_LAUNCH_MAX_PATH];
    char m_szExcept[QUILLA_LAUNCH_MAX_TEXT];
    char m_szCode[QUILLA_LAUNCH_MAX_TEXT];
    char m_szAddr[QUILLA_LAUNCH_MAX_TEXT];
    char m_szCommandLine[QUILLA_LAUNCH_MAX_COMMAND_LINE];
    char m_szCheck[QUILLA_LAUNCH_MAX_PATH]; /* scratch for the reporter path at start-up */
} CQuillaCrashLaunch;

/* Copies a value that the reporter can take back unchanged: no CR or LF, shorter than cbDest, and
 * not ending in a lone lead byte of the ANSI code page (which would swallow the CR LF after it). */
QUILLA_LAUNCH_API int QuillaLaunch_CopyValue(char* szDest, int cbDest, const char* szSrc) {
    int i = 0;
    int bLead = 0;
    if (!szSrc)
        szSrc = "";
    for (; szSrc[i]; ++i) {
        if (i + 1 >= cbDest)
            return QUILLA_LAUNCH_E_TOO_LONG;
        if (szSrc[i] == '\r' || szSrc[i] == '\n')
            return QUILLA_LAUNCH_E_LINE_BREAK;
        bLead = bLead ? 0 : IsDBCSLeadByte((BYTE)szSrc[i]);
        szDest[i] = szSrc[i];
    }
    szDest[i] = 0;
    return bLead ? QUILLA_LAUNCH_E_SPLIT_CHARACTER : QUILLA_LAUNCH_OK;
}

/* szReporter: crashreport.exe, which must exist; full or relative, with '\' or '/', in any letter
 * case, with long or short names. szModule: the product's program, which the reporter opens to
 * restart it. szLngFile: the product's language file; null or "" gives the reporter's Chinese
 * window titles, any other value the English ones. Null texts are sent empty. */
QUILLA_LAUNCH_API int QuillaLaunchPrepare(CQuillaCrashLaunch* pLaunch,
                                          const char* szReporter,
                                          const char* szModule,
                                          const char* szVersion,
                                          const char* szLngFile) {
    int nResult;
    int i;
    DWORD cchFull;
    DWORD cchLong;
    if (!pLaunch)
        return QUILLA_LAUNCH_E_NULL;
    pLaunch->m_bPrepared = 0;
    if (!szReporter || !*szReporter || !szModule || !*szModule)
        return QUILLA_LAUNCH_E_NULL;
    if ((nResult = QuillaLaunch_CopyValue(pLaunch->m_szReporter, QUILLA_LAUNCH_MAX_PATH, szReporter)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szModule, QUILLA_LAUNCH_MAX_PATH, szModule)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szVersion, QUILLA_LAUNCH_MAX_TEXT, szVersion)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szLngFile, QUILLA_LAUNCH_MAX_TEXT, szLngFile)) != 0)
        return nResult;
    for (i = 0; szReporter[i]; ++i) {
        if (szReporter[i] == '"')
            return QUILLA_LAUNCH_E_QUOTE;
    }

    /* The reporter takes a hand-off only after its own path, which the system gives it as it was
     * started, made full. So the path is normalised once (full, '\', no "." or "..", the long
     * form of every short name) and that one string is both started and written at the head of
     * the line; the letter case is never checked, the file system ignores it. */
    cchFull = GetFullPathNameA(pLaunch->m_szReporter, QUILLA_LAUNCH_MAX_PATH, pLaunch->m_szCheck, NULL);
    if (cchFull == 0)
        return QUILLA_LAUNCH_E_NOT_MODULE_PATH;
    cchLong = cchFull < QUILLA_LAUNCH_MAX_PATH
                  ? GetLongPathNameA(pLaunch->m_szCheck, pLaunch->m_szReporter, QUILLA_LAUNCH_MAX_PATH)
                  : cchFull;
    if (cchLong >= QUILLA_LAUNCH_MAX_PATH)
        return QUILLA_LAUNCH_E_TOO_LONG;
    /* A missing file is found now rather than in the crash handler; INVALID_FILE_ATTRIBUTES has
     * the folder bit set too. */
    if (cchLong == 0 || (GetFileAttributesA(pLaunch->m_szReporter) & FILE_ATTRIBUTE_DIRECTORY))
        return QUILLA_LAUNCH_E_NO_REPORTER;
    pLaunch->m_bPrepared = 1;
    return QUILLA_LAUNCH_OK;
}

QUILLA_LAUNCH_API char* QuillaLaunch_Append(char* pOut, const char* pEnd, const char* szText) {
    while (pOut && *szText) {
        if (pOut >= pEnd)
            return NULL;
        *pOut++ = *szText++;
    }
    return pOut;
}

/* Takes the crash details and builds the reporter's command line in m_szCommandLine:
 * "\"<reporter>\" " and then "key:value" CR LF and one filler byte (TAB) for every key.
 * szCrashFile: full path (drive or UNC) of the file to upload, closed by the product. */
QUILLA_LAUNCH_API int QuillaLaunchBuild(CQuillaCrashLaunch* pLaunch,
                                        const char* szCrashFile,
                                        const char* szExcept,
                                        const char* szCode,
                                        const char* szAddr) {
    static const char* const s_aszKeys[] = {
        "crash file:", "module:", "except:", "code:", "addr:", "version:", "lngfile:"};
    const char* aszValues[7];
    const char* pEnd;
    char* pOut;
    int nResult;
    int i;
    if (!pLaunch || !pLaunch->m_bPrepared)
        return QUILLA_LAUNCH_E_NOT_PREPARED;
    pLaunch->m_szCommandLine[0] = 0; /* a refused call leaves no earlier line behind */
    if (!szCrashFile || !*szCrashFile)
        return QUILLA_LAUNCH_E_NULL;
    if (!((((szCrashFile[0] | 0x20) >= 'a' && (szCrashFile[0] | 0x20) <= 'z') && szCrashFile[1] == ':' &&
           (szCrashFile[2] == '\\' || szCrashFile[2] == '/')) ||
          (szCrashFile[0] == '\\' && szCrashFile[1] == '\\')))
        return QUILLA_LAUNCH_E_RELATIVE_PATH;
    if ((nResult = QuillaLaunch_CopyValue(pLaunch->m_szCrashFile, QUILLA_LAUNCH_MAX_PATH, szCrashFile)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szExcept, QUILLA_LAUNCH_MAX_TEXT, szExcept)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szCode, QUILLA_LAUNCH_MAX_TEXT, szCode)) != 0 ||
        (nResult = QuillaLaunch_CopyValue(pLaunch->m_szAddr, QUILLA_LAUNCH_MAX_TEXT, szAddr)) != 0)
        return nResult;

    aszValues[0] = pLaunch->m_szCrashFile;
    aszValues[1] = pLaunch->m_szModule;
    aszValues[2] = pLaunch->m_szExcept;
    aszValues[3] = pLaunch->m_szCode;
    aszValues[4] = pLaunch->m_szAddr;
    aszValues[5] = pLaunch->m_szVersion;
    aszValues[6] = pLaunch->m_szLngFile;
    pEnd = pLaunch->m_szCommandLine + QUILLA_LAUNCH_MAX_COMMAND_LINE - 1;
    pOut = QuillaLaunch_Append(pLaunch->m_szCommandLine, pEnd, "\"");
    pOut = QuillaLaunch_Append(pOut, pEnd, pLaunch->m_szReporter);
    pOut = QuillaLaunch_Append(pOut, pEnd, "\" ");
    for (i = 0; i < 7; ++i) {
        pOut = QuillaLaunch_Append(pOut, pEnd, s_aszKeys[i]);
        pOut = QuillaLaunch_Append(pOut, pEnd, aszValues[i]);
        pOut = QuillaLaunch_Append(pOut, pEnd, "\r\n\t");
    }
    if (!pOut)
        return QUILLA_LAUNCH_E_TOO_LONG;
    *pOut = 0;
    return QUILLA_LAUNCH_OK;
}

/* Builds the command line and starts the reporter. phProcess: null, or receives the reporter's
 * process handle (the caller closes it), e.g. to wait for the user's answer. */
QUILLA_LAUNCH_API int QuillaLaunchStart(CQuillaCrashLaunch* pLaunch,
                                        const char* szCrashFile,
                                        const char* szExcept,
                                        const char* szCode,
                                        const char* szAddr,
                                        HANDLE* phProcess) {
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    const int nResult = QuillaLaunchBuild(pLaunch, szCrashFile, szExcept, szCode, szAddr);
    if (phProcess)
        *phProcess = NULL;
    if (nResult != QUILLA_LAUNCH_OK)
        return nResult;
    SecureZeroMemory(&si, sizeof(si)); /* inline: a plain loop may become a C runtime memset */
    si.cb = sizeof(si);
    if (!CreateProcessA(pLaunch->m_szReporter, pLaunch->m_szCommandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return QUILLA_LAUNCH_E_START;
    CloseHandle(pi.hThread);
    if (phProcess)
        *phProcess = pi.hProcess;
    else
        CloseHandle(pi.hProcess);
    return QUILLA_LAUNCH_OK;
}

/* Starts the reporter's delivery of the reports that earlier crashes could not send:
 * "<reporter>" --send-pending, which sends them and ends by itself (within 4 minutes). Call it
 * once at start-up, after QuillaLaunchPrepare; it returns at once and its result may be ignored.
 * Detached, because the product must not wait for it, lend it nothing and show nothing: no handle
 * is kept; it inherits no handles, no console (DETACHED_PROCESS), not the console's Ctrl+C
 * (CREATE_NEW_PROCESS_GROUP), and leaves the product's job where the job allows it
 * (CREATE_BREAKAWAY_FROM_JOB), so that whatever waits for that job does not wait for the flush;
 * it works in the reporter's folder, so the product's working folder is not held open; it shows
 * no window and no busy cursor. */
QUILLA_LAUNCH_API int QuillaLaunchSendPending(const CQuillaCrashLaunch* pLaunch) {
    static const char s_szArg[] = "\" --send-pending";
    char szLine[QUILLA_LAUNCH_MAX_PATH + sizeof(s_szArg) + 1];
    char szFolder[QUILLA_LAUNCH_MAX_PATH];
    const DWORD dwFlags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    char* pOut;
    int i;
    int iCut = 0;
    if (!pLaunch || !pLaunch->m_bPrepared)
        return QUILLA_LAUNCH_E_NOT_PREPARED;
    for (i = 0; pLaunch->m_szReporter[i]; ++i) { /* up to the last '\' that is not a trail byte */
        szFolder[i] = pLaunch->m_szReporter[i];
        if (IsDBCSLeadByte((BYTE)szFolder[i]) && pLaunch->m_szReporter[i + 1]) {
            ++i;
            szFolder[i] = pLaunch->m_szReporter[i];
        } else if (szFolder[i] == '\\') {
            iCut = i + 1;
        }
    }
    szFolder[iCut] = 0;
    pOut = QuillaLaunch_Append(szLine, szLine + sizeof(szLine) - 1, "\"");
    pOut = QuillaLaunch_Append(pOut, szLine + sizeof(szLine) - 1, pLaunch->m_szReporter);
    pOut = QuillaLaunch_Append(pOut, szLine + sizeof(szLine) - 1, s_szArg);
    *pOut = 0;
    SecureZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    si.wShowWindow = SW_HIDE;
    /* A job that does not allow leaving it refuses the flag (ERROR_ACCESS_DENIED): stay in it. */
    if (!CreateProcessA(pLaunch->m_szReporter, szLine, NULL, NULL, FALSE, dwFlags | CREATE_BREAKAWAY_FROM_JOB, NULL,
                        szFolder, &si, &pi) &&
        (GetLastError() != ERROR_ACCESS_DENIED ||
         !CreateProcessA(pLaunch->m_szReporter, szLine, NULL, NULL, FALSE, dwFlags, NULL, szFolder, &si, &pi)))
        return QUILLA_LAUNCH_E_START;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return QUILLA_LAUNCH_OK;
}

#endif /* QUILLA_CRASH_LAUNCH_H */
