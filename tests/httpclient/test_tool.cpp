// The platform layer: argument checks, the request as built, response queries, files, texts.
#include "client_test_util.h"

#include <functional>
#include <set>

using namespace ClientTest;
using namespace TestSupport;

namespace {

std::string Take(LPSTR sz) {
    CHeapPtr<char> p(sz);
    return p ? std::string(p.get()) : std::string("<null>");
}

void ExpectArgError(const std::function<void()>& f, const char* szText) {
    httpclientexceptionA e = CatchError<httpclientexceptionA>(f);
    EXPECT_STREQ(e.GetErrorMessage(), szText);
    EXPECT_EQ(e.GetErrorCode(), 0u) << szText;
    EXPECT_EQ(e.GetWin32LastError(), 0u) << szText;
}

}  // namespace

TEST(Tool, ArgumentErrorsComeFirstAndInOrder) {
    HINTERNET h = reinterpret_cast<HINTERNET>(1);  // never reaches the platform
    BYTE b = 0;
    DWORD n = 0;
    const std::vector<std::pair<std::function<void()>, const char*>> cases = {
        {[] { CHttpToolA::OpenConnection(nullptr, nullptr, 80, nullptr, nullptr); },
         "CHttpToolA::OpenConnection: hInternet can not be NULL."},
        {[&] { CHttpToolA::OpenConnection(h, nullptr, 80, nullptr, nullptr); },
         "CHttpToolA::OpenConnection: szServerAddr can not be NULL."},
        {[&] { CHttpToolA::OpenConnection(h, "", 80, nullptr, nullptr); },
         "CHttpToolA::OpenConnection: szServerAddr can not be an empty string."},
        {[] { CHttpToolA::OpenRequest(nullptr, "POST", nullptr, 0, nullptr); },
         "CHttpToolA::OpenRequest: hConnection can not be NULL."},
        {[&] { CHttpToolA::OpenRequest(h, "POST", nullptr, 0, nullptr); },
         "CHttpToolA::OpenRequest: szObjectName can not be NULL."},
        {[&] { CHttpToolA::OpenRequest(h, "POST", "", 0, nullptr); },
         "CHttpToolA::OpenRequest: szObjectName can not be an empty string."},
        {[] { CHttpToolA::AddHeader(nullptr, nullptr, nullptr); }, "CHttpToolA::AddHeader: hRequest can not be NULL."},
        {[&] { CHttpToolA::AddHeader(h, nullptr, "v"); }, "CHttpToolA::AddHeader: szName can not be NULL."},
        {[] { CHttpToolA::SendRequestEx(nullptr, 1); }, "CHttpToolA::SendRequestEx: hRequest can not be NULL."},
        {[] { CHttpToolA::InternetWriteFile(nullptr, nullptr, 0); },
         "CHttpToolA::InternetWriteFile: hRequest can not be NULL."},
        {[&] { CHttpToolA::InternetWriteFile(h, nullptr, 0); },
         "CHttpToolA::InternetWriteFile: pbyBuff can not be NULL."},
        {[&] { CHttpToolA::InternetWriteFile(h, &b, 0); }, "CHttpToolA::InternetWriteFile: cbyBuff can not be zero."},
        {[] { CHttpToolA::EndRequest(nullptr); }, "CHttpToolA::EndRequest: hRequest can not be NULL."},
        {[] { CHttpToolA::OpenFile(nullptr); }, "CHttpToolA::OpenFile: szFilePath can not be NULL."},
        {[] { CHttpToolA::GetFileSize(nullptr, nullptr); }, "CHttpToolA::GetFileSize: hFile can not be NULL."},
        {[] { CHttpToolA::GetFileSize(INVALID_HANDLE_VALUE, nullptr); },
         "CHttpToolA::GetFileSize: szFilePath can not be NULL."},
        {[] { CHttpToolA::GetMimeType(nullptr, CP_UTF8); }, "CHttpToolA::GetMimeType: hFile can not be NULL."},
        {[] { CHttpToolA::GetMimeType(INVALID_HANDLE_VALUE, CP_UTF8); },
         "CHttpToolW::GetMimeType: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
        {[] { CHttpToolA::GetStatusText(nullptr); }, "CHttpToolA::GetStatusText: hRequest can not be NULL."},
        {[&] { CHttpToolA::GetHeader(nullptr, nullptr, &n); }, "CHttpToolA::GetHeader: hRequest can not be NULL."},
        {[&] { CHttpToolA::GetHeader(h, nullptr, &n); }, "CHttpToolA::GetHeader: szName can not be NULL."},
        {[] { CHttpToolA::Unicode2Ansi(nullptr, CP_UTF7); },
         "CHttpToolA::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
    };
    for (const auto& c : cases)
        ExpectArgError(c.first, c.second);

    // The wide operations raise the same texts in their own family.
    const std::vector<std::pair<std::function<void()>, const wchar_t*>> wide = {
        {[] { CHttpToolW::GetMimeType(nullptr, CP_UTF8); }, L"CHttpToolW::GetMimeType: hFile can not be NULL."},
        {[] { CHttpToolW::Unicode2Ansi(nullptr, CP_UTF8); },
         L"CHttpToolW::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
        {[] { CHttpToolW::Ansi2Unicode(nullptr, CP_UTF7); },
         L"CHttpToolW::Ansi2Unicode: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter."},
    };
    for (const auto& c : wide) {
        httpclientexceptionW e = CatchError<httpclientexceptionW>(c.first);
        EXPECT_STREQ(e.GetErrorMessage(), c.second);
        EXPECT_EQ(e.GetErrorCode(), 0u);
    }
}

namespace {
DWORD g_cbPerCall;
std::string g_sTaken;
BOOL WINAPI TakeSome(HINTERNET, LPCVOID pv, DWORD cb, LPDWORD pcbWritten) {
    *pcbWritten = cb < g_cbPerCall ? cb : g_cbPerCall;
    g_sTaken.append(static_cast<const char*>(pv), *pcbWritten);
    return TRUE;
}
BOOL WINAPI Fail(HINTERNET, LPCVOID, DWORD, LPDWORD) {
    SetLastError(ERROR_INTERNET_CONNECTION_RESET);
    return FALSE;
}
}  // namespace

TEST(Tool, WriteLoopTakesTheTailAndNeverSpins) {
    const std::string data = "0123456789abcdefghij";
    const BYTE* p = reinterpret_cast<const BYTE*>(data.data());
    HINTERNET h = reinterpret_cast<HINTERNET>(1);

    g_cbPerCall = 3;
    g_sTaken.clear();
    CHttpToolA::_InternetWriteFile(h, p, static_cast<DWORD>(data.size()), TakeSome);
    EXPECT_EQ(g_sTaken, data);

    g_cbPerCall = 0;  // success without progress
    httpclientexceptionA e = CatchError<httpclientexceptionA>(
        [&] { CHttpToolA::_InternetWriteFile(h, p, static_cast<DWORD>(data.size()), TakeSome); });
    EXPECT_EQ(e.GetErrorCode(), HTTPCLIENT_ERR_INTERNETWRITEFILE);
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));

    e = CatchError<httpclientexceptionA>([&] { CHttpToolA::_InternetWriteFile(h, p, 5, Fail); });
    EXPECT_EQ(e.GetErrorCode(), HTTPCLIENT_ERR_INTERNETWRITEFILE);
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET));
    EXPECT_STREQ(e.GetErrorMessage(), "::InternetWriteFile failed.");
}

