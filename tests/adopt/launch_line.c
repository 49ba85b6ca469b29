/* Builds hand-offs with the launch helper for test_launch.py. Each input line holds eight values
 * in hex ("-" null, "." empty): reporter, module, version, lngfile, crash file, except, code,
 * addr. Each output line: the result code and, when it is 0, the command line in hex. */
#include <stdio.h>
#include <string.h>

#include "quilla/crash_launch.h"

static char* Unhex(char* sz) {
    char* pOut = sz;
    const char* pIn = sz;
    unsigned int nByte;
    if (!sz || !strcmp(sz, "-"))
        return NULL;
    for (; sscanf(pIn, "%2x", &nByte) == 1; pIn += 2)
        *pOut++ = (char)nByte;
    *pOut = 0;
    return sz;
}

int main(void) {
    static CQuillaCrashLaunch s_launch;
    static char szLine[65536];
    while (fgets(szLine, sizeof szLine, stdin)) {
        char* a[8];
        const char* p;
        int i, nResult;
        for (i = 0; i < 8; ++i)
            a[i] = Unhex(strtok(i ? NULL : szLine, " \r\n"));
        nResult = QuillaLaunchPrepare(&s_launch, a[0], a[1], a[2], a[3]);
        /* A refused start-up leaves nothing to build from. */
        if (nResult && QuillaLaunchBuild(&s_launch, "C:\\c", "", "", "") != QUILLA_LAUNCH_E_NOT_PREPARED)
            nResult = -1;
        if (!nResult)
            nResult = QuillaLaunchBuild(&s_launch, a[4], a[5], a[6], a[7]);
        printf("%d ", nResult);
        for (p = s_launch.m_szCommandLine; !nResult && *p; ++p)
            printf("%02x", (unsigned char)*p);
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
