// Runs the library's wire cases: each case file is a transcript of commands (one a line) and their
// results (lines starting with "| "). The runner carries out the commands against the scenario
// server, writes its own transcript and compares; QUILLA_WRITE_GOLDEN=1 rewrites the files instead.
// Tokens: "-" is null, "~" empty; \xNN \r \n \s (space) \\ are unescaped; $NAME is the environment
// variable NAME. Answers and control requests go to the current server over raw winsock.
#include <winsock2.h>
#include <windows.h>
#include <winioctl.h>

#include "client.h"
#include "urlanalyzer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

typedef std::vector<std::string> Args;

std::string g_sOut;  // the transcript of the case being run
USHORT g_nPort;      // the current scenario server

void Out(std::string s) {
    const std::string sHost = "127.0.0.1:" + std::to_string(g_nPort);
    for (size_t p = 0; (p = s.find(sHost, p)) != std::string::npos;)
        s.replace(p, sHost.size(), "127.0.0.1:PORT");
    g_sOut += "| " + s + "\n";
}

// Bytes as text: CR, LF, backslash and what is not printable escaped; with bBreak out in lines, after each LF.
std::string Escape(const std::string& s, bool bBreak = false) {
    std::string sLine;
    for (unsigned char c : s) {
        char esc[8];
        std::snprintf(esc, sizeof esc,
                      c == '\r'              ? "\\r"
                      : c == '\n'            ? "\\n"
                      : c == '\\'            ? "\\\\"
                      : c < 0x20 || c > 0x7e ? "\\x%02X"
                                             : "%c",
                      c);
        sLine += esc;
        if (bBreak && (c == '\n' || sLine.size() >= 96))
            Out(sLine), sLine.clear();
    }
    if (bBreak && !sLine.empty())
        Out(sLine);
    return bBreak ? std::string() : sLine;
}

std::string Unescape(const std::string& t, bool bRaw) {
    if (t == "~" && !bRaw)
        return "";
    std::string r;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '$' && i + 1 < t.size() && (isalpha(static_cast<unsigned char>(t[i + 1])) || t[i + 1] == '_')) {
            size_t j = i + 1;
            while (j < t.size() && (isalnum(static_cast<unsigned char>(t[j])) || t[j] == '_'))
                ++j;
            const char* sz = std::getenv(t.substr(i + 1, j - i - 1).c_str());
            r += sz ? sz : "";
            i = j - 1;
        } else if (bRaw || t[i] != '\\' || i + 1 == t.size()) {
            r += t[i];
        } else if (t[++i] == 'x') {
            r += static_cast<char>(std::strtoul(t.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            r += t[i] == 'r' ? '\r' : t[i] == 'n' ? '\n' : t[i] == 's' ? ' ' : t[i];
        }
    }
    return r;
}

const char* Sz(const Args& a, size_t i) {
    return i < a.size() && a[i] != "-" ? a[i].c_str() : nullptr;
}
DWORD Num(const Args& a, size_t i, DWORD dwDefault = 0) {  // "*N" is N too
    return i < a.size() ? std::strtoul(a[i].c_str() + (a[i][0] == '*'), nullptr, 0) : dwDefault;
}

sockaddr_in Loopback(USHORT nPort) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    return a;
}

// The scenario server's control API.
std::string Control(const std::string& sMethod,
                    const std::string& sPath,
                    const std::string& sBody,
                    bool* pComplete = nullptr) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Loopback(g_nPort);
    std::string sIn, sOut = sMethod + " " + sPath +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(sBody.size()) +
                            "\r\n\r\n" + sBody;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, sOut.data(), static_cast<int>(sOut.size()), 0) == static_cast<int>(sOut.size())) {
        char buf[65536];
        for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
            sIn.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    const size_t cbHead = sIn.find("\r\n\r\n");
    if (sIn.compare(0, 13, "HTTP/1.1 200 ") != 0 || cbHead == std::string::npos)
        throw std::runtime_error("scenario " + sPath + ": " + sIn.substr(9, sIn.find("\r\n") - 9) + ", " +
                                 sIn.substr(cbHead + 4));
    if (pComplete)
        *pComplete = sIn.find("\r\nX-Complete: 1\r\n") < cbHead;
    return sIn.substr(cbHead + 4);
}

