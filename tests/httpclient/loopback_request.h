// Drives one POST through the tool layer against the loopback test server.
#pragma once

#include "catch_error.h"
#include "scenario.h"
#include "tool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace TestSupport {

struct CLoopbackRequest {
    Tavon::CScopedInternetHandle hInternet, hConnection, hRequest;

    CLoopbackRequest(const CScenario& srv, const char* szObject) {
        using Tavon::CHttpToolA;
        hInternet.Reset(CHttpToolA::OpenInternet("QuillaTest", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        hConnection.Reset(
            CHttpToolA::OpenConnection(hInternet.Get(), srv.Host().c_str(), srv.Port(), nullptr, nullptr));
        hRequest.Reset(CHttpToolA::OpenRequest(hConnection.Get(), "POST", szObject,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, nullptr));
    }

    // Declares the whole body, writes it in the given pieces and ends the request.
    void Post(const std::string& sBody, const std::vector<size_t>& pieces = {}) {
        using Tavon::CHttpToolA;
        CHttpToolA::SendRequestEx(hRequest.Get(), static_cast<DWORD>(sBody.size()));
        size_t off = 0;
        for (size_t cb : pieces) {
            CHttpToolA::InternetWriteFile(hRequest.Get(), reinterpret_cast<const BYTE*>(sBody.data()) + off,
                                          static_cast<DWORD>(cb));
            off += cb;
        }
        if (off < sBody.size())
            CHttpToolA::InternetWriteFile(hRequest.Get(), reinterpret_cast<const BYTE*>(sBody.data()) + off,
                                          static_cast<DWORD>(sBody.size() - off));
        CHttpToolA::EndRequest(hRequest.Get());
    }
};

}  // namespace TestSupport
