// The library's one exception family, its numbered error codes and the throw routines.
#pragma once

#include <windows.h>

#include <exception>
#include <new>

namespace Tavon {

// Error codes; the stock texts live in errors.cpp.
enum : DWORD {
    HTTPCLIENT_ERR_NOT_SPECIFIED = 0,
    HTTPCLIENT_ERR_UNEXPECTED = 100,
    HTTPCLIENT_ERR_OUT_OF_RANGE = 101,
    HTTPCLIENT_ERR_OUT_OF_MEMORY = 102,
    HTTPCLIENT_ERR_INVALID_URL = 103,
    HTTPCLIENT_ERR_POST_NOT_STARTED = 104,
    HTTPCLIENT_ERR_UNEXPECTED_FILE_SIZE = 105,
    HTTPCLIENT_ERR_POST_NOT_FINISHED = 106,
    HTTPCLIENT_ERR_INVALID_PORT = 107,
    HTTPCLIENT_ERR_STD_EXCEPTION = 108,
    HTTPCLIENT_ERR_INVALID_ENCODED_URL = 109,
    HTTPCLIENT_ERR_INVALID_UTF8_CHAR = 110,
    HTTPCLIENT_ERR_ARITHMETIC = 111,
    HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW = 112,
    HTTPCLIENT_ERR_DIVIDE_BY_ZERO = 113,
    HTTPCLIENT_ERR_FILE_EXISTS = 114,
    HTTPCLIENT_ERR_EMPTY_200 = 200,
    HTTPCLIENT_ERR_HTTPQUERYINFO = 400,
    HTTPCLIENT_ERR_INTERNETREADFILE = 401,
    HTTPCLIENT_ERR_INTERNETOPEN = 402,
    HTTPCLIENT_ERR_INTERNETCONNECT = 403,
    HTTPCLIENT_ERR_HTTPOPENREQUEST = 404,
    HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS = 405,
    HTTPCLIENT_ERR_HTTPSENDREQUEST = 406,
    HTTPCLIENT_ERR_HTTPSENDREQUESTEX = 407,
    HTTPCLIENT_ERR_INTERNETWRITEFILE = 408,
    HTTPCLIENT_ERR_HTTPENDREQUEST = 409,
    HTTPCLIENT_ERR_INTERNETSETOPTION = 410,
    HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE = 600,
    HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR = 601,
    HTTPCLIENT_ERR_READFILE = 602,
    HTTPCLIENT_ERR_OPENFILE = 603,
    HTTPCLIENT_ERR_SETFILEPOINTER = 604,
    HTTPCLIENT_ERR_GETFILESIZE = 605,
    HTTPCLIENT_ERR_WRITEFILE = 606,
    HTTPCLIENT_ERR_USER_DEFINED = 1000,
};

// Failure kinds of checked arithmetic (the platform's own status values).
enum : long {
    HTTPCLIENT_SAFEINT_OVERFLOW = 534,                      // ERROR_ARITHMETIC_OVERFLOW
    HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO = (long)0xC0000094L,  // STATUS_INTEGER_DIVIDE_BY_ZERO
};

class errmsg_exceptionA : public std::exception {
public:
    explicit errmsg_exceptionA(LPCSTR szErrMsg = nullptr);
    errmsg_exceptionA(const errmsg_exceptionA& other);
    errmsg_exceptionA& operator=(const errmsg_exceptionA& other);
    virtual ~errmsg_exceptionA() noexcept;

    const char* what() const noexcept override;
    virtual LPCSTR GetErrorMessage() const noexcept;
    virtual void SetErrorMessage(LPCSTR szErrMsg) noexcept;

private:
    LPSTR m_szErrMsg = nullptr;
};

class httpclientexceptionA : public errmsg_exceptionA {
public:
    explicit httpclientexceptionA(LPCSTR szErrMsg = nullptr,
                                  DWORD dwErrorCode = HTTPCLIENT_ERR_NOT_SPECIFIED,
                                  DWORD dwLastError = 0);
    httpclientexceptionA(const httpclientexceptionA&) = default;
    httpclientexceptionA& operator=(const httpclientexceptionA&) = default;
    virtual ~httpclientexceptionA() noexcept;

    DWORD GetErrorCode() const noexcept { return m_dwErrorCode; }
    DWORD GetWin32LastError() const noexcept { return m_dwLastError; }

private:
    DWORD m_dwErrorCode;
    DWORD m_dwLastError;
};

class errmsg_exceptionW : public std::exception {
public:
    explicit errmsg_exceptionW(LPCWSTR szErrMsg = nullptr);
    errmsg_exceptionW(const errmsg_exceptionW& other);
    errmsg_exceptionW& operator=(const errmsg_exceptionW& other);
    virtual ~errmsg_exceptionW() noexcept;

