// The reporter end to end under Wine (dialog, texts, send/cancel cycle, restart) and the
// hand-off parser on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "HandOff.h"
#include "handoff.h"
#include "reporter_driver.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;

std::wstring FromAnsi(const std::string& str) {
    std::wstring strWide(str.size(), L'\0');
    int cch = ::MultiByteToWideChar(CP_ACP, 0, str.data(), int(str.size()), &strWide[0], int(strWide.size()));
    strWide.resize(size_t(cch > 0 ? cch : 0));
    return strWide;
}

TEST(Environment, RunsUnderTheExpectedAnsiCodePage) {
    char szExpected[16] = "";
    if (::GetEnvironmentVariableA("QUILLA_EXPECT_ACP", szExpected, sizeof(szExpected)))
        EXPECT_EQ(::GetACP(), UINT(atoi(szExpected)));
    else
        EXPECT_EQ(::GetACP(), 1252u);
}

// ---- the parser -------------------------------------------------------------------------------

std::vector<std::string> g_trace;
void WINAPI Trace(LPCSTR pszText) {
    g_trace.push_back(pszText);
}

const char s_szModule[] = "C:\\Program Files\\Quilla\\crashreport.exe";
const std::string s_strPrefix = std::string("\"") + s_szModule + "\" ";

struct Parsed {
    BOOL bHandOff;
    CrashInfo info;
    std::vector<std::string> trace;
};

Parsed Parse(const std::string& strCommandLine) {
    g_trace.clear();
    Parsed parsed;
    parsed.bHandOff = ParseCrashHandOff(strCommandLine.c_str(), s_szModule, parsed.info, Trace);
    parsed.trace = g_trace;
    return parsed;
}

TEST(HandOffParser, OnlyACommandLineThatSortsAfterThePrefixIsAHandOff) {
    for (const std::string& str :
         {std::string(), s_strPrefix.substr(0, s_strPrefix.size() - 1), s_strPrefix, std::string("!") + s_szModule}) {
        Parsed parsed = Parse(str);
        EXPECT_FALSE(parsed.bHandOff) << str;
        EXPECT_TRUE(parsed.trace.empty()) << str;
        EXPECT_TRUE(parsed.info.m_strLngFile.IsEmpty()) << str;
    }

    // The unquoted path sorts after the quote: a hand-off with nothing after the prefix.
    Parsed parsed = Parse(s_szModule);
    EXPECT_TRUE(parsed.bHandOff);
    EXPECT_EQ(parsed.trace, (std::vector<std::string>{s_szModule, ""}));
    EXPECT_STREQ(parsed.info.m_strLngFile, "zh_cn.dll");

    // Without the quotes, the prefix's length is dropped all the same and the rest parsed.
    parsed = Parse(std::string(s_szModule) + "  except:E\r\n\taddr:A\r\n\t");
    EXPECT_TRUE(parsed.bHandOff);
    EXPECT_STREQ(parsed.info.m_strExcept, "");  // "xcept:E" after the dropped bytes
    EXPECT_STREQ(parsed.info.m_strAddr, "A");
}

TEST(HandOffParser, AllKeysAnyOrderValuesUnchanged) {
    const std::string strLine = BuildHandOff(s_szModule, {{"version", " 1.2.3 "},
                                                          {"addr", "0x0040A1B2"},
                                                          {"crash file", "C:\\dumps\\a:b.dmp"},
                                                          {"module", "\"C:\\Quilla\\quilla.exe\""},
                                                          {"except", "EXCEPTION_ACCESS_VIOLATION"},
                                                          {"code", "read of 00000000: fault"},
                                                          {"lngfile", "en_us.dll"}});
    Parsed parsed = Parse(strLine);
    ASSERT_TRUE(parsed.bHandOff);
    EXPECT_STREQ(parsed.info.m_strCrashFile, "C:\\dumps\\a:b.dmp");
    EXPECT_STREQ(parsed.info.m_strModule, "\"C:\\Quilla\\quilla.exe\"");
    EXPECT_STREQ(parsed.info.m_strExcept, "EXCEPTION_ACCESS_VIOLATION");
    EXPECT_STREQ(parsed.info.m_strCode, "read of 00000000: fault");
    EXPECT_STREQ(parsed.info.m_strAddr, "0x0040A1B2");
    EXPECT_STREQ(parsed.info.m_strVersion, " 1.2.3 ");
    EXPECT_STREQ(parsed.info.m_strLngFile, "en_us.dll");
    ASSERT_EQ(parsed.trace.size(), 9u);
    EXPECT_EQ(parsed.trace[0], strLine);
    EXPECT_EQ(parsed.trace[1], strLine.substr(s_strPrefix.size()));
    EXPECT_EQ(parsed.trace[2], "version: 1.2.3 ");
    EXPECT_EQ(parsed.trace[8], "lngfile:en_us.dll");
}

