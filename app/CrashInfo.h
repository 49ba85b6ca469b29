// The crash details handed over by the crashed product.
#pragma once
#include <afxstr.h>

struct CrashInfo {
    CString m_strCrashFile;  // uploaded as the form field "file"
    CString m_strModule;     // the crashed product's program file, opened to restart it
    CString m_strExcept;     // crash type
    CString m_strCode;       // crash description
    CString m_strAddr;       // crash address
    CString m_strVersion;    // product version, sent in the report URL's query
    CString m_strLngFile;    // the product's language file; non-empty selects the English titles
};
