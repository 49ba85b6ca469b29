// CWinApp: the one application object, and the program's entry point that drives it.
#pragma once
#include "afxcmdtarget.h"
#include "afxstr.h"

class CWnd;

#define ID_HELP 0xE146

class CWinApp : public CCmdTarget {
public:
    // Without a name the application takes its program file's base name.
    explicit CWinApp(LPCSTR pszAppName = nullptr);
    ~CWinApp() override;

    // FALSE ends the application without entering the message loop.
    virtual BOOL InitInstance();
    // The message loop; the exit code.
    virtual int Run();
    virtual int ExitInstance();

    // Controls have had the three-dimensional look by themselves since Windows 95.
    BOOL Enable3dControlsStatic() { return TRUE; }

    CWnd* m_pMainWnd = nullptr;
    CString m_strAppName;
    HINSTANCE m_hInstance = nullptr;

    void OnHelp();

    DECLARE_MESSAGE_MAP()

private:
    friend int _AfxWinMain(HINSTANCE hInstance);
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp();
// Called inside a catch (...) where nothing may unwind further (a Win32 callback, the entry
// point): writes the exception's text to the debugger output, so the failure is not lost.
void AfxTraceCaughtException() noexcept;
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// The program hosts no control objects beyond the system's own controls; kept so start-up reads
// like any framework application's.
void AfxEnableControlContainer();

// A string table entry as UTF-16 (empty when missing), for texts that must not pass through the
// ANSI code page.
std::wstring AfxLoadStringW(UINT nID);
