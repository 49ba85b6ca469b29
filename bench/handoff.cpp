#include "handoff.h"

std::string CanonicalProgramPath(const std::string& strPath) {
    char szFull[MAX_PATH] = "";
    if (!::GetFullPathNameA(strPath.c_str(), MAX_PATH, szFull, nullptr))
        return strPath;
    char szLong[MAX_PATH] = "";
    if (!::GetLongPathNameA(szFull, szLong, MAX_PATH))
        return szFull;
    return szLong;
}

std::string BuildHandOff(const std::string& strProgramPath,
                         const std::vector<std::pair<std::string, std::string>>& entries,
                         char chFiller) {
    std::string str = "\"" + strProgramPath + "\" ";
    for (const auto& entry : entries)
        str += entry.first + ":" + entry.second + "\r\n" + chFiller;
    return str;
}
