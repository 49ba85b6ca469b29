#include "temp_files.h"

#include <winioctl.h>

#include <atomic>
#include <stdexcept>

namespace TestSupport {

std::string TempPath(const std::string& sSuffix) {
    static std::atomic<unsigned> s_counter{0};
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, dir);
    if (n == 0 || n >= MAX_PATH)
        throw std::runtime_error("GetTempPath failed");
    return std::string(dir) + "qtest_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount()) +
           "_" + std::to_string(++s_counter) + sSuffix;
}

bool WriteBytes(const std::string& sPath, const std::string& sBytes) {
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cb = 0;
    BOOL ok = sBytes.empty() || WriteFile(h, sBytes.data(), static_cast<DWORD>(sBytes.size()), &cb, nullptr);
    CloseHandle(h);
    return ok && cb == sBytes.size();
}

std::string BinaryBytes(size_t cb) {
    std::string str(cb, '\0');
    unsigned n = 12345;
    for (size_t i = 0; i < cb; ++i) {
        n = n * 1103515245u + 12345u;
        str[i] = static_cast<char>(i < 256 ? i : (n >> 16) & 0xFF);
    }
    return str;
}

std::string ReadBytes(const std::string& sPath) {
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + sPath);
    std::string out;
    char buf[65536];
    DWORD cb;
    while (ReadFile(h, buf, sizeof buf, &cb, nullptr) && cb)
        out.append(buf, cb);
    CloseHandle(h);
    return out;
}

bool MakeSparseFile(const std::string& sPath, ULONGLONG cbSize) {
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cbRet = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &cbRet, nullptr);  // best effort
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(cbSize);
    BOOL ok = SetFilePointerEx(h, li, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    LARGE_INTEGER got = {};
    ok = ok && GetFileSizeEx(h, &got) && static_cast<ULONGLONG>(got.QuadPart) == cbSize;
    CloseHandle(h);
    if (!ok)
        DeleteFileA(sPath.c_str());
    return ok;
}

bool RemoveFile(const std::string& sPath) {
    return DeleteFileA(sPath.c_str()) || GetFileAttributesA(sPath.c_str()) == INVALID_FILE_ATTRIBUTES;
}

CTempFile::CTempFile(const std::string& sBytes, const std::string& sSuffix) : m_sPath(TempPath(sSuffix)) {
    if (!WriteBytes(m_sPath, sBytes))
        throw std::runtime_error("cannot write " + m_sPath);
}

CTempFile::~CTempFile() {
    RemoveFile(m_sPath);
}

}  // namespace TestSupport