TEST(Tool, HeadersAndStatusTextOfTheResponse) {
    CScenario srv;
    const std::string sLong(300, 'v');
    srv.Script(R"({"status": "299 Quite Fine Indeed", "headers": [["Set-Cookie", "a=1"], ["X-Long", ")" + sLong +
               R"("], ["Set-Cookie", "b=2"]]})");
    CLoopbackRequest req(srv, "/h");
    req.Post("x");
    HINTERNET h = req.hRequest.Get();

    EXPECT_EQ(Take(CHttpToolA::GetStatusText(h)), "Quite Fine Indeed");
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "X-Long")), sLong);  // two queries: value longer than name

    DWORD nIdx = 0;
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "set-cookie", &nIdx)), "a=1");
    EXPECT_EQ(nIdx, 1u);
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "Set-Cookie", &nIdx)), "b=2");
    EXPECT_EQ(nIdx, 2u);
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "Set-Cookie", &nIdx)), "<null>");
    EXPECT_EQ(nIdx, 2u);

    nIdx = 5;
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "X-Missing", &nIdx)), "<null>");
    EXPECT_EQ(nIdx, 5u);
    EXPECT_EQ(Take(CHttpToolA::GetHeader(h, "X-Missing")), "<null>");
}

TEST(Tool, FileSizeRefusesWhatDoesNotFit32Bits) {
    CTempFile small("12345");
    HANDLE h = CHttpToolA::OpenFile(small.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CHttpToolA::GetFileSize(h, small.c_str()), 5u);
    CloseHandle(h);
    EXPECT_EQ(CHttpToolA::OpenFile((small.Path() + ".none").c_str()), INVALID_HANDLE_VALUE);

    // 0xFFFFFFFF is a size, not an error; one byte more no longer fits.
    const std::string edge = TempPath(), big = TempPath();
    if (!MakeSparseFile(edge, 0xFFFFFFFFull) || !MakeSparseFile(big, 0x100000000ull)) {
        RemoveFile(edge);
        GTEST_SKIP() << "no sparse files here";
    }
    h = CHttpToolA::OpenFile(edge.c_str());
    EXPECT_EQ(CHttpToolA::GetFileSize(h, edge.c_str()), 0xFFFFFFFFu);
    CloseHandle(h);

    h = CHttpToolA::OpenFile(big.c_str());
    httpclientexceptionA e = CatchError<httpclientexceptionA>([&] { CHttpToolA::GetFileSize(h, big.c_str()); });
    CloseHandle(h);
    EXPECT_EQ(e.GetErrorCode(), HTTPCLIENT_ERR_GETFILESIZE);
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(std::string(e.GetErrorMessage()), "::GetFileSize failed (\"" + big + "\").");
    EXPECT_TRUE(RemoveFile(edge));
    EXPECT_TRUE(RemoveFile(big));
}