TEST(HandOffParser, MalformedEntriesAreSkippedButTraced) {
    Parsed parsed = Parse(s_strPrefix +
                          "no colon here\r\n\t"
                          ":leading colon\r\n\t"
                          "Except:capital\r\n\t"
                          " addr:blank before\r\n\t"
                          "module:first\r\n\t"
                          "module:\r\n\t"
                          "code:one\r\n\t"
                          "code:two\r\n"  // no filler: the next entry loses its first character
                          "version:lost\r\n\t"
                          "except:kept\r\n\t"
                          "addr:last without CR LF");
    ASSERT_TRUE(parsed.bHandOff);
    EXPECT_STREQ(parsed.info.m_strExcept, "kept");
    EXPECT_STREQ(parsed.info.m_strAddr, "");
    EXPECT_STREQ(parsed.info.m_strModule, "");
    EXPECT_STREQ(parsed.info.m_strCode, "two");
    EXPECT_STREQ(parsed.info.m_strVersion, "");
    EXPECT_STREQ(parsed.info.m_strLngFile, "zh_cn.dll");
    EXPECT_EQ(
        std::vector<std::string>(parsed.trace.begin() + 2, parsed.trace.end()),
        (std::vector<std::string>{"no colon here", ":leading colon", "Except:capital", " addr:blank before",
                                  "module:first", "module:", "code:one", "code:two", "ersion:lost", "except:kept"}));
}

TEST(HandOffParser, EmptyEntryEndsTheListAndEmptyLngFileIsKept) {
    Parsed parsed = Parse(s_strPrefix + "lngfile:\r\n\t\r\n\texcept:after the end\r\n\t");
    ASSERT_TRUE(parsed.bHandOff);
    EXPECT_STREQ(parsed.info.m_strLngFile, "");
    EXPECT_STREQ(parsed.info.m_strExcept, "");
    EXPECT_EQ(parsed.trace.size(), 3u);

    parsed = Parse(s_strPrefix + "\r\n\texcept:never\r\n\t");
    ASSERT_TRUE(parsed.bHandOff);
    EXPECT_STREQ(parsed.info.m_strExcept, "");
    EXPECT_EQ(parsed.trace.size(), 2u);
}

// ---- end to end -------------------------------------------------------------------------------

const std::string s_strReporter = CanonicalProgramPath(ToWindowsPath(CRASHREPORT_EXE));
const std::string s_strProbe = CanonicalProgramPath(ToWindowsPath(RESTART_PROBE_EXE));

enum {
    IDC_SEND = 1000,
    IDC_CANCEL = 1001,
    IDC_EXCEPT = 1002,
    IDC_ADDR = 1003,
    IDC_CODE = 1004,
    IDC_RESTART = 1005,
    IDC_MESSAGE = 1006,
    IDC_RESTART_LABEL = 1010
};

const wchar_t s_szTemplateTitle[] = L"Quilla批处理";
const wchar_t s_szSendingCn[] = L"Quilla重启程序 -- 发送中...";
const wchar_t s_szSentCn[] = L"\"Quilla重启程序 -- 发送完成...\"";
const wchar_t s_szSendingEn[] = L"Quilla Restart - Sending...";
const wchar_t s_szSentEn[] = L"Quilla Restart - Send complete";

// 8-bit crash fields are shown in the ANSI code page, whichever it is.
const std::string s_strAnsiCode = "\xB6\xC1\xC8\xA1\xB5\xD8\xD6\xB7 0";

