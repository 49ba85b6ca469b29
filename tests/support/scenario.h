// Tests under Wine talk to the scenario server (scenario.py) that their ctest entry started: its
// port comes in QUILLA_SCENARIO_PORT, and its control requests go over raw winsock, never WinInet.
//
//   TestSupport::CScenario srv;                       // the server, reset for this test
//   srv.Script(R"({"status": "503 Service Unavailable", "body": "busy"})");  // an answer or a list
//   ... drive WinInet at srv.Url("/upload.php") ...
//   TestSupport::CRecordedRequest r = srv.Request(0);  // waits until it is recorded
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "recorded_request.h"

#include <string>

namespace TestSupport {

class CScenario {
public:
    CScenario();  // port from QUILLA_SCENARIO_PORT; resets the server (queue, default, records)
    explicit CScenario(USHORT nPort) : m_nPort(nPort) {}

    USHORT Port() const { return m_nPort; }
    std::string Host() const { return "127.0.0.1"; }
    std::string Url(const std::string& sPath = "/") const;  // "http://127.0.0.1:<port><path>"

    void Script(const std::string& sJson) const;  // one answer {...} or a list [...], queued in order
    void Default(const std::string& sJson) const;
    CRecordedRequest Request(size_t nIdx) const;  // waits for it; throws if it does not come
    size_t Count() const;
    void Reset() const;

    // A loopback port on which nothing listens, reserved for the rest of the process.
    static USHORT UnusedPort();

private:
    std::string _Control(const std::string& sMethod,
                         const std::string& sPath,
                         const std::string& sBody,
                         std::string* pHead = nullptr) const;
    USHORT m_nPort;
};

// sBytes as a JSON string whose characters are the bytes (the server reads them back as latin-1).
std::string JsonString(const std::string& sBytes);

}  // namespace TestSupport
