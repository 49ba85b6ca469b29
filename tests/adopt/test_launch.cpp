// The product's launch helper: what it refuses, and the exact command line it builds.
#include <gtest/gtest.h>

#include <string>

#include "quilla/crash_launch.h"

namespace {

std::string OwnPath() {
    char sz[MAX_PATH] = "";
    ::GetModuleFileNameA(nullptr, sz, MAX_PATH);
    return sz;
}

struct CRow {
    const char* szName;
    std::string strReporter, strModule, strVersion, strCrashFile, strCode, strAddr;
    int nExpected;
};

TEST(Launch, RefusesWhatTheReporterCouldNotReceiveIntact) {
    const std::string strSelf = OwnPath(), strLong(1023, 'x');
    std::string strUpper = strSelf, strSlashes = strSelf;
    ::CharUpperA(&strUpper[0]);
    for (char& ch : strSlashes)
        ch = ch == '\\' ? '/' : ch;
    const bool bDbcs = ::GetACP() == 936;
    const CRow rows[] = {
        {"all well", strSelf, "Z:\\q\\Quilla.exe", "1.0", "C:\\d\\c.dmp", "c", "a", QUILLA_LAUNCH_OK},
        {"unexisting reporter, not checkable", "Z:\\no\\crashreport.exe", "m", "1", "C:\\c", "", "", 0},
        {"reporter in other case", strUpper, "m", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_NOT_MODULE_PATH},
        {"reporter with slashes", strSlashes, "m", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_NOT_MODULE_PATH},
        {"relative reporter", "test_launch.exe", "m", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_NOT_MODULE_PATH},
        {"quote in reporter", "Z:\\a\"b.exe", "m", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_QUOTE},
        {"reporter too long", "Z:\\" + std::string(257, 'r'), "m", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_TOO_LONG},
        {"no module", strSelf, "", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_NULL},
        {"LF in module", strSelf, "Z:\\q\n.exe", "1", "C:\\c", "", "", QUILLA_LAUNCH_E_LINE_BREAK},
        {"CR in version", strSelf, "m", "1\r", "C:\\c", "", "", QUILLA_LAUNCH_E_LINE_BREAK},
        {"relative crash file", strSelf, "m", "1", "crash.dmp", "", "", QUILLA_LAUNCH_E_RELATIVE_PATH},
        {"crash file without drive", strSelf, "m", "1", "\\d\\c.dmp", "", "", QUILLA_LAUNCH_E_RELATIVE_PATH},
        {"UNC crash file", strSelf, "m", "1", "\\\\srv\\s\\c.dmp", "", "", QUILLA_LAUNCH_OK},
        {"CR LF in code", strSelf, "m", "1", "C:\\c", "a\r\nb", "", QUILLA_LAUNCH_E_LINE_BREAK},
        {"longest code", strSelf, "m", "1", "C:\\c", strLong, "", QUILLA_LAUNCH_OK},
        {"code too long", strSelf, "m", "1", "C:\\c", strLong + "x", "", QUILLA_LAUNCH_E_TOO_LONG},
        {"lone lead byte at the end", strSelf, "m", "1", "C:\\c", "", "\xB1\xC0\xB1", bDbcs ? 7 : 0},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.szName);
        static CQuillaCrashLaunch s_launch;
        const int nPrepared =
            QuillaLaunchPrepare(&s_launch, row.strReporter.c_str(), row.strModule.c_str(), row.strVersion.c_str(), "");
        EXPECT_EQ(nPrepared ? nPrepared
                            : QuillaLaunchBuild(&s_launch, row.strCrashFile.c_str(), "e", row.strCode.c_str(),
                                                row.strAddr.c_str()),
                  row.nExpected);
        if (nPrepared) {
            EXPECT_EQ(QuillaLaunchBuild(&s_launch, "C:\\c", "", "", ""), QUILLA_LAUNCH_E_NOT_PREPARED);
        }
    }
}

TEST(Launch, BuildsEveryKeyWithCrLfAndAFiller) {
    static CQuillaCrashLaunch s_launch;
    ASSERT_EQ(QuillaLaunchPrepare(&s_launch, OwnPath().c_str(), "Z:\\q\\Quilla.exe", "2.5 \"b\"", nullptr), 0);
    ASSERT_EQ(QuillaLaunchBuild(&s_launch, "C:\\My Dumps\\c.dmp", "EXCEPTION_ACCESS_VIOLATION", "a: b", "0x1"), 0);
    EXPECT_EQ(
        std::string(s_launch.m_szCommandLine),
        "\"" + OwnPath() +
            "\" crash file:C:\\My Dumps\\c.dmp\r\n\tmodule:Z:\\q\\Quilla.exe\r\n\texcept:EXCEPTION_ACCESS_VIOLATION"
            "\r\n\tcode:a: b\r\n\taddr:0x1\r\n\tversion:2.5 \"b\"\r\n\tlngfile:\r\n\t");
}

}  // namespace
