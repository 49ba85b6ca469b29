// A loopback HTTP/1.1 server for the network tests (its recorded requests and the temp-file
// helpers come with it).
//
//   TestSupport::CTestServer srv;                    // listening on 127.0.0.1:<free port>
//   TestSupport::CAnswer a;
//   a.AddHeader("Set-Cookie", "a=1").AddHeader("Set-Cookie", "b=2");
//   a.sBody = "hello";
//   srv.Script(a);                                   // answers are used once each, in order
//   ... drive WinInet at srv.Url("/upload.php") ...
//   TestSupport::CRecordedRequest r = srv.WaitRequest(0);
//   EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.Body().size()));
//
// Every connection is served on a thread of its own, one request per connection: each answer
// carries "Connection: close" (unless the script names a Connection header itself), and a
// client that keeps an old response (and so its connection) open never blocks the next request.
// When the script queue is empty, the default answer is used (200 OK, empty body, unless changed
// with SetDefault). The destructor stops every thread: delays and stalls end early then, so a
// test never hangs on the server.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "recorded_request.h"
#include "temp_files.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TestSupport {

// How the server answers one request.
struct CAnswer {
    std::string sStatusLine = "HTTP/1.1 200 OK";               // without CRLF
    std::vector<std::pair<std::string, std::string>> headers;  // sent in order, repeats allowed
    std::string sBody;                                         // any bytes
    bool bChunked = false;                                     // "Transfer-Encoding: chunked" instead of Content-Length
    size_t cbChunk = 7;                                        // chunk size when chunked
    bool bNoLength = false;                                    // neither Content-Length nor chunked: body ends at close
    DWORD dwDelayMs = 0;                                       // wait after the request is read, before answering
    long nStallAfterBody = -1;  // stop reading for dwStallMs after this many request body bytes
    DWORD dwStallMs = 0;
    long nCloseAfterBody = -1;     // reset the connection after this many request body bytes; no answer.
                                   // The request is recorded once the reset has gone out.
    long nSendBodyBytes = -1;      // send only this many bytes of sBody, then close
    bool bStallAfterHead = false;  // send the answer's head, then nothing until the server stops
    bool bEndless = false;         // with bChunked: repeat sBody as chunks until the client goes away

    CAnswer& AddHeader(const std::string& sName, const std::string& sValue) {
        headers.emplace_back(sName, sValue);
        return *this;
    }
};

class CTestServer {
public:
    // Listens on nPort, or on a free port when 0; throws std::runtime_error when it cannot listen.
    explicit CTestServer(USHORT nPort = 0);
    ~CTestServer();
    CTestServer(const CTestServer&) = delete;
    CTestServer& operator=(const CTestServer&) = delete;

    USHORT Port() const { return m_nPort; }
    std::string Host() const;                               // "127.0.0.1"
    std::string Url(const std::string& sPath = "/") const;  // "http://127.0.0.1:<port><path>"

    void Script(const CAnswer& answer);  // queue an answer for the next request
    void SetDefault(const CAnswer& answer);

    size_t RequestCount() const;
    std::vector<CRecordedRequest> Requests() const;
    // Waits until request nIdx has been recorded (complete or cut); throws when it has not come in
    // dwTimeoutMs, a limit that only a broken client reaches.
    CRecordedRequest WaitRequest(size_t nIdx, DWORD dwTimeoutMs = 60000) const;
    void ClearRequests();

    // A loopback port on which nothing listens: connecting to it is refused. The port stays
    // reserved for the rest of the process.
    static USHORT UnusedPort();

private:
    void _Run();
    void _Serve(SOCKET s);
    bool _Wait(DWORD dwMs) const;                      // false when stopping
    int _Recv(SOCKET s, char* pBuf, int cbBuf) const;  // >0 bytes, 0 closed, <0 error/stop
    bool _Send(SOCKET s, const std::string& sData) const;
    void _Record(CRecordedRequest&& req);

    SOCKET m_sListen = INVALID_SOCKET;
    USHORT m_nPort = 0;
    HANDLE m_hStop = nullptr;
    std::thread m_thread;
    std::vector<std::thread> m_workers;  // touched by the accept thread only
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::deque<CAnswer> m_script;
    CAnswer m_default;
    std::vector<CRecordedRequest> m_requests;
};

}  // namespace TestSupport
