// Runs the library's wire cases (cases/README.md describes them): each case file is a transcript of
// commands and their results ("| " lines). The runner carries out the commands against the scenario
// server, writes its own transcript and compares; QUILLA_WRITE_GOLDEN=1 rewrites the files instead.
#include <winsock2.h>
#include <windows.h>
#include <winioctl.h>

#include "client.h"
#include "urlanalyzer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

std::string g_sOut;  // the transcript of the case being run
USHORT g_nPort;      // the current scenario server

void Out(std::string s) {
    const std::string sHost = "127.0.0.1:" + std::to_string(g_nPort);
    for (size_t p = 0; (p = s.find(sHost, p)) != std::string::npos;)
        s.replace(p, sHost.size(), "127.0.0.1:PORT");
    g_sOut += "| " + s + "\n";
}

// Bytes as text: CR, LF and backslash escaped, and what is not printable as \xNN.
std::string Escape(const std::string& s) {
    std::string sText;
    for (unsigned char c : s) {
        char sz[8];
        std::snprintf(sz, sizeof sz, c >= 0x20 && c <= 0x7e ? "%c" : "\\x%02X", c);
        const size_t k = std::string("\r\n\\").find(static_cast<char>(c));
        sText += k == std::string::npos ? std::string(sz) : std::string("\\") + "rn\\"[k];
    }
    return sText;
}

// A body in lines of at most 96 characters, each LF ending one; past 4096 bytes, its length and
// FNV-1a hash instead.
void Dump(const std::string& s) {
    if (s.size() > 4096) {
        DWORD dwHash = 2166136261u;
        for (unsigned char c : s)
            dwHash = (dwHash ^ c) * 16777619u;
        char sz[64];
        std::snprintf(sz, sizeof sz, "%u bytes, hash %08lX", unsigned(s.size()), dwHash);
        return Out(sz);
    }
    std::string sLine;
    for (char c : s) {
        sLine += Escape(std::string(1, c));
        if (c == '\n' || sLine.size() >= 96) {
            Out(sLine);
            sLine.clear();
        }
    }
    if (!sLine.empty())
        Out(sLine);
}

// {N*TEXT} is TEXT written N times; $NAME is the environment variable NAME, which must be set.
std::string Expand(const std::string& s) {
    static const std::regex re(R"(\{(\d+)\*([^}]*)\}|\$([A-Za-z_]\w*))");
    std::string sOut;
    auto p = s.cbegin();
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it) {
        const std::smatch& m = *it;
        sOut.append(p, m[0].first);
        p = m[0].second;
        for (unsigned long n = m[1].matched ? std::stoul(m.str(1)) : 0; n > 0; --n)
            sOut += m.str(2);
        const char* szValue = m[3].matched ? std::getenv(m.str(3).c_str()) : "";
        if (!szValue)
            throw std::runtime_error("$" + m.str(3) + " is not set");
        sOut += szValue;
    }
    return sOut.append(p, s.cend());
}