// Request N as recorded, its boundary and the server's port normalised.
std::string Recorded(const std::string& sWhich, bool* pComplete) {
    std::string s;
    for (DWORD i = 0;
         sWhich[0] == '/' ? s.compare(0, sWhich.size() + 16, "POST " + sWhich + " HTTP/1.1\r\n") != 0 : i == 0; ++i)
        s = Control("GET", "/_ctl/request/" + (sWhich[0] == '/' ? std::to_string(i) : sWhich), "", pComplete);
    auto replace = [&s](const std::string& sFrom, const std::string& sTo) {
        for (size_t p = 0; !sFrom.empty() && (p = s.find(sFrom, p)) != std::string::npos; p += sTo.size())
            s.replace(p, sFrom.size(), sTo);
    };
    const size_t p = s.find("boundary=");
    if (p < s.find("\r\n\r\n"))
        replace(s.substr(p + 9, s.find("\r\n", p) - p - 9), "BOUNDARY");
    replace(":" + std::to_string(g_nPort) + "\r\n", ":PORT\r\n");
    return s;
}

// How often the head carries header sName.
int HeaderCount(const std::string& sRaw, const std::string& sName) {
    int n = 0;
    for (size_t p = sRaw.find("\r\n"); p + 2 < sRaw.find("\r\n\r\n"); p = sRaw.find("\r\n", p + 2))
        n += CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, sRaw.c_str() + p + 2, int(sName.size() + 1),
                            (sName + ":").c_str(), int(sName.size() + 1)) == CSTR_EQUAL;
    return n;
}

// Long or binary bodies as their length and FNV-1a hash.
void Dump(const std::string& s) {
    if (s.size() <= 4096)
        return (void)Escape(s, true);
    DWORD h = 2166136261u;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    char sz[64];
    std::snprintf(sz, sizeof sz, "%u bytes, hash %08lX", unsigned(s.size()), h);
    Out(sz);
}

// Changes a file's size behind Windows' back, as a Unix process beside Wine can while the
// client holds it open.
bool UnixTruncate(const std::string& sPath, DWORD cbSize) {
    typedef char*(CDECL * PFN)(LPCWSTR);
    auto pfn = reinterpret_cast<PFN>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    WCHAR wsz[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, sPath.c_str(), -1, wsz, MAX_PATH);
    char* szUnix = pfn ? pfn(wsz) : nullptr;
    if (!szUnix)
        return false;
    long ret;
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(92L), "b"(szUnix), "c"(cbSize) : "memory");  // truncate(2)
    HeapFree(GetProcessHeap(), 0, szUnix);
    return ret == 0;
}

void OutError(const httpclientexceptionA& e, const char* szKind = "! ") {
    Out(szKind + std::to_string(e.GetErrorCode()) + " " + std::to_string(e.GetWin32LastError()) + " " +
        Escape(e.GetErrorMessage()));
}

std::string Take(LPSTR sz) {
    CHeapPtr<char> p(sz);
    return p ? Escape(p.get()) : "null";
}

struct CRunner {
    std::unique_ptr<CHttpClientA> m_pClient = std::make_unique<CHttpClientA>();
    std::unique_ptr<CHttpResponseA> m_pResponse;
    HINTERNET m_hBorrowedInternet = nullptr, m_hBorrowedConnection = nullptr;

    DWORD Posted() {
        CHttpPostStatA stat;
        m_pClient->GetPostStat(stat);
        return stat.IsActive() ? stat.ActualPostedByte() : 0;
    }
    // One step: its bytes, or the response it brought.
    bool Step(DWORD n, std::string& sSteps) {
        const DWORD nBefore = Posted();
        if (CHttpResponseA* p = m_pClient->ProceedStep(n)) {
            m_pResponse.reset(p);
            return true;
        }
        sSteps += " " + std::to_string(Posted() - nBefore);
        return false;
    }
    void Start(const Args& a, bool bUpload) {
        auto& c = *m_pClient;
        if (a[0].back() != 'x')
            return bUpload ? c.StartUpload(Sz(a, 1), Num(a, 2)) : c.StartPost(Sz(a, 1), Num(a, 2));
        (c.*(bUpload ? &CHttpClientA::StartUploadEx : &CHttpClientA::StartPostEx))(
            m_hBorrowedInternet, m_hBorrowedConnection, Sz(a, 1), Num(a, 2), Sz(a, 3), nullptr, nullptr);
    }
    void Run(const Args& a);
};

