#include "afxbitmap.h"

#include "afxapp.h"

BOOL CBitmap::LoadBitmap(UINT nIDResource) {
    DeleteObject();
    m_hBitmap = ::LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDResource));
    return m_hBitmap != nullptr;
}

BOOL CBitmap::DeleteObject() {
    if (!m_hBitmap)
        return FALSE;
    ::DeleteObject(m_hBitmap);
    m_hBitmap = nullptr;
    return TRUE;
}
