#include "test_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace TestSupport {

namespace {

const char kLoopback[] = "127.0.0.1";
const DWORD kTick = 20;  // how often blocking waits look at the stop event

bool IEquals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

struct WsaInit {
    WsaInit() {
        WSADATA wd;
        if (WSAStartup(MAKEWORD(2, 2), &wd) != 0)
            throw std::runtime_error("WSAStartup failed");
    }
    ~WsaInit() { WSACleanup(); }
};

class CSocket {
public:
    explicit CSocket(SOCKET s = INVALID_SOCKET) : m_s(s) {}
    ~CSocket() { Close(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    SOCKET Get() const { return m_s; }
    void Close() {
        if (m_s != INVALID_SOCKET)
            closesocket(m_s);
        m_s = INVALID_SOCKET;
    }
    // Closes with a reset, so the peer's next write fails instead of filling a dead buffer.
    void Abort() {
        if (m_s == INVALID_SOCKET)
            return;
        linger l = {1, 0};
        setsockopt(m_s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        Close();
    }

private:
    SOCKET m_s;
};

sockaddr_in LoopbackAddr(USHORT nPort) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(nPort);
    return a;
}

size_t ParseContentLength(const std::string& sHead) {
    CRecordedRequest r;
    r.sRaw = sHead;
    std::string v = r.Header("Content-Length");
    return v.empty() ? 0 : static_cast<size_t>(std::strtoul(v.c_str(), nullptr, 10));
}

}  // namespace

CTestServer::CTestServer(USHORT nPort) {
    static WsaInit s_wsa;
    m_hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_hStop)
        throw std::runtime_error("CreateEvent failed");
    m_sListen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (nPort != 0 && m_sListen != INVALID_SOCKET) {
        // A fixed port is reused test after test; connections we closed may linger in TIME_WAIT.
        BOOL bReuse = TRUE;
        setsockopt(m_sListen, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&bReuse), sizeof bReuse);
    }
    sockaddr_in a = LoopbackAddr(nPort);
    int cb = sizeof a;
    if (m_sListen == INVALID_SOCKET || bind(m_sListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(m_sListen, SOMAXCONN) != 0 || getsockname(m_sListen, reinterpret_cast<sockaddr*>(&a), &cb) != 0) {
        if (m_sListen != INVALID_SOCKET)
            closesocket(m_sListen);
        CloseHandle(m_hStop);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_nPort = ntohs(a.sin_port);
    m_thread = std::thread([this] { _Run(); });
}

CTestServer::~CTestServer() {
    SetEvent(m_hStop);
    if (m_thread.joinable())
        m_thread.join();
    closesocket(m_sListen);
    CloseHandle(m_hStop);
}

std::string CTestServer::Host() const {
    return kLoopback;
}

std::string CTestServer::Url(const std::string& sPath) const {
    return "http://" + Host() + ":" + std::to_string(m_nPort) + sPath;
}

void CTestServer::Script(const CAnswer& answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back(answer);
}

void CTestServer::SetDefault(const CAnswer& answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default = answer;
}

size_t CTestServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

std::vector<CRecordedRequest> CTestServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

CRecordedRequest CTestServer::WaitRequest(size_t nIdx, DWORD dwTimeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), [&] { return m_requests.size() > nIdx; }))
        throw std::runtime_error("test server: request " + std::to_string(nIdx) + " did not arrive");
    return m_requests[nIdx];
}

void CTestServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

USHORT CTestServer::UnusedPort() {
    static WsaInit s_wsa;
    // Bound but never listening, and kept so until the process ends: a released port could be
    // taken at once by any other program's server on this machine.
    static std::mutex s_mutex;
    static std::vector<std::unique_ptr<CSocket>> s_held;
    auto s = std::make_unique<CSocket>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a = LoopbackAddr(0);
    int cb = sizeof a;
    if (s->Get() == INVALID_SOCKET || bind(s->Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s->Get(), reinterpret_cast<sockaddr*>(&a), &cb) != 0)
        throw std::runtime_error("cannot bind on 127.0.0.1");
    std::lock_guard<std::mutex> lock(s_mutex);
    s_held.push_back(std::move(s));
    return ntohs(a.sin_port);
}

bool CTestServer::_Wait(DWORD dwMs) const {
    return WaitForSingleObject(m_hStop, dwMs) == WAIT_TIMEOUT;
}

int CTestServer::_Recv(SOCKET s, char* pBuf, int cbBuf) const {
    for (;;) {
        if (!_Wait(0))
            return -1;
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s, &rd);
        timeval tv = {0, static_cast<long>(kTick * 1000)};
        int n = select(0, &rd, nullptr, nullptr, &tv);
        if (n < 0)
            return -1;
        if (n > 0)
            return recv(s, pBuf, cbBuf, 0);
    }
}

bool CTestServer::_Send(SOCKET s, const std::string& sData) const {
    size_t off = 0;
    while (off < sData.size()) {
        int n = send(s, sData.data() + off, static_cast<int>(std::min<size_t>(sData.size() - off, 65536)), 0);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

void CTestServer::_Record(CRecordedRequest&& req) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(std::move(req));
    }
    m_cv.notify_all();
}

