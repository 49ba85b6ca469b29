// Runs the library's case files (cases/README.md describes their language): each is a transcript
// of commands and their results ("| " lines). The runner carries out the commands, in process or
// against the scenario server, writes its own transcript and compares; QUILLA_WRITE_GOLDEN=1
// rewrites the files instead.
#include <winsock2.h>
#include <windows.h>

#include "client.h"
#include "encoder.h"
#include "urlanalyzer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

using namespace Tavon;
using E = CHttpEncoderA;
const size_t npos = std::string::npos;

namespace {

// The runner's own complaint: a command it could not carry out, which fails its file.
using CComplaint = std::logic_error;

std::string g_sOut;  // the transcript of the case being run
USHORT g_nPort;      // the current scenario server

void Out(std::string s) {
    const std::string sHost = "127.0.0.1:" + std::to_string(g_nPort);
    for (size_t p = 0; (p = s.find(sHost, p)) != npos;)
        s.replace(p, sHost.size(), "127.0.0.1:PORT");
    g_sOut += "| " + s + "\n";
}
void Out(DWORD n) {
    Out(std::to_string(n));
}

// Bytes as text: CR, LF and backslash escaped, and what is not printable as \xNN.
std::string Escape(const std::string& s) {
    std::string sText;
    for (unsigned char c : s) {
        char sz[8];
        std::snprintf(sz, sizeof sz, c >= 0x20 && c <= 0x7e ? "%c" : "\\x%02X", c);
        const size_t k = std::string("\r\n\\").find(static_cast<char>(c));
        sText += k == npos ? std::string(sz) : std::string("\\") + "rn\\"[k];
    }
    return sText;
}

// A text as a word spells it: escaped, "~" when empty, "-" for none; a heap text is taken over.
std::string Word(const char* sz) {
    return !sz ? "-" : *sz ? Escape(sz) : "~";
}
std::string Take(LPSTR sz) {
    return Word(CHeapPtr<char>(sz).get());
}

// s up to the first sSep, and after it (nothing without one).
std::pair<std::string, std::string> Split(const std::string& s, const std::string& sSep) {
    const size_t p = s.find(sSep);
    return {s.substr(0, p), p == npos ? "" : s.substr(p + sSep.size())};
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

// A word's notation: {N*TEXT} is TEXT written N times, $NAME the environment variable NAME (which
// must be set), and with bEscapes \xNN a byte, \r \n \s (a blank) \\, and "~" alone the empty text.
std::string Expand(const std::string& s, bool bEscapes = true) {
    static const std::regex re(R"(\{(\d+)\*([^}]*)\}|\$([A-Za-z_]\w*)|\\(x[0-9A-Fa-f]{2}|.))");
    if (s == "~" && bEscapes)
        return "";
    std::string sOut;
    auto p = s.cbegin();
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it) {
        const std::smatch& m = *it;
        sOut.append(p, m[0].first);
        p = m[0].second;
        const std::string sEsc = m.str(4);
        const size_t k = std::string("xrns").find(sEsc[0]);
        if (m[1].matched) {
            for (unsigned long n = std::stoul(m.str(1)); n > 0; --n)
                sOut += Expand(m.str(2), bEscapes);
        } else if (m[3].matched) {
            const char* szValue = std::getenv(m.str(3).c_str());
            if (!szValue)
                throw CComplaint("$" + m.str(3) + " is not set");
            sOut += szValue;
        } else if (!bEscapes) {
            sOut += m.str(0);
        } else if (k == 0) {
            sOut += static_cast<char>(std::stoul(sEsc.substr(1), nullptr, 16));
        } else {
            sOut += k == npos ? sEsc[0] : "\r\n "[k - 1];
        }
    }
    return sOut.append(p, s.cend());
}

std::wstring Wide(const std::string& s) {
    std::wstring ws(s.size(), L'\0');
    ws.resize(MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &ws[0], int(ws.size())));
    return ws;
}

