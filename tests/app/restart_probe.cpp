// Stands in for the crashed product: creates "<own path>.started", so that a test can tell
// whether the reporter restarted the product.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char szPath[MAX_PATH + 16] = "";
    lstrcpyA(szPath + ::GetModuleFileNameA(nullptr, szPath, MAX_PATH), ".started");
    HANDLE hFile = ::CreateFileA(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    return hFile != INVALID_HANDLE_VALUE && ::CloseHandle(hFile) ? 0 : 1;
}