void CTestServer::_Run() {
    while (_Wait(0)) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(m_sListen, &rd);
        timeval tv = {0, static_cast<long>(kTick * 1000)};
        if (select(0, &rd, nullptr, nullptr, &tv) <= 0)
            continue;
        SOCKET s = accept(m_sListen, nullptr, nullptr);
        if (s != INVALID_SOCKET)
            m_workers.emplace_back([this, s] { _Serve(s); });
    }
    for (std::thread& t : m_workers)
        t.join();
}

void CTestServer::_Serve(SOCKET sRaw) {
    CSocket s(sRaw);
    CRecordedRequest req;
    char buf[16384];

    // Head first: up to the blank line.
    size_t headEnd;
    while ((headEnd = req.sRaw.find("\r\n\r\n")) == std::string::npos) {
        int n = _Recv(s.Get(), buf, sizeof buf);
        if (n <= 0) {
            if (!req.sRaw.empty())
                _Record(std::move(req));
            return;
        }
        req.sRaw.append(buf, static_cast<size_t>(n));
    }

    CAnswer ans;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_script.empty()) {
            ans = m_default;
        } else {
            ans = m_script.front();
            m_script.pop_front();
        }
    }

    const size_t cbHead = headEnd + 4;
    const size_t cbBody = ParseContentLength(req.sRaw.substr(0, cbHead));
    bool bStalled = false;
    for (;;) {
        size_t cbHave = req.sRaw.size() - cbHead;
        if (ans.nCloseAfterBody >= 0 && cbHave >= static_cast<size_t>(ans.nCloseAfterBody)) {
            req.sRaw.resize(cbHead + std::min({cbHave, cbBody, static_cast<size_t>(ans.nCloseAfterBody)}));
            // Reset first: once a test sees the request, the client's socket has the reset too.
            s.Abort();
            _Record(std::move(req));
            return;
        }
        if (!bStalled && ans.nStallAfterBody >= 0 && cbHave >= static_cast<size_t>(ans.nStallAfterBody)) {
            bStalled = true;
            if (!_Wait(ans.dwStallMs))
                return;
        }
        if (cbHave >= cbBody)
            break;
        // Never read past the declared body or a scripted cut: the rest counts as "extra".
        size_t want = cbBody - cbHave;
        if (ans.nCloseAfterBody >= 0)
            want = std::min(want, static_cast<size_t>(ans.nCloseAfterBody) - cbHave);
        if (!bStalled && ans.nStallAfterBody >= 0)
            want = std::min(want, static_cast<size_t>(ans.nStallAfterBody) - cbHave);
        int n = _Recv(s.Get(), buf, static_cast<int>(std::min(want, sizeof buf)));
        if (n <= 0) {
            _Record(std::move(req));
            return;
        }
        req.sRaw.append(buf, static_cast<size_t>(n));
    }
    if (req.sRaw.size() > cbHead + cbBody) {
        req.cbExtra = req.sRaw.size() - (cbHead + cbBody);
        req.sRaw.resize(cbHead + cbBody);
    } else {
        u_long cbWaiting = 0;
        if (ioctlsocket(s.Get(), FIONREAD, &cbWaiting) == 0)
            req.cbExtra = cbWaiting;
    }
    req.bComplete = true;
    _Record(std::move(req));

    if (ans.dwDelayMs && !_Wait(ans.dwDelayMs))
        return;

    std::string out = ans.sStatusLine + "\r\n";
    bool bConnection = false;
    for (const auto& h : ans.headers) {
        out += h.first + ": " + h.second + "\r\n";
        bConnection = bConnection || IEquals(h.first, "Connection");
    }
    if (!bConnection)
        out += "Connection: close\r\n";
    std::string body = ans.sBody;
    if (ans.bChunked) {
        out += "Transfer-Encoding: chunked\r\n\r\n";
        if (ans.bEndless) {
            char len[16];
            snprintf(len, sizeof len, "%zx\r\n", body.size());
            const std::string chunk = len + body + "\r\n";
            for (bool bOk = _Send(s.Get(), out); bOk && !body.empty() && _Wait(0);)
                bOk = _Send(s.Get(), chunk);
            return;
        }
        std::string chunked;
        size_t cb = ans.cbChunk ? ans.cbChunk : 1;
        for (size_t p = 0; p < body.size(); p += cb) {
            std::string piece = body.substr(p, cb);
            char len[16];
            snprintf(len, sizeof len, "%zx\r\n", piece.size());
            chunked += len + piece + "\r\n";
        }
        chunked += "0\r\n\r\n";
        body = chunked;
    } else {
        if (!ans.bNoLength)
            out += "Content-Length: " + std::to_string(ans.sBody.size()) + "\r\n";
        out += "\r\n";
    }
    if (ans.bStallAfterHead) {
        if (_Send(s.Get(), out))
            _Wait(INFINITE);
        return;
    }
    if (ans.nSendBodyBytes >= 0 && static_cast<size_t>(ans.nSendBodyBytes) < body.size())
        body.resize(static_cast<size_t>(ans.nSendBodyBytes));
    if (_Send(s.Get(), out + body))
        shutdown(s.Get(), SD_SEND);
    // Let the client read everything before the socket goes away.
    while (_Recv(s.Get(), buf, sizeof buf) > 0) {
    }
}

}  // namespace TestSupport
