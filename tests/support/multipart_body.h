// The multipart/form-data body that an upload of these parts must send, byte for byte.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

struct CPart {
    CPart(std::string n, std::string v, std::string p = "", std::string m = "")
        : sName(std::move(n)), sValue(std::move(v)), sPath(std::move(p)), sMime(std::move(m)) {}
    std::string sName, sValue, sPath, sMime;  // sPath set: a file part, sValue its bytes
};

inline std::string Multipart(const std::string& B, const std::vector<CPart>& parts) {
    if (parts.empty())
        return "\r\n--" + B + "--\r\n";
    std::string s;
    for (const CPart& p : parts) {
        s += "--" + B + "\r\nContent-Disposition: form-data; name=\"" + p.sName;
        if (!p.sPath.empty())
            s += "\"; filename=\"" + p.sPath + "\"\r\nContent-Type: " + p.sMime + "\r\n\r\n";
        else
            s += "\"\r\n\r\n";
        s += p.sValue + "\r\n";
    }
    return s + "--" + B + "--\r\n";
}

}  // namespace TestSupport
