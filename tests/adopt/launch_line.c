/* A product's use of the launch helper, for test_launch.py. Lines in: reporter, module, version,
 * lngfile, crash file, except, code, addr in hex ("-" null, "." empty), and what to do. Out:
 * "build": the result code and (for 0) the command line in hex, a refused start-up leaving nothing
 * to build from (-1 otherwise); "start": "dialog" once the reporter shows a window (then ended);
 * "flush": "flush" once started holding no handle of ours; the second from a job it can't leave. */
#include <stdio.h>
#include <string.h>

#include "quilla/crash_launch.h"

static const char* Start(CQuillaCrashLaunch* pLaunch, char** a) {
    HANDLE hProcess;
    HWND hWnd = NULL;
    DWORD dwOwner;
    if (QuillaLaunchStart(pLaunch, a[4], a[5], a[6], a[7], &hProcess))
        return "not-started";
    while (!hWnd && WaitForSingleObject(hProcess, 20) == WAIT_TIMEOUT)
        for (hWnd = GetTopWindow(NULL); hWnd; hWnd = GetWindow(hWnd, GW_HWNDNEXT))
            if (GetWindowThreadProcessId(hWnd, &dwOwner) && dwOwner == GetProcessId(hProcess)
                && IsWindowVisible(hWnd))
                break;
    TerminateProcess(hProcess, 0);
    CloseHandle(hProcess);
    return hWnd ? "dialog" : "no-dialog";
}

static const char* Flush(CQuillaCrashLaunch* pLaunch) {
    static int s_nCalls;
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hRead, hWrite;
    if (s_nCalls++) /* the first from outside any job */
        AssignProcessToJobObject(CreateJobObjectA(NULL, NULL), GetCurrentProcess());
    CreatePipe(&hRead, &hWrite, &sa, 0); /* inheritable: a flush holding it keeps the pipe open */
    if (QuillaLaunchSendPending(pLaunch))
        return "not-started";
    CloseHandle(hWrite);
    return PeekNamedPipe(hRead, NULL, 0, NULL, NULL, NULL) ? "handle-inherited" : "flush";
}

int main(void) {
    static CQuillaCrashLaunch s_launch;
    static char szLine[65536];
    while (fgets(szLine, sizeof szLine, stdin)) {
        char *a[8], *pIn, *pOut, *szAction;
        unsigned int i, nByte;
        int nResult, nBuilt;
        for (i = 0; i < 8; ++i) {
            a[i] = pIn = pOut = strtok(i ? NULL : szLine, " \r\n");
            if (!strcmp(pIn, "-"))
                a[i] = NULL;
            for (; sscanf(pIn, "%2x", &nByte) == 1; pIn += 2)
                *pOut++ = (char)nByte;
            *pOut = 0;
        }
        szAction = strtok(NULL, " \r\n");
        nResult = QuillaLaunchPrepare(&s_launch, a[0], a[1], a[2], a[3]);
        nBuilt = QuillaLaunchBuild(&s_launch, a[4], a[5], a[6], a[7]);
        if (!nResult && strcmp(szAction, "build")) {
            printf("%s\n", !strcmp(szAction, "start") ? Start(&s_launch, a) : Flush(&s_launch));
            continue;
        }
        nResult = nResult ? (nBuilt == QUILLA_LAUNCH_E_NOT_PREPARED ? nResult : -1) : nBuilt;
        printf("%d ", nResult);
        for (pIn = s_launch.m_szCommandLine; !nResult && *pIn; ++pIn)
            printf("%02x", (unsigned char)*pIn);
        printf("\n");
    }
    return 0;
}
