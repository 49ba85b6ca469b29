// Where the steps of a body plan put their bytes: the client's request, or a recorder in tests.
#pragma once

#include <windows.h>

namespace Tavon {

class CBodySinkA {
public:
    // Each call is one platform write; bIsValue counts the bytes as parameter value bytes too.
    virtual void Write(const char* pbyBuff, DWORD cbyBuff, BOOL bIsValue) = 0;
    // A parameter's value comes next; szPath is null unless it is a file.
    virtual void BeginPart(const char* szName, DWORD nSize, BOOL bIsFile, const char* szPath) = 0;

protected:
    ~CBodySinkA() = default;
};

}  // namespace Tavon