// A library exception as "! CODE LASTERROR TEXT" ("! wide ..." for a wide one, its text narrowed
// byte by byte), read from a copy assigned from another whose source is gone, so that copies must
// own all three; a what() other than its text (a wide one's: its class name) follows in brackets.
template <class Ex>
std::string Describe(const Ex& source) {
    auto pCopy = std::make_unique<Ex>(source);
    Ex e;
    e = *pCopy;
    pCopy.reset();
    const bool bWide = std::is_same_v<Ex, httpclientexceptionW>;
    std::string sText;
    for (auto p = e.GetErrorMessage(); *p; ++p)
        sText += static_cast<char>(*p);
    const std::string sWhat = bWide ? "httpclientexceptionW" : sText;
    return std::string(bWide ? "! wide " : "! ") + std::to_string(e.GetErrorCode()) + " " +
           std::to_string(e.GetWin32LastError()) + " " + Word(sText.c_str()) +
           (e.what() == sWhat ? "" : " (what() " + Escape(e.what()) + ")");
}

// What fn returns ("" for nothing), or the description of what it raises: a library exception,
// or checked arithmetic's. Anything else is the runner's own fault and passes on.
template <class F>
std::string Outcome(const F& fn) {
    try {
        if constexpr (std::is_void_v<decltype(fn())>)
            return fn(), "";
        else
            return fn();
    } catch (const httpclientexceptionA& e) {
        return Describe(e);
    } catch (const httpclientexceptionW& e) {
        return Describe(e);
    } catch (const SafeIntException& e) {
        return "! SafeIntException " + std::to_string(e.m_code);
    }
}

// Runs fn; what it raises goes out. Whether it returned.
template <class F>
bool Try(const F& fn) {
    const std::string s = Outcome(fn);
    if (!s.empty())
        Out(s);
    return s.empty();
}

// What enc writes into exactly the length len announces + 1: a sentinel after it must stay.
template <class Len, class Enc>
std::string Encode(Len len, Enc enc) {
    const DWORD n = len();
    std::vector<char> buf(n + 5, 'x');
    std::memcpy(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4);
    enc(buf.data());
    if (std::memcmp(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4) != 0 || std::strlen(buf.data()) != n)
        Out("not the announced length " + std::to_string(n));
    return Word(buf.data());
}

// A platform write that takes at most g_cbPerCall bytes a call; with ~0, one that fails.
DWORD g_cbPerCall;
std::string g_sTaken;
BOOL WINAPI TakeSome(HINTERNET, LPCVOID pv, DWORD cb, LPDWORD pcbWritten) {
    *pcbWritten = std::min(cb, g_cbPerCall);
    g_sTaken.append(static_cast<const char*>(pv), *pcbWritten);
    SetLastError(ERROR_INTERNET_CONNECTION_RESET);
    return g_cbPerCall != ~0u;
}

// A request to the scenario server's control API; its answer's body.
std::string Control(const std::string& sPath, const std::string& sBody = "") {
    const std::string sRequest = "POST " + sPath + " HTTP/1.1\r\nContent-Length: " +
                                 std::to_string(sBody.size()) + "\r\n\r\n" + sBody;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {AF_INET, htons(g_nPort), {}, {}};
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string sIn;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, sRequest.data(), int(sRequest.size()), 0) == int(sRequest.size())) {
        char buf[65536];
        for (int n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
            sIn.append(buf, n);
    }
    closesocket(s);
    if (sIn.compare(0, 13, "HTTP/1.1 200 ") != 0 || sIn.find("\r\n\r\n") == npos)
        throw CComplaint("scenario " + sPath + ": " + sIn);
    return Split(sIn, "\r\n\r\n").second;
}

// A request as the server recorded it, waiting for it (its boundary and port normalised): sWhich
// "N" is the Nth request, "/PATH" the first POST to PATH. With bState, whether it arrived whole
// ("complete") or not ("cut") goes out first.
std::string Recorded(const std::string& sWhich, bool bState) {
    std::string s;  // "1" or "0" for complete or not, then the bytes
    for (int i = 0; s.empty(); ++i) {
        s = Control("/_ctl/request/" + (sWhich[0] == '/' ? std::to_string(i) : sWhich));
        if (sWhich[0] == '/' && s.find("POST " + sWhich + " HTTP/1.1\r\n") != 1)
            s.clear();
    }
    if (bState)
        Out(s[0] == '1' ? "complete" : "cut");
    return s.substr(1);
}

// Changes a file's size behind Windows' back (truncate(2)), as a Unix process beside Wine can
// while the client holds it open.
bool UnixTruncate(const std::string& sPath, DWORD cbSize) {
    typedef char*(CDECL * PFN)(LPCWSTR);
    auto pfn = reinterpret_cast<PFN>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* szUnix = pfn ? pfn(Wide(sPath).c_str()) : nullptr;
    if (!szUnix)
        return false;
    long ret;
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(92L), "b"(szUnix), "c"(cbSize) : "memory");
    HeapFree(GetProcessHeap(), 0, szUnix);
    return ret == 0;
}

