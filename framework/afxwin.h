// The framework in one include.
#pragma once
#include "afxapp.h"
#include "afxbitmap.h"
#include "afxbutton.h"
#include "afxdc.h"
#include "afxddx.h"
#include "afxdlg.h"
#include "afximagelist.h"
#include "afxstr.h"
#include "afxwnd.h"