TEST(Tool, MimeTypeSniffsAndRewinds) {
    CTempFile pdf("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n");
    HANDLE h = CHttpToolA::OpenFile(pdf.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFilePointer(h, 7, nullptr, FILE_BEGIN);  // the upload reads the file from its start afterwards
    Take(CHttpToolA::GetMimeType(h));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0u);
    EXPECT_EQ(Take(CHttpToolA::GetMimeType(h)), "application/pdf");
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 0u);
    CloseHandle(h);

    EXPECT_EQ(Take(CHttpToolA::GetMimeType(INVALID_HANDLE_VALUE)), "application/octet-stream");

    // A handle that cannot be read: the wide failure arrives narrow with its code and last error.
    h = CreateFileA(pdf.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    httpclientexceptionA e = CatchError<httpclientexceptionA>([&] { CHttpToolA::GetMimeType(h); });
    CloseHandle(h);
    EXPECT_EQ(e.GetErrorCode(), HTTPCLIENT_ERR_READFILE);
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_STREQ(e.GetErrorMessage(), "::ReadFile failed.");
}

TEST(Tool, UploadBoundariesAreWellFormedAndFresh) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string b = Take(CHttpToolA::CreateUploadBoundary());
        ASSERT_EQ(b.size(), 43u) << b;
        EXPECT_EQ(b.compare(0, 10, "----MIRAS-"), 0) << b;
        EXPECT_EQ(b.back(), '-');
        EXPECT_EQ(b.find_first_not_of("0123456789abcdef", 10), 42u) << b;
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Tool, CodePageConversions) {
    EXPECT_EQ(CHttpToolA::Unicode2Ansi(nullptr), nullptr);
    EXPECT_EQ(CHttpToolW::Unicode2Ansi(nullptr, 936), nullptr);
    EXPECT_EQ(CHttpToolW::Ansi2Unicode(nullptr), nullptr);

    EXPECT_EQ(Take(CHttpToolA::Unicode2Ansi(L"\x4E2D!", 936)), "\xD6\xD0!");
    EXPECT_EQ(Take(CHttpToolW::Unicode2Ansi(L"\xE9", 1252)), "\xE9");
    CHeapPtr<WCHAR> w(CHttpToolW::Ansi2Unicode("\xD6\xD0x", 936));
    EXPECT_STREQ(w.get(), L"\x4E2Dx");

    // An unknown code page is a platform failure with its last error, in each family.
    httpclientexceptionA a = CatchError<httpclientexceptionA>([] { CHttpToolA::Unicode2Ansi(L"x", 12345); });
    EXPECT_EQ(a.GetErrorCode(), HTTPCLIENT_ERR_WIDECHARTOMULTIBYTE);
    EXPECT_EQ(a.GetWin32LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    httpclientexceptionW ew = CatchError<httpclientexceptionW>([] { CHttpToolW::Ansi2Unicode("x", 12345); });
    EXPECT_EQ(ew.GetErrorCode(), HTTPCLIENT_ERR_MULTIBYTETOWIDECHAR);
    EXPECT_EQ(ew.GetWin32LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Tool, ExceptionsCrossWidthsWithCodeAndLastError) {
    httpclientexceptionA a = CatchError<httpclientexceptionA>(
        [] { ThrowWideAsAnsi(httpclientexceptionW(L"::ReadFile failed.", HTTPCLIENT_ERR_READFILE, 38)); });
    EXPECT_STREQ(a.GetErrorMessage(), "::ReadFile failed.");
    EXPECT_EQ(a.GetErrorCode(), 602u);
    EXPECT_EQ(a.GetWin32LastError(), 38u);

    httpclientexceptionW w = CatchError<httpclientexceptionW>([] { ThrowAnsiAsWide("caf\xE9", 603, 2); });
    EXPECT_STREQ(w.GetErrorMessage(), L"caf\xE9");
    EXPECT_EQ(w.GetErrorCode(), 603u);
    EXPECT_EQ(w.GetWin32LastError(), 2u);

    w = CatchError<httpclientexceptionW>([] { ThrowAnsiAsWide(nullptr, 105, 7); });
    EXPECT_STREQ(w.GetErrorMessage(), L"NULL");
    EXPECT_EQ(w.GetErrorCode(), 105u);
}