// The statistics in one line: each count as posted/total, then the current parameter.
void Stat(const CHttpPostStatA& st) {
    if (!st.IsActive())
        return Out("inactive");
    const auto n = [](DWORD a, DWORD b) { return std::to_string(a) + "/" + std::to_string(b); };
    Out("bytes " + n(st.ActualPostedByte(), st.ActualTotalByte()) + " values " +
        n(st.PostedByte(), st.TotalByte()) + " params " + n(st.PostedCount(), st.TotalCount()) +
        " files " + n(st.PostedFileCount(), st.FileCount()) + " current " +
        Word(st.CurrParamName()) + " " + Word(st.CurrParamFilePath()) + " " +
        n(st.CurrParamPostedByte(), st.CurrParamTotalByte()) + " remain " +
        std::to_string(st.CurrParamRemainByte()) + " file " + std::to_string(st.CurrParamIsFile()) +
        " complete " + std::to_string(st.CurrParamIsComplete()));
}

class CRunner {
public:
    CRunner();
    bool Run(const std::string& sLine);

private:
    std::map<std::string, std::function<void()>> m_commands;
    std::vector<std::string> m_words;  // the command's (word 0 is its name)
    size_t m_nRead = 1;                // words read: one never read is a fault of the case file
    std::wstring m_wsArg;
    std::unique_ptr<CHttpClientA> m_pClient = std::make_unique<CHttpClientA>();
    CHttpClientA& C() { return *m_pClient; }
    std::unique_ptr<CHttpResponseA> m_pResponse;
    HINTERNET m_hInternet = nullptr, m_hConnect = nullptr;  // the caller's own, of "borrow"
    CHttpClientMapA m_map;
    CHttpPostStatA m_stat;

    const std::function<void()>& Command() {
        const auto it = m_commands.find(m_words[0]);
        if (it == m_commands.end())
            throw CComplaint("unknown command " + m_words[0]);
        return it->second;
    }
    const std::string& Arg(size_t i) {
        if (i >= m_words.size())
            throw CComplaint(m_words[0] + " needs argument " + std::to_string(i));
        m_nRead = std::max(m_nRead, i + 1);
        return m_words[i];
    }
    // Optional texts: null when absent or "-"; a wide one from UTF-8.
    char* Sz(size_t i) { return i < m_words.size() && Arg(i) != "-" ? &m_words[i][0] : nullptr; }
    LPCWSTR WSz(size_t i) { return Sz(i) ? (m_wsArg = Wide(m_words[i])).c_str() : nullptr; }
    DWORD Num(size_t i) {
        char* pEnd = nullptr;
        const DWORD n = i < m_words.size() ? std::strtoul(Arg(i).c_str(), &pEnd, 0) : 0;
        if (pEnd && (*pEnd || m_words[i].empty()))
            throw CComplaint(m_words[0] + ": " + m_words[i] + " is not a number");
        return n;
    }
    CHttpPostStatA PostStat() {
        CHttpPostStatA st;
        C().GetPostStat(st);
        return st;
    }
    // One step: its bytes, or "response" (only a started upload's step returns without one).
    std::string Step(DWORD cbStep) {
        const CHttpPostStatA before = PostStat();
        m_pResponse.reset(C().ProceedStep(cbStep));
        if (m_pResponse)
            return "response";
        return std::to_string(PostStat().ActualPostedByte() - before.ActualPostedByte());
    }
    CHttpResponseA& Response() {
        if (!m_pResponse)
            throw CComplaint("no response");
        return *m_pResponse;
    }
};

