// Helpers shared by the client's test programs: driving a context step by step, finding requests.
#pragma once

#include "catch_error.h"
#include "client.h"
#include "scenario.h"
#include "temp_files.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The whole request as the server saw it must be exactly what was declared.
inline void ExpectExactBody(const TestSupport::CRecordedRequest& req, const std::string& sExpected) {
    EXPECT_TRUE(req.bComplete);
    EXPECT_EQ(req.Header("Content-Length"), std::to_string(sExpected.size()));
    const std::string sBody = req.Body();
    // Binary bodies: report where they part rather than dumping them whole.
    const auto diff = std::mismatch(sBody.begin(), sBody.end(), sExpected.begin(), sExpected.end());
    EXPECT_TRUE(diff.first == sBody.end() && diff.second == sExpected.end())
        << "bodies differ at byte " << (diff.first - sBody.begin()) << " of " << sBody.size() << " / "
        << sExpected.size()
        << "; received from there: " << ::testing::PrintToString(sBody.substr(diff.first - sBody.begin(), 120));
}

}  // namespace ClientTest