bool ProbeStarted() {
    return ::GetFileAttributesA((s_strProbe + ".started").c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Reporter : public ::testing::Test {
protected:
    void SetUp() override { ::DeleteFileA((s_strProbe + ".started").c_str()); }

    // Starts the reporter with a hand-off whose module is the probe (unless given) and waits for
    // its dialog.
    HWND Start(Entries entries) {
        bool bHasModule = false;
        for (const auto& entry : entries)
            bHasModule = bHasModule || entry.first == "module";
        if (!bHasModule)
            entries.insert(entries.begin(), {"module", s_strProbe});
        m_strCommandLine = BuildHandOff(s_strReporter, entries);
        EXPECT_TRUE(m_driver.Launch(s_strReporter, m_strCommandLine));
        return m_driver.WaitForDialog();
    }

    // The reporter ended with IDOK's exit and the product restarted or not.
    void ExpectClosed(bool bRestarted) {
        ASSERT_TRUE(m_driver.WaitForExit());
        EXPECT_EQ(m_driver.ExitCode(), 0u);
        EXPECT_EQ(ProbeStarted(), bRestarted);
        EXPECT_EQ(m_driver.ProcessesStarted(), bRestarted ? 2u : 1u);
    }

    CReporterDriver m_driver;
    std::string m_strCommandLine;
};

TEST_F(Reporter, WithoutHandOffShowsNothingAndWritesNothing) {
    // Upper case sorts before lower case: a path that matches only when case is ignored is no prefix.
    std::string strUpper = s_strReporter;
    std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(), [](char ch) { return char(toupper(ch)); });
    ASSERT_NE(strUpper, s_strReporter);
    for (const std::string& strCommandLine : {"\"" + s_strReporter + "\"", "\"" + s_strReporter + "\" ",
                                              BuildHandOff(strUpper, {{"module", s_strProbe}})}) {
        SCOPED_TRACE(strCommandLine);
        CReporterDriver driver;
        ASSERT_TRUE(driver.Launch(s_strReporter, strCommandLine));
        // A hand-off traces its command line first and then waits for the user.
        ASSERT_TRUE(CReporterDriver::WaitUntil([&] { return !driver.Output().empty() || driver.WaitForExit(0); }));
        ASSERT_TRUE(driver.Output().empty());
        ASSERT_TRUE(driver.WaitForExit());
        EXPECT_EQ(driver.ExitCode(), 0u);
    }
}

TEST_F(Reporter, ShowsTheCrashAndSendsWithEnglishTitlesThenRestarts) {
    HWND hDialog = Start({{"crash file", "C:\\dumps\\crash.dmp"},
                          {"except", "EXCEPTION_ACCESS_VIOLATION"},
                          {"Version", "ignored"},
                          {"code", s_strAnsiCode},
                          {"addr", "0x0040A1B2"},
                          {"version", "1.0.3"}});
    ASSERT_NE(hDialog, nullptr);

    EXPECT_EQ(m_driver.Title(), s_szTemplateTitle);
    EXPECT_EQ(m_driver.ControlText(IDC_MESSAGE),
              L"Quilla批处理遇到一个严重错误需要重新启动，我们对由此给您带来的不便表示歉意\n\r\n"
              L"我们欢迎您将出错信息发给我们，这将有助于此类问题的解决。");
    EXPECT_EQ(m_driver.ControlText(IDC_SEND), L"发送报告");
    EXPECT_EQ(m_driver.ControlText(IDC_CANCEL), L"取消");
    EXPECT_EQ(m_driver.ControlText(1007), L"崩溃类型：");
    EXPECT_EQ(m_driver.ControlText(1008), L"崩溃地址：");
    EXPECT_EQ(m_driver.ControlText(1009), L"崩溃描述：");
    EXPECT_EQ(m_driver.ControlText(IDC_RESTART_LABEL), L"重启Quilla批处理");
    EXPECT_EQ(m_driver.ControlText(IDC_EXCEPT), L"EXCEPTION_ACCESS_VIOLATION");
    EXPECT_EQ(m_driver.ControlText(IDC_ADDR), L"0x0040A1B2");
    EXPECT_EQ(m_driver.ControlText(IDC_CODE), FromAnsi(s_strAnsiCode));  // "读取地址 0" in code page 936
    EXPECT_TRUE(m_driver.IsChecked(IDC_RESTART));
    EXPECT_TRUE(m_driver.IsEnabled(IDC_SEND));
    EXPECT_TRUE(m_driver.IsEnabled(IDC_CANCEL));
    EXPECT_EQ(m_driver.Focus(), ::GetDlgItem(hDialog, IDC_SEND));

    // The appended system-menu item does nothing. The focus move posted after it shows that the
    // dialog has handled it.
    m_driver.SysCommand(16);
    m_driver.FocusControl(IDC_CANCEL);
    EXPECT_TRUE(CReporterDriver::WaitUntil([&] { return m_driver.Focus() == ::GetDlgItem(hDialog, IDC_CANCEL); }));
    EXPECT_TRUE(::IsWindowVisible(hDialog));
    EXPECT_EQ(m_driver.Title(), s_szTemplateTitle);

    m_driver.Click(IDC_SEND);
    ExpectClosed(true);
    EXPECT_EQ(m_driver.Titles(), (std::vector<std::wstring>{s_szTemplateTitle, s_szSendingEn, s_szSentEn}));
    // The title bar draws icon 128. (Wine answers WM_GETICON and WM_QUERYDRAGICON sent from
    // another process with 0 without asking the window, so only its own queries tell.)
    const std::vector<std::string> icons = m_driver.WindowEvents("icon:127:");
    EXPECT_TRUE(std::any_of(icons.begin(), icons.end(), [](const std::string& str) {
        return str.size() > 4 && str.substr(str.size() - 4) == ":128";
    }));
    EXPECT_EQ(m_driver.WindowEvents("title:"),
              (std::vector<std::string>{"title:Quilla Restart - Sending...", "title:Quilla Restart - Send complete"}));
    EXPECT_EQ(m_driver.WindowEvents("enable:"),
              (std::vector<std::string>{"enable:1000:0", "enable:1001:0", "enable:1000:1", "enable:1001:1"}));
    std::vector<std::string> cycle = m_driver.WindowEvents();
    cycle.erase(std::remove_if(cycle.begin(), cycle.end(),
                               [](const std::string& str) { return str.compare(0, 5, "icon:") == 0; }),
                cycle.end());
    EXPECT_EQ(cycle,
              (std::vector<std::string>{"title:Quilla Restart - Sending...", "enable:1000:0", "enable:1001:0",
                                        "title:Quilla Restart - Send complete", "enable:1000:1", "enable:1001:1"}));

    const std::vector<std::string> output = m_driver.Output();
    // The hand-off trace, then the worker's one line: no report server listens in these tests.
    ASSERT_EQ(output.size(), 10u);
    EXPECT_EQ(output[0], m_strCommandLine);
    EXPECT_EQ(output[1], m_strCommandLine.substr(s_strReporter.size() + 3));
    EXPECT_EQ(output[2], "module:" + s_strProbe);
    EXPECT_EQ(output[4], "except:EXCEPTION_ACCESS_VIOLATION");
    EXPECT_EQ(output[5], "Version:ignored");
    EXPECT_EQ(output[8], "version:1.0.3");
    EXPECT_EQ(output[9], "::HttpSendRequestEx failed.");
}

bool HasRed(const CClientShot& shot, const RECT& rect) {
    for (int y = std::max(0, int(rect.top)); y < std::min(shot.cy, int(rect.bottom)); ++y)
        for (int x = std::max(0, int(rect.left)); x < std::min(shot.cx, int(rect.right)); ++x)
            if (GetRValue(shot.At(x, y)) >= 200 && GetGValue(shot.At(x, y)) <= 80 && GetBValue(shot.At(x, y)) <= 80)
                return true;
    return false;
}

TEST_F(Reporter, PaintsThePictureTransparentlyAndTheRestartLabelRed) {
    ASSERT_NE(Start({}), nullptr);
    // The picture sits at (25, 75): its warning sign opaque, its background colour left out.
    const COLORREF crSign = RGB(255, 204, 26);
    const RECT rcLabel = m_driver.ControlRect(IDC_RESTART_LABEL);
    EXPECT_TRUE(CReporterDriver::WaitUntil([&] {
        CClientShot shot = m_driver.CaptureClient();
        return shot.cx > 100 && shot.cy > 140 && shot.At(25 + 20, 75 + 50) == crSign && HasRed(shot, rcLabel);
    }));
    const CClientShot shot = m_driver.CaptureClient();
    ASSERT_GT(shot.cx, 100);
    ASSERT_GT(shot.cy, 140);
    EXPECT_EQ(shot.At(25 + 20, 75 + 50), crSign);
    const COLORREF crDialog = shot.At(25 - 4, 75 + 30);
    EXPECT_NE(crDialog, RGB(212, 208, 200));
    EXPECT_EQ(shot.At(25 + 2, 75 + 30), crDialog);
    EXPECT_EQ(shot.At(25 + 2, 75 + 57), crDialog);

    EXPECT_TRUE(HasRed(shot, rcLabel));
    EXPECT_FALSE(HasRed(shot, m_driver.ControlRect(1007)));
    EXPECT_FALSE(HasRed(shot, m_driver.ControlRect(IDC_MESSAGE)));

    m_driver.Click(IDC_CANCEL);
    ExpectClosed(true);
}

TEST_F(Reporter, EmptyLngFileGivesChineseTitlesAndUntickedBoxNoRestart) {
    ASSERT_NE(Start({{"lngfile", ""}}), nullptr);
    m_driver.Click(IDC_RESTART);
    EXPECT_TRUE(CReporterDriver::WaitUntil([&] { return !m_driver.IsChecked(IDC_RESTART); }));
    m_driver.Click(IDC_SEND);
    ExpectClosed(false);
    EXPECT_EQ(m_driver.Titles(), (std::vector<std::wstring>{s_szTemplateTitle, s_szSendingCn, s_szSentCn}));
}

TEST_F(Reporter, CancelEscapeAndCloseBoxRestartWhenTicked) {
    struct Way {
        const char* pszName;
        void (*pfnClose)(CReporterDriver&);
    };
    const Way ways[] = {
        {"cancel button", [](CReporterDriver& d) { d.Click(IDC_CANCEL); }},
        {"Escape", [](CReporterDriver& d) { d.PressKey(VK_ESCAPE); }},
        {"close box", [](CReporterDriver& d) { d.SysCommand(SC_CLOSE); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.pszName);
        ::DeleteFileA((s_strProbe + ".started").c_str());
        CReporterDriver driver;
        std::string strCommandLine = BuildHandOff(s_strReporter, {{"module", s_strProbe}});
        ASSERT_TRUE(driver.Launch(s_strReporter, strCommandLine));
        ASSERT_NE(driver.WaitForDialog(), nullptr);
        way.pfnClose(driver);
        ASSERT_TRUE(driver.WaitForExit());
        EXPECT_EQ(driver.ExitCode(), 0u);
        EXPECT_TRUE(ProbeStarted());
        EXPECT_TRUE(driver.WindowEvents("title:").empty());
        EXPECT_TRUE(driver.WindowEvents("enable:").empty());
    }
}

TEST_F(Reporter, EnterClosesWithoutRestartEvenWhenTicked) {
    ASSERT_NE(Start({}), nullptr);
    m_driver.FocusControl(IDC_RESTART);
    EXPECT_TRUE(
        CReporterDriver::WaitUntil([&] { return m_driver.Focus() == ::GetDlgItem(m_driver.Dialog(), IDC_RESTART); }));
    m_driver.PressKey(VK_RETURN);
    ExpectClosed(false);
    EXPECT_TRUE(m_driver.IsChecked(IDC_RESTART) || !::IsWindow(m_driver.Dialog()));
}

TEST_F(Reporter, UnquotedPathShowsEmptyFieldsAndCancelWithoutBoxDoesNotRestart) {
    const std::string strCommandLine = s_strReporter;
    ASSERT_TRUE(m_driver.Launch(s_strReporter, strCommandLine));
    ASSERT_NE(m_driver.WaitForDialog(), nullptr);
    EXPECT_EQ(m_driver.ControlText(IDC_EXCEPT), L"");
    EXPECT_EQ(m_driver.ControlText(IDC_ADDR), L"");
    EXPECT_EQ(m_driver.ControlText(IDC_CODE), L"");
    m_driver.Click(IDC_RESTART);
    m_driver.Click(IDC_CANCEL);
    ExpectClosed(false);
    EXPECT_EQ(m_driver.Output(), (std::vector<std::string>{strCommandLine, ""}));
}

}  // namespace
