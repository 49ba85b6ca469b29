// The platform's error codes as a support team reads them, in the debugger output and in the
// record of a kept report.
#pragma once
#include <windows.h>

#include <string>

// "last error 12029, \"The attempt to connect to the server failed.\"": the code with its text
// from WinInet's or the system's messages, or from a table of our own for the few WinInet codes
// users meet that the platform may carry no text for.
std::string LastErrorText(DWORD dwError);
