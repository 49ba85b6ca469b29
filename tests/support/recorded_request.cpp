#include "recorded_request.h"

#include <windows.h>

namespace TestSupport {

namespace {

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

bool IsNamed(const std::string& sLine, const std::string& sName) {
    const size_t c = sLine.find(':');
    return c != std::string::npos && lstrcmpiA(Trim(sLine.substr(0, c)).c_str(), sName.c_str()) == 0;
}

}  // namespace

std::string CRecordedRequest::RequestLine() const {
    return sRaw.substr(0, sRaw.find("\r\n"));
}

std::string CRecordedRequest::HeaderBlock() const {
    const size_t b = sRaw.find("\r\n"), e = sRaw.find("\r\n\r\n");
    return b == std::string::npos || e == std::string::npos ? "" : sRaw.substr(b + 2, e - b);
}

std::vector<std::string> CRecordedRequest::HeaderLines() const {
    std::vector<std::string> lines;
    const std::string block = HeaderBlock();
    for (size_t p = 0, e; (e = block.find("\r\n", p)) != std::string::npos; p = e + 2)
        lines.push_back(block.substr(p, e - p));
    return lines;
}

std::string CRecordedRequest::Header(const std::string& sName, size_t nIdx) const {
    for (const std::string& line : HeaderLines())
        if (IsNamed(line, sName) && nIdx-- == 0)
            return Trim(line.substr(line.find(':') + 1));
    return "";
}

size_t CRecordedRequest::HeaderCount(const std::string& sName) const {
    size_t n = 0;
    for (const std::string& line : HeaderLines())
        n += IsNamed(line, sName) ? 1 : 0;
    return n;
}

std::string CRecordedRequest::Body() const {
    const size_t e = sRaw.find("\r\n\r\n");
    return e == std::string::npos ? "" : sRaw.substr(e + 4);
}

std::string CRecordedRequest::Boundary() const {
    const std::string sType = Header("Content-Type");
    const size_t p = sType.find("boundary=");
    return p == std::string::npos ? "" : Trim(sType.substr(p + 9, sType.find(';', p) - p - 9));
}

std::string ReplaceAll(std::string sText, const std::string& sFrom, const std::string& sTo) {
    for (size_t p = sFrom.empty() ? std::string::npos : sText.find(sFrom); p != std::string::npos;
         p = sText.find(sFrom, p + sTo.size()))
        sText.replace(p, sFrom.size(), sTo);
    return sText;
}

}  // namespace TestSupport
