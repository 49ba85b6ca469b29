// Message maps: static tables that bind a message (or a command id and notification code) to a
// handler of one of a few fixed signatures. Each class's table chains to its base class's table.
#pragma once
#include <windows.h>

class CCmdTarget;
class CDC;
class CWnd;

// Handler signatures: return type, then parameters.
enum AfxSig : UINT {
    AfxSig_end = 0,
    AfxSig_vv,    // void ()
    AfxSig_vwl,   // void (UINT, LPARAM)
    AfxSig_hv,    // HCURSOR ()
    AfxSig_lwl,   // LRESULT (WPARAM, LPARAM)
    AfxSig_hDWw,  // HBRUSH (CDC*, CWnd*, UINT)
};

// Pseudo message that stands for all WM_CTLCOLOR* messages of the individual control kinds.
#define WM_CTLCOLOR 0x0019

union AfxMsgFn {
    void (CCmdTarget::*pfn_vv)();
    void (CCmdTarget::*pfn_vwl)(UINT, LPARAM);
    HCURSOR (CCmdTarget::*pfn_hv)();
    LRESULT (CCmdTarget::*pfn_lwl)(WPARAM, LPARAM);
    HBRUSH (CCmdTarget::*pfn_hDWw)(CDC*, CWnd*, UINT);

    constexpr AfxMsgFn() : pfn_vv(nullptr) {}
    constexpr AfxMsgFn(void (CCmdTarget::*pfn)()) : pfn_vv(pfn) {}
    constexpr AfxMsgFn(void (CCmdTarget::*pfn)(UINT, LPARAM)) : pfn_vwl(pfn) {}
    constexpr AfxMsgFn(HCURSOR (CCmdTarget::*pfn)()) : pfn_hv(pfn) {}
    constexpr AfxMsgFn(LRESULT (CCmdTarget::*pfn)(WPARAM, LPARAM)) : pfn_lwl(pfn) {}
    constexpr AfxMsgFn(HBRUSH (CCmdTarget::*pfn)(CDC*, CWnd*, UINT)) : pfn_hDWw(pfn) {}
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // WM_COMMAND for command entries
    UINT nCode;     // notification code of a command entry
    UINT nID;       // control or command id of a command entry
    AfxSig nSig;
    AfxMsgFn fn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        [[maybe_unused]] typedef theClass ThisClass;    \
        typedef baseClass TheBaseClass;                 \
        static const AFX_MSGMAP_ENTRY s_entries[] = {
#define END_MESSAGE_MAP()                                                          \
    { 0, 0, 0, AfxSig_end, AfxMsgFn() }                                            \
    }                                                                              \
    ;                                                                              \
    static const AFX_MSGMAP s_map = {&TheBaseClass::GetThisMessageMap, s_entries}; \
    return &s_map;                                                                 \
    }

// The static_cast checks each handler's signature at compile time.
#define AFX_FN(sig, member) static_cast<sig>(&ThisClass::member)

#define ON_COMMAND(id, memberFxn) {WM_COMMAND, 0, UINT(id), AfxSig_vv, AFX_FN(void(CCmdTarget::*)(), memberFxn)},
#define ON_BN_CLICKED(id, memberFxn) \
    {WM_COMMAND, BN_CLICKED, UINT(id), AfxSig_vv, AFX_FN(void(CCmdTarget::*)(), memberFxn)},
#define ON_MESSAGE(message, memberFxn) \
    {UINT(message), 0, 0, AfxSig_lwl, AFX_FN(LRESULT(CCmdTarget::*)(WPARAM, LPARAM), memberFxn)},
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, AfxSig_vwl, AFX_FN(void(CCmdTarget::*)(UINT, LPARAM), OnSysCommand)},
#define ON_WM_PAINT() {WM_PAINT, 0, 0, AfxSig_vv, AFX_FN(void(CCmdTarget::*)(), OnPaint)},
#define ON_WM_QUERYDRAGICON() {WM_QUERYDRAGICON, 0, 0, AfxSig_hv, AFX_FN(HCURSOR(CCmdTarget::*)(), OnQueryDragIcon)},
#define ON_WM_CTLCOLOR() {WM_CTLCOLOR, 0, 0, AfxSig_hDWw, AFX_FN(HBRUSH(CCmdTarget::*)(CDC*, CWnd*, UINT), OnCtlColor)},
