// The flush: a process of its own ("crashreport.exe --send-pending") that sends the kept reports
// oldest first, started by the reporter after a delivered send and by the product at its start-up.
#pragma once
#include <windows.h>

// Starts "<szModulePath> --send-pending" detached when reports are pending; returns at once.
void StartPendingFlush(LPCSTR szModulePath);

// The flush mode: one report at a time, each taken from the store when its turn comes, until one
// does not get through or is answered for good; no new send after the time limit, but a send
// under way runs to its end (the client's time-outs end a stalled one). One flush at a time.
void SendPendingReports();
