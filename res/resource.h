// Resource ids shared by the resource script and the code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_CRASHREPORT 102
#define IDS_SENDING_CN 103
#define IDS_SENDING_EN 104
#define IDS_SENT_CN 105
#define IDS_SENT_EN 106
#define IDR_MAINFRAME 128
#define IDB_CRASH 130

#define IDC_SEND 1000
#define IDC_CANCEL_REPORT 1001
#define IDC_CRASH_EXCEPT 1002
#define IDC_CRASH_ADDR 1003
#define IDC_CRASH_CODE 1004
#define IDC_RESTART 1005
#define IDC_MESSAGE 1006
#define IDC_LABEL_EXCEPT 1007
#define IDC_LABEL_ADDR 1008
#define IDC_LABEL_CODE 1009
#define IDC_RESTART_LABEL 1010

#define IDM_ABOUTBOX 0x0010
