#include "errors.h"

#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace Tavon {

namespace {

// Texts as the library has always shipped them, spelling included: callers match on them.
const char* const kG0A[] = {"Not specified"};
const char* const kG1A[] = {
    "Unexpected error occurred.",
    "The index is out of range.",
    "Out of memory.",
    "The requested URL is not a valid URL.",
    "The post context is not started yet.",
    "Couldn't read expected bytes from a file.",
    "The post context has not been finished yet.",
    "The port number is not valid.",
    "std::exception occurred.",
    "The encoded URL is not valid.",
    "The UTF8 string contains an invalid character.",
    "An unexpected arithmetic error has been occurred.",
    "An arithmetic overflow error has been occurred.",
    "An interger divide by zero exception has been occurred.",
    "The file (%s) aleady exists.",
};
const char* const kG2A[] = {""};
const char* const kG4A[] = {
    "::HttpQueryInfo failed.",   "::InternetReadFile failed.",  "::InternetOpen failed.",
    "::InternetConnect failed.", "::HttpOpenRequest failed.",   "::HttpAddRequestHeaders failed.",
    "::HttpSendRequest failed.", "::HttpSendRequestEx failed.", "::InternetWriteFile failed.",
    "::HttpEndRequest failed.",  "::InternetSetOption failed.",
};
const char* const kG6A[] = {
    "::WideCharToMultiByte failed.",
    "::MultiByteToWideChar failed.",
    "::ReadFile failed.",
    "OpenFile (::CreateFile) failed (\"%s\").",
    "::SetFilePointer failed.",
    "::GetFileSize failed (\"%s\").",
    "::WriteFile failed (\"%s\").",
};
const char kUserA[] = "user-defined error message";
// An index past the end of its group has no text of its own; such codes are never raised.
const char kUnknownA[] = "Not specified";

const wchar_t* const kG0W[] = {L"Not specified"};
const wchar_t* const kG1W[] = {
    L"Unexpected error occurred.",
    L"The index is out of range.",
    L"Out of memory.",
    L"The requested URL is not a valid URL.",
    L"The post context is not started yet.",
    L"Couldn't read expected bytes from a file.",
    L"The post context has not been finished yet.",
    L"The port number is not valid.",
    L"std::exception occurred.",
    L"The encoded URL is not valid.",
    L"The UTF8 string contains an invalid character.",
    L"An unexpected arithmetic error has been occurred.",
    L"An arithmetic overflow error has been occurred.",
    L"An interger divide by zero exception has been occurred.",
    L"The file (%s) aleady exists.",
};
const wchar_t* const kG2W[] = {L""};
const wchar_t* const kG4W[] = {
    L"::HttpQueryInfo failed.",   L"::InternetReadFile failed.",  L"::InternetOpen failed.",
    L"::InternetConnect failed.", L"::HttpOpenRequest failed.",   L"::HttpAddRequestHeaders failed.",
    L"::HttpSendRequest failed.", L"::HttpSendRequestEx failed.", L"::InternetWriteFile failed.",
    L"::HttpEndRequest failed.",  L"::InternetSetOption failed.",
};
const wchar_t* const kG6W[] = {
    L"::WideCharToMultiByte failed.",
    L"::MultiByteToWideChar failed.",
    L"::ReadFile failed.",
    L"OpenFile (::CreateFile) failed (\"%s\").",
    L"::SetFilePointer failed.",
    L"::GetFileSize failed (\"%s\").",
    L"::WriteFile failed (\"%s\").",
};
const wchar_t kUserW[] = L"user-defined error message";
const wchar_t kUnknownW[] = L"Not specified";

template <class Ch, size_t N>
const Ch* Entry(const Ch* const (&group)[N], DWORD code, const Ch* unknown) {
    const DWORD idx = code % 100;
    return idx < N ? group[idx] : unknown;
}

// Puts szArg in place of the template's one %s, cut to 511 characters. Only the stock
// templates reach here, so no other directive needs handling (and no printf dialect matters).
template <class Ch>
void FormatInto(Ch (&buf)[512], const Ch* tmpl, const Ch* arg) {
    size_t out = 0;
    const size_t cap = 511;
    bool substituted = false;
    for (const Ch* p = tmpl; *p && out < cap; ++p) {
        if (!substituted && p[0] == Ch('%') && p[1] == Ch('s')) {
            for (const Ch* a = arg; *a && out < cap; ++a)
                buf[out++] = *a;
            substituted = true;
            ++p;
            continue;
        }
        buf[out++] = *p;
    }
    buf[out] = Ch(0);
}

}  // namespace

// ---- narrow ----

errmsg_exceptionA::errmsg_exceptionA(LPCSTR szErrMsg) {
    if (szErrMsg)
        SetErrorMessage(szErrMsg);
}

errmsg_exceptionA::errmsg_exceptionA(const errmsg_exceptionA& other) : std::exception() {
    m_szErrMsg = HeapStrDupNoThrow<char>(other.m_szErrMsg);
}

errmsg_exceptionA& errmsg_exceptionA::operator=(const errmsg_exceptionA& other) {
    if (this != &other)
        SetErrorMessage(other.m_szErrMsg);
    return *this;
}

errmsg_exceptionA::~errmsg_exceptionA() noexcept {
    std::free(m_szErrMsg);
}

