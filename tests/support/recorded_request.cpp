#include "recorded_request.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <windows.h>

namespace TestSupport {

namespace {

bool IEquals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::string CRecordedRequest::RequestLine() const {
    size_t e = sRaw.find("\r\n");
    return sRaw.substr(0, e);
}

std::string CRecordedRequest::HeaderBlock() const {
    size_t b = sRaw.find("\r\n");
    size_t e = sRaw.find("\r\n\r\n");
    if (b == std::string::npos || e == std::string::npos || e < b)
        return "";
    return sRaw.substr(b + 2, e + 2 - (b + 2));
}

std::vector<std::string> CRecordedRequest::HeaderLines() const {
    std::vector<std::string> lines;
    std::string block = HeaderBlock();
    size_t p = 0;
    while (p < block.size()) {
        size_t e = block.find("\r\n", p);
        lines.push_back(block.substr(p, e - p));
        p = e + 2;
    }
    return lines;
}

size_t CRecordedRequest::HeaderCount(const std::string& sName) const {
    size_t n = 0;
    for (const std::string& line : HeaderLines()) {
        size_t c = line.find(':');
        if (c != std::string::npos && IEquals(Trim(line.substr(0, c)), sName))
            ++n;
    }
    return n;
}

std::string CRecordedRequest::Header(const std::string& sName, size_t nIdx) const {
    for (const std::string& line : HeaderLines()) {
        size_t c = line.find(':');
        if (c != std::string::npos && IEquals(Trim(line.substr(0, c)), sName) && nIdx-- == 0)
            return Trim(line.substr(c + 1));
    }
    return "";
}

std::string CRecordedRequest::Body() const {
    size_t e = sRaw.find("\r\n\r\n");
    return e == std::string::npos ? std::string() : sRaw.substr(e + 4);
}

std::string CRecordedRequest::Boundary() const {
    std::string ct = Header("Content-Type");
    std::string lower = ct;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return (char)tolower(c); });
    size_t p = lower.find("boundary=");
    if (p == std::string::npos)
        return "";
    std::string b = ct.substr(p + 9);
    size_t semi = b.find(';');
    b = Trim(b.substr(0, semi));
    if (b.size() >= 2 && b.front() == '"' && b.back() == '"')
        b = b.substr(1, b.size() - 2);
    return b;
}

std::string ReplaceAll(std::string sText, const std::string& sFrom, const std::string& sTo) {
    if (sFrom.empty())
        return sText;
    for (size_t p = sText.find(sFrom); p != std::string::npos; p = sText.find(sFrom, p + sTo.size()))
        sText.replace(p, sFrom.size(), sTo);
    return sText;
}

}  // namespace TestSupport
