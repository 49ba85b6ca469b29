// Builds crash hand-off command lines the way the crashed product does.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The path the system reports for the program at szPath (GetModuleFileNameA's spelling).
std::string CanonicalProgramPath(const std::string& strPath);

// "\"<path>\" " followed by "key:value\r\n" + filler for each entry (the filler after the last
// entry included). Keys and values go in unchanged, so tests can craft malformed entries.
std::string BuildHandOff(const std::string& strProgramPath,
                         const std::vector<std::pair<std::string, std::string>>& entries,
                         char chFiller = '\t');
