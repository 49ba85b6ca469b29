// The report sending worker, started by the crash report dialog for one send.
#pragma once
#include <windows.h>

// Thread routine for _beginthreadex; pDialog is the CCrashReportDlg. Takes copies of the crash
// file path, the version and the dialog's window handle, tells the dialog (WorkerDetached) and
// never touches the dialog again. Keeps the report in the store, sends it, settles the store's
// entry by the outcome, and ends by posting WM_REPORT_SENT to the window. Returns 0.
unsigned __stdcall ReportSendWorker(void* pDialog);

// Returns once the report of a send started in this process is in the store (or could not be
// kept): the user may close the dialog at once, but the process must not end before that.
void WaitUntilKept();

// TRUE once a worker of this process got the report through (a 2xx answer).
BOOL ReportDelivered();
