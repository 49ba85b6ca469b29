#include "ErrorText.h"

namespace {

// Codes that WinInet's calls end with here (Wine 8 gives 10035 for a time-out) and whose text
// the platform may not carry.
const struct {
    DWORD dwError;
    const char* szText;
} kOwnTexts[] = {
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {12031, "The connection with the server was reset."},
    {12045, "The certificate authority is invalid or incorrect."},
    {12057, "The revocation of the certificate could not be checked."},
    {12152, "The server returned an invalid or unrecognized response."},
    {12157, "The secure channel could not be set up."},
};

}  // namespace

std::string LastErrorText(DWORD dwError) {
    char szText[512] = "";
    const DWORD dwFlags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                          FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD n = ::FormatMessageA(dwFlags, ::GetModuleHandleA("wininet.dll"), dwError, 0, szText, sizeof szText, nullptr);
    while (n && (szText[n - 1] == ' ' || szText[n - 1] == '\r' || szText[n - 1] == '\n'))
        szText[--n] = '\0';
    for (const auto& own : kOwnTexts) {
        if (!n && own.dwError == dwError)
            return "last error " + std::to_string(dwError) + ", \"" + own.szText + "\"";
    }
    return "last error " + std::to_string(dwError) + (n ? ", \"" + std::string(szText) + "\"" : "");
}
