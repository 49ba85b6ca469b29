// Stands in for the crashed product in the tests: records each start by appending a line to
// "<own path>.started", so a test can tell whether the reporter restarted the product.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char szPath[MAX_PATH + 16] = "";
    DWORD cch = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    lstrcpyA(szPath + cch, ".started");
    HANDLE hFile = ::CreateFileA(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    DWORD cbWritten = 0;
    ::WriteFile(hFile, "started\r\n", 9, &cbWritten, nullptr);
    ::CloseHandle(hFile);
    return 0;
}
