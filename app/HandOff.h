// The crash hand-off on the command line: "\"<own path>\" " and then entries
// "key:value\r\n" each followed by one filler character.
#pragma once
#include "CrashInfo.h"

// Receives the diagnostics of the parse, each text unchanged.
typedef void(WINAPI* PFN_HANDOFF_TRACE)(LPCSTR pszText);

// Parses szCommandLine when it carries a hand-off for the program at szModulePath: writes the
// command line, the text after the prefix and every entry line to pfnTrace, and assigns the
// values of the known keys to rInfo (m_strLngFile first becomes "zh_cn.dll"). FALSE, with nothing
// traced and rInfo untouched, when the command line carries no hand-off.
BOOL ParseCrashHandOff(LPCSTR szCommandLine, LPCSTR szModulePath, CrashInfo& rInfo, PFN_HANDOFF_TRACE pfnTrace);

// The argument of the flush mode (see SendPendingReports).
inline constexpr char kSendPendingArg[] = "--send-pending";

// TRUE for a command line whose last argument is the flush mode's and that holds no line break
// (every hand-off entry ends in one): such a line is never taken for a hand-off.
BOOL IsSendPendingCommand(LPCSTR szCommandLine);
