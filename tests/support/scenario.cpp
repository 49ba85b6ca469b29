#include "scenario.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace TestSupport {

namespace {

struct CSocket {
    SOCKET m_s = INVALID_SOCKET;
    CSocket() {
        static const struct CWsa {
            CWsa() {
                WSADATA wd;
                WSAStartup(MAKEWORD(2, 2), &wd);
            }
            ~CWsa() { WSACleanup(); }
        } s_wsa;
        if ((m_s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) == INVALID_SOCKET)
            throw std::runtime_error("socket failed");
    }
    ~CSocket() { closesocket(m_s); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
};

sockaddr_in Loopback(USHORT nPort) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    return a;
}

USHORT PortFromEnvironment() {
    const char* sz = std::getenv("QUILLA_SCENARIO_PORT");
    if (!sz || !*sz)
        throw std::runtime_error("QUILLA_SCENARIO_PORT is not set: run this test through scenario.py");
    return static_cast<USHORT>(std::atoi(sz));
}

}  // namespace

CScenario::CScenario() : CScenario(PortFromEnvironment()) {
    Reset();
}

std::string CScenario::Url(const std::string& sPath) const {
    return "http://" + Host() + ":" + std::to_string(m_nPort) + sPath;
}

void CScenario::Script(const std::string& sJson) const {
    const size_t p = sJson.find_first_not_of(" \t\r\n");
    _Control("POST", "/_ctl/script", p != std::string::npos && sJson[p] == '[' ? sJson : "[" + sJson + "]");
}

void CScenario::Default(const std::string& sJson) const {
    _Control("POST", "/_ctl/default", sJson);
}

CRecordedRequest CScenario::Request(size_t nIdx) const {
    std::string sHead;
    CRecordedRequest r;
    r.sRaw = _Control("GET", "/_ctl/request/" + std::to_string(nIdx), "", &sHead);
    r.bComplete = sHead.find("\r\nX-Complete: 1\r\n") != std::string::npos;
    return r;
}

size_t CScenario::Count() const {
    return std::strtoul(_Control("GET", "/_ctl/count", "").c_str(), nullptr, 10);
}

void CScenario::Reset() const {
    _Control("POST", "/_ctl/reset", "");
}

std::string CScenario::_Control(const std::string& sMethod,
                                const std::string& sPath,
                                const std::string& sBody,
                                std::string* pHead) const {
    CSocket s;
    sockaddr_in a = Loopback(m_nPort);
    if (connect(s.m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("scenario server not reachable on port " + std::to_string(m_nPort));
    const std::string sOut = sMethod + " " + sPath +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(sBody.size()) +
                             "\r\n\r\n" + sBody;
    for (size_t off = 0; off < sOut.size();) {
        const int n = send(s.m_s, sOut.data() + off, static_cast<int>(sOut.size() - off), 0);
        if (n <= 0)
            throw std::runtime_error("scenario control: send failed");
        off += static_cast<size_t>(n);
    }
    std::string sIn;
    char buf[65536];
    for (int n; (n = recv(s.m_s, buf, sizeof buf, 0)) > 0;)
        sIn.append(buf, static_cast<size_t>(n));
    const size_t cbHead = sIn.find("\r\n\r\n");
    if (sIn.compare(0, 13, "HTTP/1.1 200 ") != 0 || cbHead == std::string::npos)
        throw std::runtime_error("scenario control " + sPath + ": " + sIn.substr(0, sIn.find("\r\n")));
    if (pHead)
        *pHead = sIn.substr(0, cbHead + 2);
    return sIn.substr(cbHead + 4);
}

USHORT CScenario::UnusedPort() {
    // Bound but never listening, and kept so until the process ends: a released port could be
    // taken at once by any other program's server on this machine.
    static std::mutex s_mutex;
    static std::vector<std::unique_ptr<CSocket>> s_held;
    auto s = std::make_unique<CSocket>();
    sockaddr_in a = Loopback(0);
    int cb = sizeof a;
    if (bind(s->m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s->m_s, reinterpret_cast<sockaddr*>(&a), &cb) != 0)
        throw std::runtime_error("cannot bind on 127.0.0.1");
    std::lock_guard<std::mutex> lock(s_mutex);
    s_held.push_back(std::move(s));
    return ntohs(a.sin_port);
}

std::string JsonString(const std::string& sBytes) {
    std::string s = "\"";
    for (unsigned char c : sBytes) {
        char esc[8];
        std::snprintf(esc, sizeof esc, c >= 0x20 && c < 0x7f && c != '"' && c != '\\' ? "%c" : "\\u%04x", c);
        s += esc;
    }
    return s + "\"";
}

}  // namespace TestSupport
