// The report sending worker, started by the crash report dialog for one send.
#pragma once
#include <windows.h>

// Thread routine for _beginthreadex; pDialog is the CCrashReportDlg. Takes copies of the crash
// file path, the version and the dialog's window handle, tells the dialog (WorkerDetached) and
// never touches the dialog again; ends by posting WM_REPORT_SENT to the window. Returns 0.
unsigned __stdcall ReportSendWorker(void* pDialog);

// TRUE when the system reports a modem, LAN or proxy connection and is not offline.
BOOL IsInternetConnected();

// After the dialog has closed: a send still under way is cut off when the process ends, so its
// report is kept for a later send (unless its worker is already settling it: then waits for that).
void SettleUnfinishedSend(LPCSTR szCrashFile, LPCSTR szVersion);

// TRUE once a worker of this process got the report through (a 2xx answer).
BOOL ReportDelivered();

// Starts "<szModulePath> --send-pending" detached when reports are pending; returns at once.
void StartPendingFlush(LPCSTR szModulePath);

// The flush mode: sends the pending reports oldest first, until the first that does not get
// through; a few minutes at most. Only one process at a time does it.
void SendPendingReports();