// A platform write that takes a few bytes at a time, or fails.
DWORD g_cbPerCall;
std::string g_sTaken;
BOOL WINAPI TakeSome(HINTERNET, LPCVOID pv, DWORD cb, LPDWORD pcbWritten) {
    *pcbWritten = cb < g_cbPerCall ? cb : g_cbPerCall;
    g_sTaken.append(static_cast<const char*>(pv), *pcbWritten);
    return TRUE;
}
BOOL WINAPI Fail(HINTERNET, LPCVOID, DWORD, LPDWORD) {
    SetLastError(ERROR_INTERNET_CONNECTION_RESET);
    return FALSE;
}

void ToolArgs() {
    HINTERNET h = reinterpret_cast<HINTERNET>(1);  // never reaches the platform
    const BYTE* pbyData = reinterpret_cast<const BYTE*>("0123456789abcdefghij");
    BYTE b = 0;
    DWORD n = 0;
    CHttpResponseA r0(nullptr, nullptr, nullptr), r1(nullptr, nullptr, CHttpToolA::OpenInternet("t", 1, 0, 0, 0));
    const std::function<void()> aCalls[] = {
        [] { CHttpToolA::OpenConnection(nullptr, nullptr, 80, nullptr, nullptr); },
        [&] { CHttpToolA::OpenConnection(h, nullptr, 80, nullptr, nullptr); },
        [&] { CHttpToolA::OpenConnection(h, "", 80, nullptr, nullptr); },
        [] { CHttpToolA::OpenRequest(nullptr, "POST", nullptr, 0, nullptr); },
        [&] { CHttpToolA::OpenRequest(h, "POST", nullptr, 0, nullptr); },
        [&] { CHttpToolA::OpenRequest(h, "POST", "", 0, nullptr); },
        [] { CHttpToolA::AddHeader(nullptr, nullptr, nullptr); },
        [&] { CHttpToolA::AddHeader(h, nullptr, "v"); },
        [] { CHttpToolA::SendRequestEx(nullptr, 1); },
        [] { CHttpToolA::InternetWriteFile(nullptr, nullptr, 0); },
        [&] { CHttpToolA::InternetWriteFile(h, nullptr, 0); },
        [&] { CHttpToolA::InternetWriteFile(h, &b, 0); },
        [] { CHttpToolA::EndRequest(nullptr); },
        [] { CHttpToolA::OpenFile(nullptr); },
        [] { CHttpToolA::GetFileSize(nullptr, nullptr); },
        [] { CHttpToolA::GetFileSize(INVALID_HANDLE_VALUE, nullptr); },
        [] { CHttpToolA::GetMimeType(nullptr, CP_UTF8); },
        [] { CHttpToolA::GetMimeType(INVALID_HANDLE_VALUE, CP_UTF8); },
        [] { CHttpToolA::GetStatusText(nullptr); },
        [&] { CHttpToolA::GetHeader(nullptr, nullptr, &n); },
        [&] { CHttpToolA::GetHeader(h, nullptr, &n); },
        [] { CHttpToolA::Unicode2Ansi(nullptr, CP_UTF7); },
        [&] { g_cbPerCall = 3, CHttpToolA::_InternetWriteFile(h, pbyData, 20, TakeSome), Out(g_sTaken); },
        [&] { g_cbPerCall = 0, CHttpToolA::_InternetWriteFile(h, pbyData, 20, TakeSome); },
        [&] { CHttpToolA::_InternetWriteFile(h, pbyData, 5, Fail); },
        [] { ThrowWideAsAnsi(httpclientexceptionW(L"::ReadFile failed.", HTTPCLIENT_ERR_READFILE, 38)); },
        [] { CHttpToolA::Unicode2Ansi(L"x", 12345); },
        [] { Out(Take(CHttpToolA::Unicode2Ansi(L"\x4E2D!", 936)) + Take(CHttpToolW::Unicode2Ansi(L"\xE9", 1252))); },
        [] { Out(Take(CHttpToolA::GetMimeType(INVALID_HANDLE_VALUE))); },
        [&] { r0.GetHeader(nullptr); },
        [&] { r0.GetHeader("A"); },
        [&] { r0.GetStatus(); },
        [&] { r0.GetStatusText(); },
        [&] { r0.GetContentLength(n); },
        [&] { r0.ReadContent(nullptr, 0); },
        [&] { r1.ReadContent(nullptr, 0); },
        [&] { r1.ReadContent(&b, 0); },
        [] { CHttpClientA().OpenConnection(nullptr, "http://h/"); },
        [] { CHttpClientA().OpenRequest(nullptr, "POST", "http://h/", 0); },
        [] { CHttpClientA().ApplyProxyAccount(nullptr); },
        // The wide operations raise in their own family.
        [] { CHttpToolW::GetMimeType(nullptr, CP_UTF8); },
        [] { CHttpToolW::Ansi2Unicode(nullptr, CP_UTF7); },
        [] { CHttpToolW::Ansi2Unicode("x", 12345); },
        [] { ThrowAnsiAsWide("caf\xE9", 603, 2); },
    };
    for (const auto& f : aCalls) {
        try {
            f();
        } catch (const httpclientexceptionA& e) {
            OutError(e);
        } catch (const httpclientexceptionW& e) {
            OutError(httpclientexceptionA(CHeapPtr<char>(CHttpToolW::Unicode2Ansi(e.GetErrorMessage(), 1252)).get(),
                                          e.GetErrorCode(), e.GetWin32LastError()),
                     "! W ");
        }
    }
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string s = Take(CHttpToolA::CreateUploadBoundary());
        if (s.size() == 43 && s.compare(0, 10, "----MIRAS-") == 0 && s.find_first_not_of("0123456789abcdef", 10) == 42)
            seen.insert(s);
    }
    Out("fresh well-formed boundaries: " + std::to_string(seen.size()));
}