// A word's escapes: \xNN for a byte, \r \n \s (space) \\; "~" is the empty text.
std::string Unescape(const std::string& sWord) {
    std::string s;
    for (size_t i = 0; sWord != "~" && i < sWord.size(); ++i) {
        if (sWord[i] != '\\' || i + 1 == sWord.size()) {
            s += sWord[i];
        } else if (sWord[++i] == 'x') {
            s += static_cast<char>(std::stoul(sWord.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            const size_t k = std::string("rns").find(sWord[i]);
            s += k == std::string::npos ? sWord[i] : "\r\n "[k];
        }
    }
    return s;
}

// A command's words (word 0 is the command): a word it needs and does not find, a number that is
// not one, or a word it never reads is a fault of the case file.
struct CArgs {
    std::vector<std::string> words;
    mutable size_t nRead = 1;

    const std::string& operator[](size_t i) const {
        if (i >= words.size())
            throw std::runtime_error(words[0] + " needs argument " + std::to_string(i));
        nRead = std::max(nRead, i + 1);
        return words[i];
    }
    // An optional text: null when absent or "-".
    const char* Sz(size_t i) const { return i < words.size() && (*this)[i] != "-" ? &words[i][0] : nullptr; }
    DWORD Num(size_t i, DWORD dwAbsent = 0) const {
        char* pEnd = nullptr;
        const DWORD n = i < words.size() ? std::strtoul((*this)[i].c_str(), &pEnd, 0) : dwAbsent;
        if (pEnd && (*pEnd || words[i].empty()))
            throw std::runtime_error(words[0] + ": " + words[i] + " is not a number");
        return n;
    }
};

sockaddr_in Loopback(USHORT nPort) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    return a;
}

// A request to the scenario server's control API; its answer's body.
std::string Control(const std::string& sMethod, const std::string& sPath, const std::string& sBody,
                    bool* pComplete = nullptr) {
    const std::string sRequest = sMethod + " " + sPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                 "Content-Length: " + std::to_string(sBody.size()) + "\r\n\r\n" + sBody;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Loopback(g_nPort);
    std::string sIn;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, sRequest.data(), int(sRequest.size()), 0) == int(sRequest.size())) {
        char buf[65536];
        for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
            sIn.append(buf, n);
    }
    closesocket(s);
    const size_t cbHead = sIn.find("\r\n\r\n");
    if (sIn.compare(0, 13, "HTTP/1.1 200 ") != 0 || cbHead == std::string::npos)
        throw std::runtime_error("scenario " + sPath + ": " + sIn.substr(0, sIn.find("\r\n")) + ", " +
                                 sIn.substr(cbHead + 4));
    if (pComplete)
        *pComplete = sIn.find("\r\nX-Complete: 1\r\n") < cbHead;
    return sIn.substr(cbHead + 4);
}

// A request as the server recorded it (waiting for it), its boundary and the server's port
// normalised: sWhich "N" is the Nth request, "/PATH" the first POST to PATH.
std::string Recorded(const std::string& sWhich, bool* pComplete = nullptr) {
    std::string s;
    for (int i = 0; s.empty(); ++i) {
        s = Control("GET", "/_ctl/request/" + (sWhich[0] == '/' ? std::to_string(i) : sWhich), "", pComplete);
        if (sWhich[0] == '/' && s.compare(0, sWhich.size() + 16, "POST " + sWhich + " HTTP/1.1\r\n") != 0)
            s.clear();
    }
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
    // truncate(2)
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(92L), "b"(szUnix), "c"(cbSize) : "memory");
    HeapFree(GetProcessHeap(), 0, szUnix);
    return ret == 0;
}

class CRunner {
public:
    void Run(const CArgs& a);

private:
    std::unique_ptr<CHttpClientA> m_pClient = std::make_unique<CHttpClientA>();
    std::unique_ptr<CHttpResponseA> m_pResponse;
    HINTERNET m_hBorrowedInternet = nullptr, m_hBorrowedConnection = nullptr;

    DWORD Posted() {
        CHttpPostStatA stat;
        m_pClient->GetPostStat(stat);
        return stat.IsActive() ? stat.ActualPostedByte() : 0;
    }
    // Steps of cbStep bytes until the response, or until at least cbCut bytes are out; the bytes of
    // each step that brought no response.
    std::string Steps(DWORD cbStep, DWORD cbCut) {
        m_pResponse.reset();
        std::string sSteps = "steps";
        while (Posted() < cbCut) {
            const DWORD cbBefore = Posted();
            m_pResponse.reset(m_pClient->ProceedStep(cbStep));
            if (m_pResponse)
                break;
            sSteps += " " + std::to_string(Posted() - cbBefore);
        }
        return sSteps;
    }
    CHttpResponseA& Response() {
        if (!m_pResponse)
            throw std::runtime_error("no response");
        return *m_pResponse;
    }
    void Stat();
};

