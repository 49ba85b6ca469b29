// The send of one report: the crash file as the form field "file" of a multipart POST to the
// report URL, the version in its query; and what its end means for the report.
#pragma once
#include <windows.h>

#include <string>

// Delivered (2xx), answered for good (a 4xx other than 407, 408 and 429), or worth another
// attempt: no connection, any library error, a 3xx (a moved URL says nothing about the report),
// a proxy's 407, 408, 429, 5xx.
enum class ESendOutcome { Delivered, Final, Retry };

struct CSendResult {
    ESendOutcome outcome;
    std::string strLast;  // "503 Service Unavailable", or the library's error with the platform's
};

// TRUE when the system reports a modem, LAN or proxy connection and is not offline.
BOOL IsInternetConnected();

// Sends the file at szPath. With szFileName null the part header names szPath and a file that
// cannot be opened goes out as an empty part; otherwise the header names szFileName and the file
// must be there, whole. bDump writes the answer (or the library's error) to the debugger output.
CSendResult SendReport(LPCSTR szPath, LPCSTR szFileName, LPCSTR szVersion, BOOL bDump);
