// Helpers shared by the wire tests: driving a context step by step, finding and comparing requests.
#pragma once

#include "catch_error.h"
#include "client.h"
#include "scenario.h"
#include "temp_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace ClientTest {

using namespace Tavon;

struct CRun {
    std::vector<DWORD> steps;  // body bytes written by each step but the finishing one
    std::unique_ptr<CHttpResponseA> response;
};

// Steps until the response comes back; a runaway context fails the test instead of hanging it.
inline CRun Drive(CHttpClientA& client, DWORD nDesired, size_t nMaxSteps = 100000) {
    CRun run;
    for (size_t i = 0; i < nMaxSteps; ++i) {
        CHttpPostStatA before;
        client.GetPostStat(before);
        const DWORD nBefore = before.IsActive() ? before.ActualPostedByte() : 0;
        if (CHttpResponseA* pResponse = client.ProceedStep(nDesired)) {
            run.response.reset(pResponse);
            return run;
        }
        CHttpPostStatA after;
        client.GetPostStat(after);
        run.steps.push_back(after.ActualPostedByte() - nBefore);
    }
    ADD_FAILURE() << "no response after " << nMaxSteps << " steps";
    return run;
}

// For a server that resets the connection after cbCut body bytes: steps until that many are out,
// then waits until the server has reset it. Otherwise a slow server would leave the client time
// to put the whole body into the socket buffers, and the reset would surface only in the response.
inline void StepToTheCut(CHttpClientA& client, const TestSupport::CScenario& srv, DWORD nDesired, DWORD cbCut) {
    for (CHttpPostStatA stat; client.GetPostStat(stat), stat.ActualPostedByte() < cbCut;)
        ASSERT_EQ(client.ProceedStep(nDesired), nullptr);
    srv.Request(0);
}

// Requests are recorded as they end, a cut one possibly late, so tests find theirs by its line.
inline TestSupport::CRecordedRequest WaitFor(const TestSupport::CScenario& srv, const std::string& sRequestLine) {
    for (size_t i = 0;; ++i) {
        TestSupport::CRecordedRequest req = srv.Request(i);
        if (req.RequestLine() == sRequestLine)
            return req;
    }
}

// Binary bodies: where two byte strings part, rather than both dumped whole.
inline void ExpectSameBytes(const std::string& sGot, const std::string& sWant) {
    const auto diff = std::mismatch(sGot.begin(), sGot.end(), sWant.begin(), sWant.end());
    EXPECT_TRUE(diff.first == sGot.end() && diff.second == sWant.end())
        << "bytes differ at " << (diff.first - sGot.begin()) << " of " << sGot.size() << " / " << sWant.size()
        << "; received from there: " << ::testing::PrintToString(sGot.substr(diff.first - sGot.begin(), 120))
        << "\nexpected: " << ::testing::PrintToString(sWant.substr(diff.second - sWant.begin(), 120));
}

// The whole request as the server saw it must be exactly what was declared, and nothing after it.
inline void ExpectExactBody(const TestSupport::CRecordedRequest& req, const std::string& sExpected) {
    EXPECT_TRUE(req.bComplete);
    EXPECT_EQ(req.Header("Content-Length"), std::to_string(sExpected.size()));
    ExpectSameBytes(req.Body(), sExpected);
}

// One POST through the tool layer alone, its handles in scoped holders.
struct CLoopbackRequest {
    CScopedInternetHandle hInternet, hConnection, hRequest;

    CLoopbackRequest(const TestSupport::CScenario& srv, const char* szObject) {
        hInternet.Reset(CHttpToolA::OpenInternet("QuillaTest", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        hConnection.Reset(
            CHttpToolA::OpenConnection(hInternet.Get(), srv.Host().c_str(), srv.Port(), nullptr, nullptr));
        hRequest.Reset(CHttpToolA::OpenRequest(hConnection.Get(), "POST", szObject,
                                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, nullptr));
    }
    // Declares the whole body, writes it in the given pieces (the rest in one) and ends the request.
    void Post(const std::string& sBody, std::vector<size_t> pieces = {}) {
        CHttpToolA::SendRequestEx(hRequest.Get(), static_cast<DWORD>(sBody.size()));
        size_t off = 0;
        pieces.push_back(sBody.size());
        for (size_t cb : pieces) {
            cb = std::min(cb, sBody.size() - off);
            if (cb)
                CHttpToolA::InternetWriteFile(hRequest.Get(), reinterpret_cast<const BYTE*>(sBody.data()) + off,
                                              static_cast<DWORD>(cb));
            off += cb;
        }
        CHttpToolA::EndRequest(hRequest.Get());
    }
};

}  // namespace ClientTest