const char* errmsg_exceptionA::what() const noexcept {
    return GetErrorMessage();
}

LPCSTR errmsg_exceptionA::GetErrorMessage() const noexcept {
    return m_szErrMsg ? m_szErrMsg : "NULL";
}

void errmsg_exceptionA::SetErrorMessage(LPCSTR szErrMsg) noexcept {
    char* copy = HeapStrDupNoThrow<char>(szErrMsg);
    std::free(m_szErrMsg);
    m_szErrMsg = copy;
}

httpclientexceptionA::httpclientexceptionA(LPCSTR szErrMsg, DWORD dwErrorCode, DWORD dwLastError)
    : errmsg_exceptionA(szErrMsg), m_dwErrorCode(dwErrorCode), m_dwLastError(dwLastError) {}

httpclientexceptionA::~httpclientexceptionA() noexcept = default;

// ---- wide ----

errmsg_exceptionW::errmsg_exceptionW(LPCWSTR szErrMsg) {
    if (szErrMsg)
        SetErrorMessage(szErrMsg);
}

errmsg_exceptionW::errmsg_exceptionW(const errmsg_exceptionW& other) : std::exception() {
    m_szErrMsg = HeapStrDupNoThrow<wchar_t>(other.m_szErrMsg);
}

errmsg_exceptionW& errmsg_exceptionW::operator=(const errmsg_exceptionW& other) {
    if (this != &other)
        SetErrorMessage(other.m_szErrMsg);
    return *this;
}

errmsg_exceptionW::~errmsg_exceptionW() noexcept {
    std::free(m_szErrMsg);
}

const char* errmsg_exceptionW::what() const noexcept {
    return "errmsg_exceptionW";
}

LPCWSTR errmsg_exceptionW::GetErrorMessage() const noexcept {
    return m_szErrMsg ? m_szErrMsg : L"NULL";
}

void errmsg_exceptionW::SetErrorMessage(LPCWSTR szErrMsg) noexcept {
    wchar_t* copy = HeapStrDupNoThrow<wchar_t>(szErrMsg);
    std::free(m_szErrMsg);
    m_szErrMsg = copy;
}

httpclientexceptionW::httpclientexceptionW(LPCWSTR szErrMsg, DWORD dwErrorCode, DWORD dwLastError)
    : errmsg_exceptionW(szErrMsg), m_dwErrorCode(dwErrorCode), m_dwLastError(dwLastError) {}

httpclientexceptionW::~httpclientexceptionW() noexcept = default;

const char* httpclientexceptionW::what() const noexcept {
    return "httpclientexceptionW";
}

// ---- stock texts ----

LPCSTR GetStockMessage(DWORD code) noexcept {
    if (code >= 1000)
        return kUserA;
    if (code >= 600)
        return Entry(kG6A, code, kUnknownA);
    if (code >= 400)
        return Entry(kG4A, code, kUnknownA);
    if (code >= 200)
        return Entry(kG2A, code, kUnknownA);
    if (code >= 100)
        return Entry(kG1A, code, kUnknownA);
    return Entry(kG0A, code, kUnknownA);
}

LPCWSTR GetStockMessageW(DWORD code) noexcept {
    if (code >= 1000)
        return kUserW;
    if (code >= 600)
        return Entry(kG6W, code, kUnknownW);
    if (code >= 400)
        return Entry(kG4W, code, kUnknownW);
    if (code >= 200)
        return Entry(kG2W, code, kUnknownW);
    if (code >= 100)
        return Entry(kG1W, code, kUnknownW);
    return Entry(kG0W, code, kUnknownW);
}

// ---- throw routines ----

void ThrowError(DWORD code) {
    throw httpclientexceptionA(GetStockMessage(code), code, 0);
}

void ThrowErrorMsg(LPCSTR szErrMsg, DWORD code) {
    throw httpclientexceptionA(szErrMsg, code, 0);
}

void ThrowErrorFmt(DWORD code, DWORD dwLastError, LPCSTR szStrArg) {
    LPCSTR tmpl = GetStockMessage(code);
    if (!szStrArg)
        throw httpclientexceptionA(tmpl, code, dwLastError);
    char buf[512];
    FormatInto(buf, tmpl, szStrArg);
    throw httpclientexceptionA(buf, code, dwLastError);
}

void ThrowErrorW(DWORD code) {
    throw httpclientexceptionW(GetStockMessageW(code), code, 0);
}

void ThrowErrorMsgW(LPCWSTR szErrMsg, DWORD code) {
    throw httpclientexceptionW(szErrMsg, code, 0);
}

void ThrowErrorFmtW(DWORD code, DWORD dwLastError, LPCWSTR szStrArg) {
    LPCWSTR tmpl = GetStockMessageW(code);
    if (!szStrArg)
        throw httpclientexceptionW(tmpl, code, dwLastError);
    wchar_t buf[512];
    FormatInto(buf, tmpl, szStrArg);
    throw httpclientexceptionW(buf, code, dwLastError);
}

void ThrowSafeIntError(const SafeIntException& e) {
    if (e.m_code == HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO)
        ThrowError(HTTPCLIENT_ERR_DIVIDE_BY_ZERO);
    if (e.m_code == HTTPCLIENT_SAFEINT_OVERFLOW)
        ThrowError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    ThrowError(HTTPCLIENT_ERR_ARITHMETIC);
}

}  // namespace Tavon
