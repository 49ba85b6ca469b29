// The application object: recognises the crash hand-off and runs the crash report dialog.
#pragma once
#include <afxwin.h>

#include "CrashInfo.h"

class CCrashReportApp : public CWinApp {
public:
    CCrashReportApp();

    BOOL InitInstance() override;

    CrashInfo m_crashInfo;

    DECLARE_MESSAGE_MAP()
};