    const char* what() const noexcept override;
    virtual LPCWSTR GetErrorMessage() const noexcept;
    virtual void SetErrorMessage(LPCWSTR szErrMsg) noexcept;

private:
    LPWSTR m_szErrMsg = nullptr;
};

class httpclientexceptionW : public errmsg_exceptionW {
public:
    explicit httpclientexceptionW(LPCWSTR szErrMsg = nullptr,
                                  DWORD dwErrorCode = HTTPCLIENT_ERR_NOT_SPECIFIED,
                                  DWORD dwLastError = 0);
    httpclientexceptionW(const httpclientexceptionW&) = default;
    httpclientexceptionW& operator=(const httpclientexceptionW&) = default;
    virtual ~httpclientexceptionW() noexcept;

    const char* what() const noexcept override;
    DWORD GetErrorCode() const noexcept { return m_dwErrorCode; }
    DWORD GetWin32LastError() const noexcept { return m_dwLastError; }

private:
    DWORD m_dwErrorCode;
    DWORD m_dwLastError;
};

// Raised by checked arithmetic; turned into 111 - 113 at the library's boundaries.
class SafeIntException {
public:
    explicit SafeIntException(long code = HTTPCLIENT_SAFEINT_OVERFLOW) : m_code(code) {}
    long m_code;
};

LPCSTR GetStockMessage(DWORD dwErrorCode) noexcept;
LPCWSTR GetStockMessageW(DWORD dwErrorCode) noexcept;

[[noreturn]] void ThrowError(DWORD dwErrorCode);
[[noreturn]] void ThrowErrorMsg(LPCSTR szErrMsg, DWORD dwErrorCode);
[[noreturn]] void ThrowErrorFmt(DWORD dwErrorCode, DWORD dwLastError, LPCSTR szStrArg = nullptr);
[[noreturn]] void ThrowErrorW(DWORD dwErrorCode);
[[noreturn]] void ThrowErrorMsgW(LPCWSTR szErrMsg, DWORD dwErrorCode);
[[noreturn]] void ThrowErrorFmtW(DWORD dwErrorCode, DWORD dwLastError, LPCWSTR szStrArg = nullptr);
[[noreturn]] void ThrowSafeIntError(const SafeIntException& e);

// Checked 32-bit length arithmetic: a wrapped length would corrupt a declared Content-Length.
inline DWORD SafeAdd(DWORD a, DWORD b) {
    DWORD r;
    if (__builtin_add_overflow(a, b, &r))
        throw SafeIntException(HTTPCLIENT_SAFEINT_OVERFLOW);
    return r;
}

// Carry an exception across the two character widths; code and last error always survive.
// Defined with the code-page conversions (tool.cpp).
[[noreturn]] void ThrowWideAsAnsi(const httpclientexceptionW& e);
[[noreturn]] void ThrowAnsiAsWide(LPCSTR szErrMsg, DWORD dwErrorCode, DWORD dwLastError);

// What a narrow operation's boundary converts besides the two it always converts: a wide library
// exception (to the narrow one with the same code, last error and text) and a checked-arithmetic
// failure (111 - 113). The library's narrow exception always passes unchanged.
enum : unsigned {
    HTTPCLIENT_CONVERT_STD = 0x1,        // a standard exception: 108 with its own what() text
    HTTPCLIENT_CONVERT_ANY = 0x2,        // anything else: 100
    HTTPCLIENT_CONVERT_BAD_ALLOC = 0x4,  // std::bad_alloc as 102 rather than as a standard exception
    HTTPCLIENT_CONVERT_ALL = HTTPCLIENT_CONVERT_STD | HTTPCLIENT_CONVERT_ANY,
};

template <unsigned uConvert = 0, class F>
decltype(auto) GuardBoundary(F&& f) {
    try {
        return f();
    } catch (const httpclientexceptionA&) {
        throw;
    } catch (const httpclientexceptionW& e) {
        ThrowWideAsAnsi(e);
    } catch (const SafeIntException& e) {
        ThrowSafeIntError(e);
    } catch (const std::bad_alloc& e) {
        if constexpr ((uConvert & HTTPCLIENT_CONVERT_BAD_ALLOC) != 0)
            ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
        else if constexpr ((uConvert & HTTPCLIENT_CONVERT_STD) != 0)
            ThrowErrorMsg(e.what(), HTTPCLIENT_ERR_STD_EXCEPTION);
        else
            throw;
    } catch (const std::exception& e) {
        if constexpr ((uConvert & HTTPCLIENT_CONVERT_STD) != 0)
            ThrowErrorMsg(e.what(), HTTPCLIENT_ERR_STD_EXCEPTION);
        else
            throw;
    } catch (...) {
        if constexpr ((uConvert & HTTPCLIENT_CONVERT_ANY) != 0)
            ThrowError(HTTPCLIENT_ERR_UNEXPECTED);
        else
            throw;
    }
}

}  // namespace Tavon
