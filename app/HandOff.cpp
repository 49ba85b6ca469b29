#include "HandOff.h"

namespace {

CString CrashInfo::*const s_keyMembers[] = {
    &CrashInfo::m_strCrashFile, &CrashInfo::m_strModule,  &CrashInfo::m_strExcept,  &CrashInfo::m_strCode,
    &CrashInfo::m_strAddr,      &CrashInfo::m_strVersion, &CrashInfo::m_strLngFile,
};
const char* const s_keys[] = {"crash file", "module", "except", "code", "addr", "version", "lngfile"};

}  // namespace

BOOL ParseCrashHandOff(LPCSTR szCommandLine, LPCSTR szModulePath, CrashInfo& rInfo, PFN_HANDOFF_TRACE pfnTrace) {
    const CString strPrefix = AfxFormat("\"%s\" ", szModulePath);
    const CString strCommandLine(szCommandLine);

    // Any command line that sorts after the prefix is taken as a hand-off, as the product's
    // crash handler has always relied on.
    if (strCommandLine.Compare(strPrefix) <= 0)
        return FALSE;
    pfnTrace(strCommandLine);

    rInfo.m_strLngFile = "zh_cn.dll";

    CString strRemainder = strCommandLine.Mid(strPrefix.GetLength());
    pfnTrace(strRemainder);

    // An entry is "key:value", CR, LF and one filler character; an empty entry ends the list.
    for (int nLineEnd = strRemainder.Find("\r\n"); nLineEnd > 0; nLineEnd = strRemainder.Find("\r\n")) {
        const CString strLine = strRemainder.Left(nLineEnd);
        pfnTrace(strLine);

        const int nColon = strLine.Find(':');
        if (nColon > 0) {
            const CString strKey = strLine.Left(nColon);
            for (size_t i = 0; i < sizeof(s_keys) / sizeof(s_keys[0]); ++i) {
                if (strKey.Compare(s_keys[i]) == 0) {
                    rInfo.*s_keyMembers[i] = strLine.Mid(nColon + 1);
                    break;
                }
            }
        }
        strRemainder = strRemainder.Mid(nLineEnd + 3);
    }
    return TRUE;
}

BOOL IsSendPendingCommand(LPCSTR szCommandLine) {
    const CString strCommandLine(szCommandLine);
    const CString strTail = AfxFormat(" %s", kSendPendingArg);
    const int nTail = strCommandLine.GetLength() - strTail.GetLength();
    return nTail >= 0 && strCommandLine.Find('\r') < 0 && strCommandLine.Find('\n') < 0 &&
           strCommandLine.Mid(nTail).Compare(strTail) == 0;
}
