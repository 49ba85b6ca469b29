/* For test_launch.py: lines of reporter, module, version, lngfile, crash file, except, code, addr in hex
 * ("-" null, "." empty) in; the helper's result code and (for 0) its command line in hex out. A refused
 * start-up must leave nothing to build from (-1 otherwise). */
#include <stdio.h>
#include <string.h>

#include "quilla/crash_launch.h"

int main(void) {
    static CQuillaCrashLaunch s_launch;
    static char szLine[65536];
    while (fgets(szLine, sizeof szLine, stdin)) {
        char *a[8], *pIn, *pOut;
        unsigned int i, nByte;
        int nResult;
        for (i = 0; i < 8; ++i) {
            a[i] = pIn = pOut = strtok(i ? NULL : szLine, " \r\n");
            if (!strcmp(pIn, "-"))
                a[i] = NULL;
            for (; sscanf(pIn, "%2x", &nByte) == 1; pIn += 2)
                *pOut++ = (char)nByte;
            *pOut = 0;
        }
        nResult = QuillaLaunchPrepare(&s_launch, a[0], a[1], a[2], a[3]);
        if (nResult && QuillaLaunchBuild(&s_launch, "C:\\c", "", "", "") != QUILLA_LAUNCH_E_NOT_PREPARED)
            nResult = -1;
        printf("%d ", nResult ? nResult : (nResult = QuillaLaunchBuild(&s_launch, a[4], a[5], a[6], a[7])));
        for (pIn = s_launch.m_szCommandLine; !nResult && *pIn; ++pIn)
            printf("%02x", (unsigned char)*pIn);
        printf("\n");
    }
    return 0;
}