void CRunner::Stat() {
    CHttpPostStatA st;
    m_pClient->GetPostStat(st);
    if (!st.IsActive())
        return Out("inactive");
    const std::string sName = st.CurrParamName() ? Escape(st.CurrParamName()) : "null";
    const std::string sPath = st.CurrParamFilePath() ? Escape(st.CurrParamFilePath()) : "null";
    char sz[512];
    std::snprintf(sz, sizeof sz,
                  "bytes %lu/%lu values %lu/%lu params %lu/%lu files %lu/%lu current %s %s %lu/%lu "
                  "remain %lu file %d complete %d",
                  st.ActualPostedByte(), st.ActualTotalByte(), st.PostedByte(), st.TotalByte(),
                  st.PostedCount(), st.TotalCount(), st.PostedFileCount(), st.FileCount(), sName.c_str(),
                  sPath.c_str(), st.CurrParamPostedByte(), st.CurrParamTotalByte(),
                  st.CurrParamRemainByte(), st.CurrParamIsFile(), st.CurrParamIsComplete());
    Out(sz);
}

void CRunner::Run(const CArgs& a) {
    CHttpClientA& c = *m_pClient;
    const std::string& s = a[0];
    // The client: its settings, parameters and headers.
    if (s == "new") {
        m_pResponse.reset();
        m_pClient = std::make_unique<CHttpClientA>();
    } else if (s == "session") {
        c.SetSessionSettings(a.Sz(1), a.Num(2), a.Sz(3), a.Sz(4));
    } else if (s == "utf8") {
        c.SetUseUtf8(a.Num(1));
    } else if (s == "cp") {
        c.SetAnsiCodePage(a.Num(1));
    } else if (s == "strict") {
        c.SetStrictFileCheck(a.Num(1));
    } else if (s == "timeouts") {
        c.SetTimeouts(a.Num(1), a.Num(2), a.Num(3));
    } else if (s == "account") {
        c.SetProxyAccount(a.Sz(1), a.Sz(2));
    } else if (s == "param") {
        c.AddParam(a.Sz(1), a.Sz(2), a.Num(3));
    } else if (s == "fileparam") {
        c.AddFileParam(a.Sz(1), a.Sz(2), a.Sz(3));
    } else if (s == "unparam") {
        Out(std::to_string(c.RemoveParam(a.Sz(1))));
    } else if (s == "unparams") {
        c.RemoveAllParams();
    } else if (s == "header") {
        c.AddRequestHeader(a.Sz(1), a.Sz(2));
    } else if (s == "unheader") {
        Out(std::to_string(c.RemoveRequestHeader(a.Sz(1))));
        // Starts, steps and the response.
    } else if (s == "upload") {
        c.StartUpload(a.Sz(1), a.Num(2));
    } else if (s == "post") {
        c.StartPost(a.Sz(1), a.Num(2));
    } else if (s == "uploadex") {
        c.StartUploadEx(m_hBorrowedInternet, m_hBorrowedConnection, a.Sz(1), a.Num(2), a.Sz(3));
    } else if (s == "postex") {
        c.StartPostEx(m_hBorrowedInternet, m_hBorrowedConnection, a.Sz(1), a.Num(2), a.Sz(3));
    } else if (s == "borrow") {  // handles of the caller's own, for the Ex starts
        m_hBorrowedInternet = InternetOpenA("borrowed", 0, nullptr, nullptr, 0);
        m_hBorrowedConnection = InternetConnectA(m_hBorrowedInternet, "127.0.0.1", g_nPort, nullptr, nullptr,
                                                 INTERNET_SERVICE_HTTP, 0, 0);
    } else if (s == "giveback") {
        const BOOL bConnection = InternetCloseHandle(m_hBorrowedConnection);
        Out(std::to_string(bConnection) + " " + std::to_string(InternetCloseHandle(m_hBorrowedInternet)));
        m_hBorrowedInternet = m_hBorrowedConnection = nullptr;
    } else if (s == "step") {  // one step: its bytes, or the response it brought
        const DWORD cbBefore = Posted();
        m_pResponse.reset(c.ProceedStep(a.Num(1)));
        Out(m_pResponse ? "response" : std::to_string(Posted() - cbBefore));
    } else if (s == "steps") {  // CODE...: any of these errors or statuses will do ("one of ...")
        std::string sCodes;
        for (size_t i = 2; i < a.words.size(); ++i)
            sCodes += " " + std::to_string(a.Num(i));
        const auto oneOf = [&sCodes](DWORD dw) {
            return (sCodes + " ").find(" " + std::to_string(dw) + " ") != std::string::npos;
        };
        try {
            const std::string sSteps = Steps(a.Num(1), 0xFFFFFFFF);
            if (oneOf(m_pResponse->GetStatus()))
                return Out("one of" + sCodes);
            Out(sSteps);
            Out("response " + std::to_string(m_pResponse->GetStatus()));
        } catch (const httpclientexceptionA& e) {
            if (!oneOf(e.GetErrorCode()))
                throw;
            Out("one of" + sCodes);
        }
    } else if (s == "stepto") {
        Out(Steps(a.Num(1), a.Num(2)));
        if (m_pResponse)
            throw std::runtime_error("the upload ended before the cut");
    } else if (s == "stat") {
        Stat();
    } else if (s == "status") {  // status and text, each fetched once and kept
        const char* sz = Response().GetStatusText();
        const bool bKept = sz == m_pResponse->GetStatusText();
        const std::string sStatus = std::to_string(m_pResponse->GetStatus());
        Out(sStatus + " " + Escape(sz) + (bKept ? "" : " (fetched again)"));
    } else if (s == "rheader") {
        const char* sz = Response().GetHeader(a.Sz(1), a.Num(2));
        const bool bKept = sz == m_pResponse->GetHeader(a.Sz(1), a.Num(2));
        Out(sz ? "[" + Escape(sz) + "]" + (bKept ? "" : " (fetched again)") : "null");
    } else if (s == "read") {  // the whole body (up to a limit) in pieces, and its declared length
        const DWORD cbPiece = a.Num(1), cbMax = a.Num(2, 0xFFFFFFFF);
        DWORD cbLength = 0, cb;
        const BOOL bLength = Response().GetContentLength(cbLength);
        std::string sPiece(cbPiece, '\0'), sBody;
        BYTE* pbyPiece = reinterpret_cast<BYTE*>(&sPiece[0]);
        while (sBody.size() < cbMax && (cb = m_pResponse->ReadContent(pbyPiece, cbPiece)))
            sBody.append(sPiece, 0, cb);
        Out(bLength ? "length " + std::to_string(cbLength) : "no length");
        Dump(sBody.substr(0, cbMax));
    } else if (s == "drop") {
        m_pResponse.reset();
        // The server: its answers and what it recorded.
    } else if (s == "server") {
        g_nPort = static_cast<USHORT>(a.Num(1));
    } else if (s == "answer") {
        Control("POST", "/_ctl/script", "[" + a[1] + "]");
    } else if (s == "default") {
        Control("POST", "/_ctl/default", a[1]);
    } else if (s == "reset") {
        Control("POST", "/_ctl/reset", "");
    } else if (s == "count") {
        Out(Control("GET", "/_ctl/count", ""));
    } else if (s == "request" || s == "body") {
        bool bComplete = false;
        const std::string sRaw = Recorded(a[1], &bComplete);
        Out(bComplete ? "complete" : "cut");
        Dump(s == "body" ? sRaw.substr(sRaw.find("\r\n\r\n") + 4) : sRaw);
    } else if (s == "line") {
        const std::string sRaw = Recorded(a[1]);
        Out(sRaw.substr(0, sRaw.find("\r\n")));
    } else if (s == "contains") {
        Out(Recorded(a[1]).find(a[2]) == std::string::npos ? "no" : "yes");
        // Files, and the tool's own calls on them.
    } else if (s == "write") {  // bytes from a seed (sniffed as an octet stream), or @TEXT
        CreateDirectoryA(a[1].substr(0, a[1].rfind('\\')).c_str(), nullptr);
        std::string sBytes = a[2].substr(1);
        if (a[2][0] != '@') {
            sBytes.assign(a.Num(2), '\0');
            const DWORD nSeed = a.Num(3);
            for (size_t i = 0; i < sBytes.size(); ++i)
                sBytes[i] = static_cast<char>(i * 7 + nSeed);
        }
        if (!(std::ofstream(a[1], std::ios::binary) << sBytes))
            throw std::runtime_error("cannot write " + a[1]);
    } else if (s == "sparse") {  // a file of that size, its bytes never written
        CScopedFileHandle h(CreateFileA(a[1].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER li;
        li.QuadPart = std::stoll(a[2], nullptr, 0);
        DWORD cb;
        DeviceIoControl(h.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &cb, nullptr);
        if (!SetFilePointerEx(h.Get(), li, nullptr, FILE_BEGIN) || !SetEndOfFile(h.Get()))
            throw std::runtime_error("cannot make " + a[1]);
    } else if (s == "truncate") {
        if (!UnixTruncate(a[1], a.Num(2)))
            throw std::runtime_error("cannot truncate " + a[1]);
    } else if (s == "rm") {  // fails while the library still holds the file open
        Out(DeleteFileA(a[1].c_str()) ? "removed" : "in use");
    } else if (s == "filesize") {
        CScopedFileHandle h(CHttpToolA::OpenFile(a[1].c_str()));
        Out(std::to_string(CHttpToolA::GetFileSize(h.Get(), a[1].c_str())));
    } else if (s == "route") {  // whether the session proxies the URL, then a request sent by hand
        CScopedInternetHandle hInternet(
            CHttpToolA::OpenInternet("route", INTERNET_OPEN_TYPE_PROXY, a.Sz(1), a.Sz(2), 0));
        CHttpUrlAnalyzerA url;
        url.Analyze(a[3].c_str(), CP_ACP);
        CHeapPtr<char> szServer(url.GetServerAddress(a[3].c_str()));
        Out("proxied " + std::to_string(CHttpToolA::UsesProxy(hInternet.Get(), szServer.get())));
        CScopedInternetHandle hConnection(c.OpenConnection(hInternet.Get(), a[3].c_str()));
        CScopedInternetHandle hRequest(c.OpenRequest(hConnection.Get(), "POST", a[3].c_str(), a.Num(4)));
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
    g_nPort = static_cast<USHORT>(std::atoi(Expand("$QUILLA_SCENARIO_PORT").c_str()));
    Control("POST", "/_ctl/reset", "");
    CRunner runner;
    int nCommands = 0;
    std::string sComplaints;  // the runner's own: a command it could not carry out
    std::istringstream lines(sWant);
    for (std::string sLine; std::getline(lines, sLine);) {
        if (sLine.compare(0, 2, "| ") == 0)
            continue;
        g_sOut += sLine + "\n";
        std::vector<std::string> words;
        std::istringstream wordsIn(sLine);
        for (std::string w; wordsIn >> w;)
            words.push_back(w);
        if (words.empty() || words[0][0] == '#')
            continue;
        ++nCommands;
        const DWORD dwStart = GetTickCount();
        DWORD dwWithin = 0;  // "within MS COMMAND...": the command must end within MS milliseconds
        try {
            if (words[0] == "within" && words.size() > 2) {
                dwWithin = CArgs{words}.Num(1);
                words.erase(words.begin(), words.begin() + 2);
            }
            if (words[0] == "answer" || words[0] == "default") {  // the rest of the line is JSON
                words.resize(1);
                words.push_back(Expand(sLine.substr(sLine.find(' ') + 1)));
            } else {
                for (std::string& w : words)
                    w = Unescape(Expand(w));
            }
            const CArgs args{words};
            runner.Run(args);
            if (args.nRead < words.size())
                throw std::runtime_error(words[0] + " does not take " + words[args.nRead]);
        } catch (const httpclientexceptionA& e) {
            Out("! " + std::to_string(e.GetErrorCode()) + " " + std::to_string(e.GetWin32LastError()) + " " +
                Escape(e.GetErrorMessage()));
        } catch (const std::exception& e) {
            Out(std::string("!! ") + e.what());
            sComplaints += "\n" + sLine + "\n| !! " + e.what();
        }
        if (dwWithin && GetTickCount() - dwStart >= dwWithin) {
            Out("!! took " + std::to_string(GetTickCount() - dwStart) + " ms");
            sComplaints += "\n" + sLine + "\n| !! took longer";
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
    return "differs\n--- expected from there:\n" + sWant.substr(p, 800) + "\n--- got:\n" +
           g_sOut.substr(p, 800);
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
    std::printf("%d of %d case files failed\n", nFailed, int(files.size()));
    return files.empty() || nFailed != 0;
}
