// One HTTP request as a test server received it, read back by its parts.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

// The bytes of one request exactly as received, with any bytes that trailed its declared body.
struct CRecordedRequest {
    std::string sRaw;
    bool bComplete = false;  // the whole declared body arrived
    size_t cbExtra = 0;      // the old server's count of bytes past the body (the scenario server keeps them in sRaw)

    std::string RequestLine() const;                                      // without CRLF
    std::string HeaderBlock() const;                                      // header lines, each ending in CRLF
    std::vector<std::string> HeaderLines() const;                         // without CRLF
    size_t HeaderCount(const std::string& sName) const;                   // case-insensitive name
    std::string Header(const std::string& sName, size_t nIdx = 0) const;  // value trimmed; "" if absent
    bool HasHeader(const std::string& sName) const { return HeaderCount(sName) != 0; }
    std::string Body() const;      // bytes after the blank line
    std::string Boundary() const;  // boundary= of Content-Type, "" if none
};

// Replaces every occurrence of sFrom in sText (e.g. a random multipart boundary).
std::string ReplaceAll(std::string sText, const std::string& sFrom, const std::string& sTo);

}  // namespace TestSupport