void CRunner::Run(const Args& a) {
    auto& c = *m_pClient;
    if ((a[0] == "status" || a[0] == "rheader" || a[0] == "read") && !m_pResponse)
        throw std::runtime_error("no response");
    const std::string& s = a[0];
    std::string sSteps;
    if (s == "new") {
        m_pResponse.reset();
        m_pClient = std::make_unique<CHttpClientA>();
    } else if (s == "session") {
        c.SetSessionSettings(Sz(a, 1), Num(a, 2), Sz(a, 3), Sz(a, 4));
    } else if (s == "utf8") {
        c.SetUseUtf8(Num(a, 1));
    } else if (s == "cp") {
        c.SetAnsiCodePage(Num(a, 1));
    } else if (s == "strict") {
        c.SetStrictFileCheck(Num(a, 1));
    } else if (s == "timeouts") {
        c.SetTimeouts(Num(a, 1), Num(a, 2), Num(a, 3));
    } else if (s == "account") {
        c.SetProxyAccount(Sz(a, 1), Sz(a, 2));
    } else if (s == "param") {
        c.AddParam(Sz(a, 1), a.size() > 2 && a[2][0] == '*' ? std::string(Num(a, 2), 'x').c_str() : Sz(a, 2),
                   Num(a, 3));
    } else if (s == "fileparam") {
        c.AddFileParam(Sz(a, 1), Sz(a, 2), Sz(a, 3));
    } else if (s == "unparam") {
        Out(std::to_string(c.RemoveParam(Sz(a, 1))));
    } else if (s == "unparams") {
        c.RemoveAllParams();
    } else if (s == "header") {
        c.AddRequestHeader(Sz(a, 1), Sz(a, 2));
    } else if (s == "unheader") {
        Out(std::to_string(c.RemoveRequestHeader(Sz(a, 1))));
    } else if (s == "upload" || s == "post" || s == "uploadex" || s == "postex") {
        Start(a, s[0] == 'u');
    } else if (s == "borrow") {  // handles of the caller's own, for the Ex starts
        m_hBorrowedInternet = InternetOpenA("borrowed", 0, nullptr, nullptr, 0);
        m_hBorrowedConnection =
            InternetConnectA(m_hBorrowedInternet, "127.0.0.1", g_nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    } else if (s == "giveback") {
        const BOOL bConnection = InternetCloseHandle(m_hBorrowedConnection);
        Out(std::to_string(bConnection) + " " + std::to_string(InternetCloseHandle(m_hBorrowedInternet)));
        m_hBorrowedInternet = m_hBorrowedConnection = nullptr;
    } else if (s == "step") {
        if (Step(Num(a, 1), sSteps))
            Out("response");
        else
            Out(sSteps.substr(1));
    } else if (s == "steps" || s == "stepto") {
        m_pResponse.reset();     // until the response, or until Num(a, 2) bytes are out
        std::set<DWORD> either;  // answers or errors of which any will do
        std::string sEither = "one of";
        for (size_t i = 2; s == "steps" && i < a.size(); ++i)
            either.insert(Num(a, i)), sEither += " " + a[i];
        try {
            while (s == "stepto" ? Posted() < Num(a, 2) : !Step(Num(a, 1), sSteps))
                if (s == "stepto" && m_pClient->ProceedStep(Num(a, 1)))
                    throw std::runtime_error("finished before the cut");
        } catch (const httpclientexceptionA& e) {
            if (!either.count(e.GetErrorCode()))
                throw;
            return Out(sEither);
        }
        if (s == "stepto")
            return (void)Recorded("0", nullptr);
        if (!either.empty() && either.count(m_pResponse->GetStatus()))
            return Out(sEither);
        Out("steps" + sSteps);
        Out("response " + std::to_string(m_pResponse->GetStatus()));
    } else if (s == "stat") {
        CHttpPostStatA st;
        c.GetPostStat(st);
        if (!st.IsActive())
            return Out("inactive");
        char sz[512];
        std::snprintf(sz, sizeof sz,
                      "bytes %lu/%lu values %lu/%lu params %lu/%lu files %lu/%lu current %s %s %lu/%lu remain %lu file "
                      "%d complete %d",
                      st.ActualPostedByte(), st.ActualTotalByte(), st.PostedByte(), st.TotalByte(), st.PostedCount(),
                      st.TotalCount(), st.PostedFileCount(), st.FileCount(),
                      st.CurrParamName() ? Escape(st.CurrParamName()).c_str() : "null",
                      st.CurrParamFilePath() ? Escape(st.CurrParamFilePath()).c_str() : "null",
                      st.CurrParamPostedByte(), st.CurrParamTotalByte(), st.CurrParamRemainByte(), st.CurrParamIsFile(),
                      st.CurrParamIsComplete());
        Out(sz);
    } else if (s == "status") {  // status and text, each fetched once and kept
        const char* sz = m_pResponse->GetStatusText();
        Out(std::to_string(m_pResponse->GetStatus()) + " " + Escape(sz) +
            (sz == m_pResponse->GetStatusText() ? "" : " (fetched again)"));
    } else if (s == "rheader") {
        const char* sz = m_pResponse->GetHeader(Sz(a, 1), Num(a, 2));
        Out(sz ? "[" + Escape(sz) + "]" + (sz == m_pResponse->GetHeader(Sz(a, 1), Num(a, 2)) ? "" : " (fetched again)")
               : "null");
    } else if (s == "read") {  // the whole body in pieces of Num(a, 1), and its declared length
        DWORD cbLen = 0, cb;
        const BOOL bLen = m_pResponse->GetContentLength(cbLen);
        std::string sBody(Num(a, 1), '\0'), sAll;
        while ((cb = m_pResponse->ReadContent(reinterpret_cast<BYTE*>(&sBody[0]), Num(a, 1))) != 0 &&
               sAll.size() < Num(a, 2, 0xFFFFFFFF))
            sAll.append(sBody, 0, cb);
        Out(bLen ? "length " + std::to_string(cbLen) : "no length");
        Dump(sAll.substr(0, Num(a, 2, 0xFFFFFFFF)));
    } else if (s == "drop") {
        m_pResponse.reset();
    } else if (s == "within") {  // the rest of the line must end within Num(a, 1) ms
        const DWORD dwStart = GetTickCount();
        const auto checkTime = [&] {
            if (GetTickCount() - dwStart >= Num(a, 1))
                throw std::runtime_error("took " + std::to_string(GetTickCount() - dwStart) + " ms");
        };
        try {
            Run(Args(a.begin() + 2, a.end()));
        } catch (const httpclientexceptionA&) {
            checkTime();
            throw;
        }
        checkTime();
    } else if (s == "server") {
        g_nPort = static_cast<USHORT>(Num(a, 1));
    } else if (s == "answer" || s == "default") {
        const std::string& sJson = a[1];
        Control("POST", "/_ctl/" + std::string(s == "answer" ? "script" : "default"),
                s == "answer" ? "[" + sJson + "]" : sJson);
    } else if (s == "reset") {
        Control("POST", "/_ctl/reset", "");
    } else if (s == "count") {
        Out(Control("GET", "/_ctl/count", ""));
    } else if (s == "request" || s == "body" || s == "hdr" || s == "contains") {
        bool bComplete = false;
        const std::string sRaw = Recorded(a[1], &bComplete);
        if (s == "hdr")
            return Out(std::to_string(HeaderCount(sRaw, a[2])));
        if (s == "contains")
            return Out(sRaw.find(a[2]) == std::string::npos ? "no" : "yes");
        Out(bComplete ? "complete" : "cut");
        Dump(s == "body" ? sRaw.substr(sRaw.find("\r\n\r\n") + 4) : sRaw);
    } else if (s == "line") {
        const std::string sRaw = Recorded(a[1], nullptr);
        Out(sRaw.substr(0, sRaw.find("\r\n")));
    } else if (s == "write") {  // PATH SIZE SEED (binary, sniffed as application/octet-stream), or PATH @TEXT
        CreateDirectoryA(a[1].substr(0, a[1].rfind('\\')).c_str(), nullptr);
        std::string sBytes(Num(a, 2), '\0');
        for (size_t i = 0, nSeed = Num(a, 3); i < sBytes.size(); ++i)
            sBytes[i] = char(i * 7 + nSeed);
        std::ofstream(a[1], std::ios::binary) << (a[2][0] == '@' ? a[2].substr(1) : sBytes);
    } else if (s == "sparse") {  // PATH SIZE: a file of that size, its bytes never written
        CScopedFileHandle h(CreateFileA(a[1].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER li = {{0, 0}};
        li.QuadPart = std::strtoll(a[2].c_str(), nullptr, 0);
        DWORD cb;
        DeviceIoControl(h.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &cb, nullptr);
        SetFilePointerEx(h.Get(), li, nullptr, FILE_BEGIN) && SetEndOfFile(h.Get());
    } else if (s == "truncate") {
        if (!UnixTruncate(a[1], Num(a, 2)))
            throw std::runtime_error("cannot truncate " + a[1]);
    } else if (s == "rm") {  // fails while the library still holds the file open
        Out(DeleteFileA(a[1].c_str()) ? "removed" : "in use");
    } else if (s == "filesize") {
        CScopedFileHandle h(CHttpToolA::OpenFile(a[1].c_str()));
        Out(std::to_string(CHttpToolA::GetFileSize(h.Get(), a[1].c_str())));
    } else if (s == "mime") {  // sniffed, and the file read from its start again afterwards
        CScopedFileHandle h(CreateFileA(a[1].c_str(), Num(a, 2, GENERIC_READ), FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
        SetFilePointer(h.Get(), 7, nullptr, FILE_BEGIN);
        const std::string sFirst = Take(CHttpToolA::GetMimeType(h.Get()));
        const DWORD nPos = SetFilePointer(h.Get(), 0, nullptr, FILE_CURRENT);
        Out(sFirst + " then at " + std::to_string(nPos) + ", " + Take(CHttpToolA::GetMimeType(h.Get())));
    } else if (s == "toolargs") {
        ToolArgs();
    } else if (s == "route") {  // PROXYLIST BYPASS URL FLAGS: whether the session proxies it, then sent by hand
        CScopedInternetHandle hInternet(
            CHttpToolA::OpenInternet("route", INTERNET_OPEN_TYPE_PROXY, Sz(a, 1), Sz(a, 2), 0));
        CHttpUrlAnalyzerA url;
        url.Analyze(a[3].c_str(), CP_ACP);
        Out("proxied " + std::to_string(CHttpToolA::UsesProxy(
                             hInternet.Get(), CHeapPtr<char>(url.GetServerAddress(a[3].c_str())).get())));
        CScopedInternetHandle hConnection(c.OpenConnection(hInternet.Get(), a[3].c_str()));
        CScopedInternetHandle hRequest(c.OpenRequest(hConnection.Get(), "POST", a[3].c_str(), Num(a, 4)));
        CHttpToolA::SendRequestEx(hRequest.Get(), 0);
        CHttpToolA::EndRequest(hRequest.Get());
    } else {
        throw std::runtime_error("unknown command " + s);
    }
}

// Runs one case file: "" when it passed (or was rewritten), else why it failed.
std::string RunFile(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    if (!in)
        return "cannot be read";
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string sWant = ss.str();
    g_sOut.clear();
    // WinInet keeps the cookies it was given for the whole process: each file starts without them.
    InternetSetOptionA(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
    g_nPort = static_cast<USHORT>(std::atoi(Unescape("$QUILLA_SCENARIO_PORT", false).c_str()));
    CRunner runner;
    Control("POST", "/_ctl/reset", "");
    int nCommands = 0;
    std::string sComplaints;  // the runner's own: a case that went wrong before it checked anything
    std::istringstream lines(sWant);
    for (std::string sLine; std::getline(lines, sLine);) {
        if (sLine.compare(0, 2, "| ") == 0)
            continue;
        g_sOut += sLine + "\n";
        Args a;
        std::istringstream words(sLine);
        for (std::string w; words >> w;)
            a.push_back(Unescape(w, false));
        if (!a.empty() && (a[0] == "answer" || a[0] == "default"))  // the JSON as written, but $NAME
            a.resize(1), a.push_back(Unescape(sLine.substr(sLine.find(' ') + 1), true));
        if (a.empty() || a[0][0] == '#')
            continue;
        ++nCommands;
        try {
            runner.Run(a);
        } catch (const httpclientexceptionA& e) {
            OutError(e);
        } catch (const std::exception& e) {
            Out(std::string("!! ") + e.what());
            sComplaints += "\n" + sLine + "\n| !! " + e.what();
        }
    }
    if (nCommands == 0)
        return "holds no command";
    if (!sComplaints.empty())
        return "the runner could not carry out these commands (nothing rewritten):" + sComplaints;
    if (std::getenv("QUILLA_WRITE_GOLDEN")) {
        std::ofstream(sPath, std::ios::binary) << g_sOut;
        return "";
    }
    if (g_sOut == sWant)
        return "";
    const auto differ = std::mismatch(g_sOut.begin(), g_sOut.end(), sWant.begin(), sWant.end()).first;
    const size_t p = g_sOut.rfind('\n', differ - g_sOut.begin()) + 1;
    return "differs\n--- expected from there:\n" + sWant.substr(p, 800) + "\n--- got:\n" + g_sOut.substr(p, 800);
}

// The case files in the folders of those given that are not among them: a case file that is not
// listed would never run.
std::vector<std::string> Unlisted(const std::vector<std::string>& listed) {
    std::vector<std::string> unlisted;
    for (const std::string& sPath : listed) {
        const std::string sFolder = sPath.substr(0, sPath.find_last_of("/\\") + 1);
        WIN32_FIND_DATAA fd;
        const HANDLE h = FindFirstFileA((sFolder + "*.case").c_str(), &fd);
        for (BOOL bMore = h != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileA(h, &fd)) {
            const std::string sFound = sFolder + fd.cFileName;
            if (std::find(listed.begin(), listed.end(), sFound) == listed.end() &&
                std::find(unlisted.begin(), unlisted.end(), sFound) == unlisted.end())
                unlisted.push_back(sFound);
        }
        if (h != INVALID_HANDLE_VALUE)
            FindClose(h);
    }
    return unlisted;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA wd;
    WSAStartup(MAKEWORD(2, 2), &wd);
    // $QUILLA_REFUSING_PORT refuses connections: the port is ours, bound and never listening.
    const SOCKET sRefusing = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Loopback(0);
    int cb = sizeof a;
    bind(sRefusing, reinterpret_cast<sockaddr*>(&a), cb);
    getsockname(sRefusing, reinterpret_cast<sockaddr*>(&a), &cb);
    _putenv(("QUILLA_REFUSING_PORT=" + std::to_string(ntohs(a.sin_port))).c_str());
    const std::vector<std::string> files(argv + 1, argv + argc);
    int nFailed = 0;
    for (const std::string& sPath : files) {
        const std::string sWhy = RunFile(sPath);
        if (!sWhy.empty()) {
            ++nFailed;
            std::printf("FAILED %s: %s\n", sPath.c_str(), sWhy.c_str());
        }
    }
    const std::vector<std::string> unlisted = Unlisted(files);
    for (const std::string& sPath : unlisted)
        std::printf("FAILED %s: not listed, so it never runs\n", sPath.c_str());
    std::printf("%d of %d case files failed, %d not listed\n", nFailed, int(files.size()), int(unlisted.size()));
    return files.empty() || nFailed != 0 || !unlisted.empty();
}
