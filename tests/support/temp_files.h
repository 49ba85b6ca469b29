// Temp files for the tests.
#pragma once

#include <windows.h>

#include <string>

namespace TestSupport {

// Temp files. Paths are ANSI, under GetTempPathA.
std::string TempPath(const std::string& sSuffix = ".tmp");  // a fresh, unused name
bool WriteBytes(const std::string& sPath, const std::string& sBytes);
std::string ReadBytes(const std::string& sPath);
// Crash-file-like content: every byte value first, then bytes in no simple order (a crash file
// is binary, and a ramp would hide a shifted or repeated block).
std::string BinaryBytes(size_t cb);
// A file of cbSize bytes without writing them: marked sparse where the file system allows
// (Wine ignores FSCTL_SET_SPARSE on some setups, but its SetEndOfFile still leaves a hole on
// Linux file systems, so no disk space is used either way).
bool MakeSparseFile(const std::string& sPath, ULONGLONG cbSize);
bool RemoveFile(const std::string& sPath);  // true if gone afterwards

// Owns a temp file: created with the given bytes, deleted on destruction.
class CTempFile {
public:
    explicit CTempFile(const std::string& sBytes, const std::string& sSuffix = ".tmp");
    ~CTempFile();
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    const std::string& Path() const { return m_sPath; }
    const char* c_str() const { return m_sPath.c_str(); }

private:
    std::string m_sPath;
};

}  // namespace TestSupport