CRunner::CRunner() {
    m_commands = {
        // The client: its settings, parameters and headers.
        {"new",
         [this] {
             m_pResponse.reset();
             m_pClient = std::make_unique<CHttpClientA>();
         }},
        {"session", [this] { C().SetSessionSettings(Sz(1), Num(2), Sz(3), Sz(4)); }},
        {"utf8", [this] { C().SetUseUtf8(Num(1)); }},
        {"cp", [this] { C().SetAnsiCodePage(Num(1)); }},
        {"strict", [this] { C().SetStrictFileCheck(Num(1)); }},
        {"timeouts", [this] { C().SetTimeouts(Num(1), Num(2), Num(3)); }},
        {"account", [this] { C().SetProxyAccount(Sz(1), Sz(2)); }},
        {"param", [this] { C().AddParam(Sz(1), Sz(2), Num(3)); }},
        {"fileparam", [this] { C().AddFileParam(Sz(1), Sz(2), Sz(3)); }},
        {"unparam", [this] { Out(C().RemoveParam(Sz(1))); }},
        {"unparams", [this] { C().RemoveAllParams(); }},
        {"header", [this] { C().AddRequestHeader(Sz(1), Sz(2)); }},
        {"unheader", [this] { Out(C().RemoveRequestHeader(Sz(1))); }},
        // Starts, steps and the response.
        {"upload", [this] { C().StartUpload(Sz(1), Num(2)); }},
        {"post", [this] { C().StartPost(Sz(1), Num(2)); }},
        {"uploadex", [this] { C().StartUploadEx(m_hInternet, m_hConnect, Sz(1), Num(2), Sz(3)); }},
        {"postex", [this] { C().StartPostEx(m_hInternet, m_hConnect, Sz(1), Num(2), Sz(3)); }},
        {"borrow",
         [this] {
             m_hInternet = InternetOpenA("borrowed", 0, nullptr, nullptr, 0);
             m_hConnect = InternetConnectA(m_hInternet, "127.0.0.1", g_nPort, nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, 0);
         }},
        {"giveback",
         [this] {
             const std::string sConnection = std::to_string(InternetCloseHandle(m_hConnect));
             Out(sConnection + " " + std::to_string(InternetCloseHandle(m_hInternet)));
             m_hInternet = m_hConnect = nullptr;
         }},
        {"step", [this] { Out(Step(Num(1))); }},
        {"steps",  // N [CODE...]: steps of N bytes until the response: the bytes of each, then its
                   // status; an outcome among CODE (a race the row names) prints "one of CODE..."
         [this] {
             std::set<DWORD> codes;
             std::string sSteps = "steps", sOneOf = "one of";
             for (size_t i = 2; i < m_words.size(); ++i) {
                 codes.insert(Num(i));
                 sOneOf += " " + m_words[i];
             }
             try {
                 for (std::string s; (s = Step(Num(1))) != "response";)
                     sSteps += " " + s;
             } catch (const httpclientexceptionA& e) {
                 if (!codes.count(e.GetErrorCode()))
                     throw;
                 return Out(sOneOf);
             }
             if (codes.count(m_pResponse->GetStatus()))
                 return Out(sOneOf);
             Out(sSteps);
             Out("response " + std::to_string(m_pResponse->GetStatus()));
         }},
        {"stat", [this] { Stat(PostStat()); }},
        {"status",
         [this] {
             const char* sz = Response().GetStatusText();
             const std::string sNote = sz == m_pResponse->GetStatusText() ? "" : " (fetched again)";
             Out(std::to_string(m_pResponse->GetStatus()) + " " + Escape(sz) + sNote);
         }},
        {"rheader",
         [this] {
             const char* sz = Response().GetHeader(Sz(1), Num(2));
             const bool bAgain = sz != m_pResponse->GetHeader(Sz(1), Num(2));
             Out(sz ? "[" + Escape(sz) + "]" + (bAgain ? " (fetched again)" : "") : "null");
         }},
        {"read",  // PIECE [MAX]: the declared length, then the body read in pieces (at most MAX)
         [this] {
             const DWORD cbPiece = Num(1), cbMax = m_words.size() > 2 ? Num(2) : 0xFFFFFFFF;
             DWORD cbLength = 0, cb;
             const BOOL bLength = Response().GetContentLength(cbLength);
             std::vector<BYTE> piece(cbPiece);
             std::string sBody;
             while (sBody.size() < cbMax && (cb = m_pResponse->ReadContent(piece.data(), cbPiece)))
                 sBody.append(reinterpret_cast<char*>(piece.data()), cb);
             Out(bLength ? "length " + std::to_string(cbLength) : "no length");
             Dump(sBody.substr(0, cbMax));
         }},
        {"drop", [this] { m_pResponse.reset(); }},
        // The server: its answers and what it recorded.
        {"server", [this] { g_nPort = static_cast<USHORT>(Num(1)); }},
        {"answer", [this] { Control("/_ctl/script", "[" + Arg(1) + "]"); }},
        {"default", [this] { Control("/_ctl/default", "[" + Arg(1) + "]"); }},
        {"reset", [] { Control("/_ctl/reset"); }},
        {"count", [] { Out(Control("/_ctl/count")); }},
        {"request", [this] { Dump(Recorded(Arg(1), true)); }},
        {"body", [this] { Dump(Split(Recorded(Arg(1), true), "\r\n\r\n").second); }},
        {"line", [this] { Out(Split(Recorded(Arg(1), false), "\r\n").first); }},
        {"contains", [this] { Out(Recorded(Arg(1), false).find(Arg(2)) == npos ? "no" : "yes"); }},
        // Files, and the tool's own calls on them.
        {"write",  // PATH SIZE SEED: byte i is i * 7 + SEED; PATH SIZE: none written; PATH @TEXT
         [this] {
             CreateDirectoryA(Arg(1).substr(0, Arg(1).rfind('\\')).c_str(), nullptr);
             CScopedFileHandle h(
                 CreateFileA(Sz(1), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
             std::string sBytes = Arg(2)[0] == '@' ? Arg(2).substr(1) : "";
             LARGE_INTEGER li = {};  // the size past the bytes
             if (Arg(2)[0] != '@' && m_words.size() == 3) {
                 li.QuadPart = std::stoll(Arg(2), nullptr, 0);
             } else if (Arg(2)[0] != '@') {
                 sBytes.assign(Num(2), '\0');
                 const DWORD nSeed = Num(3);
                 for (size_t i = 0; i < sBytes.size(); ++i)
                     sBytes[i] = static_cast<char>(i * 7 + nSeed);
             }
             DWORD cb;
             if (!WriteFile(h.Get(), sBytes.data(), DWORD(sBytes.size()), &cb, nullptr) ||
                 !SetFilePointerEx(h.Get(), li, nullptr, FILE_CURRENT) || !SetEndOfFile(h.Get()))
                 throw CComplaint("cannot write " + Arg(1));
         }},
        {"truncate",
         [this] {
             if (!UnixTruncate(Arg(1), Num(2)))
                 throw CComplaint("cannot truncate " + Arg(1));
         }},
        {"rm", [this] { Out(DeleteFileA(Sz(1)) ? "removed" : "in use"); }},
        {"route",  // PROXYLIST BYPASS URL FLAGS: whether a session with that proxy and bypass list
                   // proxies URL, then a request sent there by hand
         [this] {
             CScopedInternetHandle hInternet(
                 CHttpToolA::OpenInternet("route", INTERNET_OPEN_TYPE_PROXY, Sz(1), Sz(2), 0));
             CHttpUrlAnalyzerA url;
             url.Analyze(Sz(3), CP_ACP);
             CHeapPtr<char> szServer(url.GetServerAddress(Sz(3)));
             const BOOL bProxied = CHttpToolA::UsesProxy(hInternet.Get(), szServer.get());
             Out("proxied " + std::to_string(bProxied));
             CScopedInternetHandle hConnect(C().OpenConnection(hInternet.Get(), Sz(3)));
             CScopedInternetHandle hRequest(C().OpenRequest(hConnect.Get(), "POST", Sz(3), Num(4)));
             CHttpToolA::SendRequestEx(hRequest.Get(), 0);
             CHttpToolA::EndRequest(hRequest.Get());
         }},
        {"pwrite",  // TEXT N: through a platform write that takes N bytes a call, or "fail"s
         [this] {
             g_sTaken.clear();
             g_cbPerCall = Arg(2) == "fail" ? ~0u : Num(2);
             const auto pby = reinterpret_cast<const BYTE*>(Arg(1).data());
             CHttpToolA::_InternetWriteFile(HINTERNET(1), pby, Arg(1).size(), TakeSome);
             Out(Word(g_sTaken.c_str()));
         }},
        {"mime",  // [PATH]: the type of a new file there opened to write only, else of no file
         [this] {
             CScopedFileHandle h(CreateFileA(Sz(1), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_FLAG_DELETE_ON_CLOSE, nullptr));
             Out(Take(CHttpToolA::GetMimeType(h.Get())));
         }},
        {"mimenullw", [] { Out(Take(CHttpToolW::GetMimeType(nullptr))); }},
        {"unicode2ansi", [this] { Out(Take(CHttpToolA::Unicode2Ansi(WSz(1), Num(2)))); }},
        {"unicode2ansiw", [this] { Out(Take(CHttpToolW::Unicode2Ansi(WSz(1), Num(2)))); }},
        {"ansi2unicode", [this] { CHeapPtr<WCHAR>(CHttpToolW::Ansi2Unicode(Sz(1), Num(2))); }},
        // Errors and exceptions.
        {"stock",  // CODE...: each code raised, narrow and wide
         [this] {
             for (size_t i = 1; i < m_words.size(); ++i) {
                 Out(Outcome([&] { ThrowError(Num(i)); }));
                 Out(Outcome([&] { ThrowErrorW(Num(i)); }));
             }
         }},
        {"throw", [this] { ThrowErrorFmt(Num(1), Num(2), Sz(3)); }},
        {"throww", [this] { ThrowErrorFmtW(Num(1), Num(2), WSz(3)); }},
        {"exceptionw", [this] { throw httpclientexceptionW(WSz(1), Num(2), Num(3)); }},
        {"exception",  // TEXT CODE LAST [NEWTEXT]: with NEWTEXT set as its text before it is raised
         [this] {
             httpclientexceptionA e(Sz(1), Num(2), Num(3));
             if (m_words.size() > 4)
                 e.SetErrorMessage(Sz(4));
             throw e;
         }},
        {"errmsgw", [] { Out(errmsg_exceptionW(L"x").what()); }},
        {"aswide", [this] { ThrowAnsiAsWide(Sz(1), Num(2), Num(3)); }},
        {"raise",  // KIND: runtime_error, bad_alloc, int, or checked arithmetic's code
         [this] {
             if (Arg(1) == "runtime_error")
                 throw std::runtime_error("bad thing");
             if (Arg(1) == "bad_alloc")
                 throw std::bad_alloc();
             if (Arg(1) == "int")
                 throw 42;
             throw SafeIntException(long(Num(1)));
         }},
        {"guard",  // FLAGS COMMAND...: COMMAND through a boundary converting as FLAGS say (0,
                   // 3 all, 4 std::bad_alloc as 102); "foreign" when what it raises passes as it is
         [this] {
             const DWORD dwFlags = Num(1);
             m_words.erase(m_words.begin(), m_words.begin() + 2);
             m_nRead = 1;
             const auto& fn = Command();
             try {
                 if (dwFlags == 0)
                     return GuardBoundary(fn);
                 if (dwFlags == HTTPCLIENT_CONVERT_ALL)
                     return GuardBoundary<HTTPCLIENT_CONVERT_ALL>(fn);
                 if (dwFlags == HTTPCLIENT_CONVERT_BAD_ALLOC)
                     return GuardBoundary<HTTPCLIENT_CONVERT_BAD_ALLOC>(fn);
             } catch (const CComplaint&) {
                 throw;
             } catch (const httpclientexceptionA&) {
                 throw;
             } catch (...) {
                 return Out("foreign");
             }
             throw CComplaint("guard: no such flags");
         }},
        // Heap strings and encoders.
        {"heapalloc", [this] { Out(Take(HeapStrAlloc(Num(1)).release())); }},
        {"encode",  // CP TEXT: TEXT URL-encoded, URL-encoded from UTF-8, and in UTF-8, TEXT ending
                    // where an unreadable page begins (4 KiB pages); a length that disagrees shows
         [this] {
             static char* const pPages =
                 static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
             DWORD dwOld;
             if (!pPages || !VirtualProtect(pPages + 4096, 4096, PAGE_NOACCESS, &dwOld))
                 throw CComplaint("no guarded page");
             const UINT cp = Num(1);
             char* const pEnd = pPages + 4096;
             const char* sz = Sz(2) ? std::strcpy(pEnd - Arg(2).size() - 1, Sz(2)) : nullptr;
             for (BOOL bUtf8 : {FALSE, TRUE}) {
                 Out(Encode([&] { return E::UrlEncodeLenA(sz, bUtf8, cp); },
                            [&](char* p) { E::UrlEncodeA(p, sz, bUtf8, cp); }));
             }
             Out(Encode([&] { return E::Utf8EncodeLen(sz, cp); },
                        [&](char* p) { E::Utf8Encode(p, sz, cp); }));
             if (sz && _UrlEncodeLen(sz) != E::UrlEncodeLenA(sz, FALSE, cp))
                 Out("_UrlEncodeLen differs");
             if (E::AnsiEncodeLen(sz, cp) != (sz ? std::strlen(sz) : 0))
                 Out("AnsiEncodeLen differs");
         }},
        {"encodeinto",  // TEXT UTF8 CP: into 8 bytes; what they hold after, also after a failure
         [this] {
             char buf[8] = "xxxxxxx";
             Try([&] { Out(Word(E::UrlEncodeA(buf, Sz(1), Num(2), Num(3)))); });
             Out("leaving " + Word(buf));
         }},
        {"utf8nobuffer", [] { E::Utf8Encode(nullptr, "a", 1252); }},
        {"base64",
         [this] {
             const auto pby = reinterpret_cast<const BYTE*>(Arg(1).data());
             const DWORD cb = Arg(1).size();
             Out(Encode([&] { return E::Base64EncodeLen(cb); },
                        [&](char* p) { E::Base64Encode(p, pby, cb); }));
         }},
        {"base64len", [this] { Out(E::Base64EncodeLen(Num(1))); }},
        {"utf8lenfrom", [this] { Out(E::_Utf8EncodeLenFrom(Num(1), Sz(2), Num(3))); }},
        {"urllenfrom", [this] { Out(E::_UrlEncodeLenFrom(Num(1), Sz(2), Num(3), Num(4))); }},
        // The name/value map, the URL analyzer and the post statistics.
        {"mapadd", [this] { m_map.Add(Sz(1), Sz(2), Num(3)); }},
        {"map",
         [this] {
             std::string s;
             for (const auto& e : m_map)
                 s += " " + Word(e.szName) + "/" + Word(e.szValue) + "/" + std::to_string(e.dwFlag);
             Out(s.empty() ? "~" : s.substr(1));
         }},
        {"mapget",  // NAME INDEX: the value, and how many the name has
         [this] {
             const std::string sCount = std::to_string(m_map.Count(Sz(1)));
             Out(Word(m_map.Get(Sz(1), Num(2))) + " of " + sCount);
         }},
        {"mapcount", [this] { Out(m_map.Count(Sz(1))); }},
        {"mapremove", [this] { Out(Sz(1) ? m_map.RemoveAll(Sz(1)) : m_map.RemoveAll()); }},
        {"mapremoveat",  // the name of entry N itself, which the map frees
         [this] { Out(m_map.RemoveAll(std::next(m_map.begin(), Num(1))->szName)); }},
        {"url",  // CP URL: the parts of URL analyzed in code page CP after a URL with every part,
                 // then the client's readings of it, in one line
         [this] {
             const char* szUrl = Sz(2);
             CHttpUrlAnalyzerA u;
             u.Analyze("http://old:1/p?q#f");
             Try([&] { u.Analyze(szUrl, Num(1)); });
             const DWORD n[] = {u.SchemePos(), u.SchemeLen(), u.AddressPos(), u.AddressLen(),
                                u.PortPos(), u.PortLen(), u.ObjectPos(), u.ObjectLen(),
                                u.QueryPos(), u.QueryLen(), u.FragmentPos(), u.FragmentLen()};
             std::string s;
             for (size_t i = 0; i < std::size(n); i += 2)
                 s += std::to_string(n[i]) + "," + std::to_string(n[i + 1]) + " ";
             s += "| port " + Outcome([&] { return std::to_string(u.GetPort(szUrl)); });
             s += " | secure " + Outcome([&] { return std::to_string(u.IsSecure(szUrl)); });
             s += " | server " + Outcome([&] { return Take(u.GetServerAddress(szUrl)); });
             Out(s + " | object " + Outcome([&] { return Take(u.GetObjectName(szUrl)); }));
         }},
        {"pactivate", [this] { m_stat._Activate(Num(1), Num(2), Num(3), Num(4)); }},
        {"pactual", [this] { m_stat._AddActualPostedBytes(Num(1)); }},
        {"pentry", [this] { m_stat._StartNewEntry(Sz(1), Num(2), Num(3), Sz(4)); }},
        {"pposted", [this] { m_stat._AddPostedBytes(Num(1)); }},
        {"preset", [this] { m_stat._Reset(); }},
        {"ptotal", [this] { Out(m_stat.TotalCount()); }},
        {"pstat",  // as a copy reads them: made, assigned, assigned to itself, its source gone
         [this] {
             auto pCopy = std::make_unique<CHttpPostStatA>(m_stat);
             CHttpPostStatA copy;
             copy = *pCopy;
             pCopy.reset();
             copy = *&copy;
             Stat(copy);
         }},
        {"toolnull", [] { CHttpToolA::OpenConnection(nullptr, nullptr, 80, nullptr, nullptr); }},
        {"clientnull", [] { CHttpClientA().OpenConnection(nullptr, "http://h/"); }},
        {"responsenull", [] { CHttpResponseA(nullptr, nullptr, nullptr).GetStatus(); }},
    };
}

// Carries out one command line: false when the runner could not (its complaint is in the
// transcript).
bool CRunner::Run(const std::string& sLine) {
    std::istringstream in(sLine);
    m_words.assign(std::istream_iterator<std::string>(in), {});
    m_nRead = 1;
    const DWORD dwStart = GetTickCount();
    DWORD dwWithin = 0;  // "within MS COMMAND...": the command must end within MS milliseconds
    try {
        if (m_words[0] == "within" && m_words.size() > 2) {
            dwWithin = Num(1);
            m_words.erase(m_words.begin(), m_words.begin() + 2);
        }
        if (m_words[0] == "answer" || m_words[0] == "default")  // the rest of the line is JSON
            m_words = {m_words[0], Expand(sLine.substr(sLine.find(' ') + 1), false)};
        else
            std::transform(m_words.begin(), m_words.end(), m_words.begin(),
                           [](const std::string& w) { return Expand(w); });
        if (Try(Command()) && m_nRead < m_words.size())
            throw CComplaint(m_words[0] + " does not take " + m_words[m_nRead]);
    } catch (const std::exception& e) {
        Out(std::string("!! ") + e.what());
        return false;
    }
    if (dwWithin && GetTickCount() - dwStart >= dwWithin) {
        Out("!! took " + std::to_string(GetTickCount() - dwStart) + " ms");
        return false;
    }
    return true;
}

// Runs one case file: "" when it passed (or was rewritten), else why it failed.
std::string RunFile(const std::string& sPath) {
    std::stringstream ss;
    ss << std::ifstream(sPath, std::ios::binary).rdbuf();
    const std::string sWant = ss.str();
    g_sOut.clear();
    // WinInet keeps the cookies it was given for the whole process: each file starts without them.
    InternetSetOptionA(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0);
    g_nPort = static_cast<USHORT>(std::atoi(Expand("$QUILLA_SCENARIO_PORT").c_str()));
    Control("/_ctl/reset");
    CRunner runner;
    int nCommands = 0;
    std::string sComplaints;  // the runner's own: a command it could not carry out
    std::istringstream lines(sWant);
    for (std::string sLine; std::getline(lines, sLine);) {
        if (sLine.compare(0, 2, "| ") == 0)
            continue;
        g_sOut += sLine + "\n";
        const size_t p = sLine.find_first_not_of(' ');
        if (p == npos || sLine[p] == '#')
            continue;
        ++nCommands;
        if (!runner.Run(sLine))
            sComplaints += "\n" + sLine + "\n" + g_sOut.substr(g_sOut.rfind("| !! "));
    }
    if (nCommands == 0)
        return "cannot be read or holds no command";
    if (!sComplaints.empty())
        return "the runner could not carry out these commands (nothing rewritten):" + sComplaints;
    if (std::getenv("QUILLA_WRITE_GOLDEN")) {
        std::ofstream(sPath, std::ios::binary) << g_sOut;
        return "";
    }
    if (g_sOut == sWant)
        return "";
    // Both from the command whose results differ first.
    const auto it = std::mismatch(g_sOut.begin(), g_sOut.end(), sWant.begin(), sWant.end()).first;
    size_t p = it == g_sOut.begin() ? 0 : g_sOut.rfind('\n', it - g_sOut.begin() - 1) + 1;
    while (p >= 2 && g_sOut.compare(p, 2, "| ") == 0)
        p = g_sOut.rfind('\n', p - 2) + 1;
    const auto nLine = std::count(g_sOut.begin(), g_sOut.begin() + p, '\n') + 1;
    return "differs at line " + std::to_string(nLine) + "\n--- expected:\n" + sWant.substr(p, 800) +
           "\n--- got:\n" + g_sOut.substr(p, 800);
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA wd;
    WSAStartup(MAKEWORD(2, 2), &wd);
    int nFailed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string sWhy = RunFile(argv[i]);
        if (!sWhy.empty()) {
            ++nFailed;
            std::printf("FAILED %s: %s\n", argv[i], sWhy.c_str());
        }
    }
    std::printf("%d of %d case files failed\n", nFailed, argc - 1);
    return argc < 2 || nFailed != 0;
}
