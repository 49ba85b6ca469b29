// The report sending worker, started by the crash report dialog for one send.
#pragma once
#include <windows.h>

// Thread routine for _beginthreadex; pDialog is the CCrashReportDlg. Takes copies of the crash
// file path, the version and the dialog's window handle, tells the dialog (WorkerDetached) and
// never touches the dialog again; ends by posting WM_REPORT_SENT to the window. Returns 0.
unsigned __stdcall ReportSendWorker(void* pDialog);

// TRUE when the system reports a modem, LAN or proxy connection and is not offline.
BOOL IsInternetConnected();
