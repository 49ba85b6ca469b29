// The library's in-process building blocks, table by table: errors and heap strings, encoders,
// name/value map, URL analyzer, post statistics, and the tool's calls that need no server. A row
// runs through every flavour that has it.
#include "client.h"
#include "encoder.h"
#include "errors.h"
#include "heap.h"
#include "map.h"
#include "poststat.h"
#include "urlanalyzer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

using namespace Tavon;
using E = CHttpEncoderA;

namespace {

// An exception as "error code/last error: text" (a wide one: "wide error ...", its text narrowed
// byte by byte), read from a copy of it assigned to a third object: both must carry all three
// fields. A narrow one's what() must be its text.
template <class Ex>
std::string Describe(const Ex& source) {
    Ex copy(source), e;
    e = copy;
    const bool bWide = std::is_same_v<Ex, httpclientexceptionW>;
    const auto szText = reinterpret_cast<const char*>(e.GetErrorMessage());
    EXPECT_TRUE(bWide || std::string(e.what()) == szText);
    std::string s = (bWide ? "wide error " : "error ") + std::to_string(e.GetErrorCode()) + "/";
    s += std::to_string(e.GetWin32LastError()) + ": ";
    for (auto p = e.GetErrorMessage(); *p; ++p)
        s += static_cast<char>(*p);
    return s;
}

// What fn returns (a text, or "done"), or what it throws: a library exception described, else
// "foreign".
template <class F>
std::string Outcome(F fn) {
    try {
        if constexpr (std::is_void_v<decltype(fn())>)
            return fn(), "done";
        else
            return fn();
    } catch (const httpclientexceptionA& e) {
        return Describe(e);
    } catch (const httpclientexceptionW& e) {
        return Describe(e);
    } catch (...) {
        return "foreign";
    }
}

std::string Take(LPSTR sz) {
    return sz ? CHeapPtr<char>(sz).get() : "(null)";
}

// The rows of a golden file beside this source: "\xNN" stands for a byte, "|" parts the fields, "#"
// starts a comment.
std::vector<std::vector<std::string>> Rows(const char* szFile) {
    std::ifstream in(std::string("Z:" QUILLA_UNITS_DATA "/") + szFile);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        for (size_t i; (i = line.find("\\x")) != std::string::npos;)
            line.replace(i, 4, 1, static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)));
        rows.emplace_back(1);
        for (char c : line)
            c == '|' ? rows.back().emplace_back() : rows.back().back() += c;
    }
    EXPECT_FALSE(rows.empty()) << szFile;
    return rows;
}

// Encodes into exactly the announced length + 1, followed by a sentinel that must stay.
template <class Len, class Enc>
std::string Encode(Len len, Enc enc) {
    const DWORD n = len();
    std::vector<char> buf(n + 5, 'x');
    std::memcpy(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4);
    enc(buf.data());
    EXPECT_EQ(std::memcmp(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4), 0) << "wrote past the length";
    EXPECT_EQ(std::strlen(buf.data()), n);
    return buf.data();
}

// Every reading of a statistics object in one line: bytes and counts as posted/total, then the
// current parameter's name, path, posted/total, remainder, is-file and is-complete.
std::string State(const CHttpPostStatA& s) {
    if (!s.IsActive())
        return "inactive";
    char sz[200];
    std::snprintf(sz, sizeof sz, "%lu/%lu %lu/%lu %lu/%lu %lu/%lu | %s %s %lu/%lu -%lu %d%d",
                  s.ActualPostedByte(), s.ActualTotalByte(), s.PostedByte(), s.TotalByte(),
                  s.PostedCount(), s.TotalCount(), s.PostedFileCount(), s.FileCount(),
                  s.CurrParamName() ? s.CurrParamName() : "-",
                  s.CurrParamFilePath() ? s.CurrParamFilePath() : "-", s.CurrParamPostedByte(),
                  s.CurrParamTotalByte(), s.CurrParamRemainByte(), s.CurrParamIsFile(),
                  s.CurrParamIsComplete());
    return sz;
}

// A platform write that takes at most g_cbPerCall bytes a call, and one that fails.
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

TEST(Errors, StockTextsInBothWidths) {
    for (const auto& row : Rows("stock_messages.txt")) {
        SCOPED_TRACE(row[0]);
        const DWORD dwCode = std::stoul(row[0]);
        EXPECT_EQ(GetStockMessage(dwCode), row[1]);
        EXPECT_EQ(GetStockMessageW(dwCode), std::wstring(row[1].begin(), row[1].end()));
        EXPECT_EQ(Outcome([&] { ThrowError(dwCode); }), "error " + row[0] + "/0: " + row[1]);
        EXPECT_EQ(Outcome([&] { ThrowErrorW(dwCode); }), "wide error " + row[0] + "/0: " + row[1]);
    }
}

// The argument stands for the template's one %s, as text; the result is cut to 511 characters.
TEST(Errors, FormattedTextsInBothWidths) {
    const std::string P = "OpenFile (::CreateFile) failed (\"", S = "\").";
    const std::string n475(475, 'x'), n476(476, 'y');
    const std::tuple<DWORD, const char*, std::string> rows[] = {
        {605, "C:\\a b\\c.dmp", "::GetFileSize failed (\"C:\\a b\\c.dmp\")."},
        {605, nullptr, "::GetFileSize failed (\"%s\")."},
        {603, "%s%n%d", P + "%s%n%d" + S},
        {602, "unused", "::ReadFile failed."},
        {603, n475.c_str(), P + n475 + S},  // 511 characters: kept whole
        {603, n476.c_str(), (P + n476 + S).substr(0, 511)},
    };
    for (const auto& [dwCode, szArg, want] : rows) {
        SCOPED_TRACE(want.substr(0, 40));
        const std::wstring wArg = szArg ? std::wstring(szArg, szArg + std::strlen(szArg)) : L"";
        const std::string sCode = std::to_string(dwCode);
        EXPECT_EQ(Outcome([&] { ThrowErrorFmt(dwCode, 5, szArg); }), 
                  "error " + sCode + "/5: " + want);
        EXPECT_EQ(Outcome([&] { ThrowErrorFmtW(dwCode, 7, szArg ? wArg.c_str() : nullptr); }),
                  "wide error " + sCode + "/7: " + want);
    }
}

TEST(Errors, MissingMessagesWhatAndCopies) {
    EXPECT_EQ(Describe(httpclientexceptionW(nullptr, 5, 6)), "wide error 5/6: NULL");
    EXPECT_STREQ(httpclientexceptionW(L"x").what(), "httpclientexceptionW");
    EXPECT_STREQ(errmsg_exceptionW(L"x").what(), "errmsg_exceptionW");
    auto* pSource = new httpclientexceptionA("boom", 408, 12030);  // copies own their texts
    httpclientexceptionA copy(*pSource);
    delete pSource;
    EXPECT_EQ(Describe(copy), "error 408/12030: boom");
    copy.SetErrorMessage(nullptr);
    EXPECT_EQ(Describe(copy), "error 408/12030: NULL");
}

// Rows: a throw, what a boundary with all flags makes of it, and whether one without flags does the
// same: the wide exception and checked arithmetic always convert, the rest only where flags say so.
TEST(Errors, BoundariesConvertForeignExceptions) {
    const std::tuple<std::function<void()>, const char*, bool> rows[] = {
        {[] { ThrowErrorFmt(603, 2, "f"); }, "error 603/2: OpenFile (::CreateFile) failed (\"f\").",
         true},
        {[] { ThrowErrorFmtW(602, 38); }, "error 602/38: ::ReadFile failed.", true},
        {[] { throw SafeIntException(534); },
         "error 112/0: An arithmetic overflow error has been occurred.", true},
        {[] { throw SafeIntException(HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO); },
         "error 113/0: An interger divide by zero exception has been occurred.", true},
        {[] { throw SafeIntException(533); },
         "error 111/0: An unexpected arithmetic error has been occurred.", true},
        {[] { throw std::runtime_error("bad thing"); }, "error 108/0: bad thing", false},
        {[] { throw std::bad_alloc(); }, "error 108/0: std::bad_alloc", false},
        {[] { throw 42; }, "error 100/0: Unexpected error occurred.", false},
    };
    for (const auto& [fnThrow, szWant, bAlways] : rows) {
        SCOPED_TRACE(szWant);
        EXPECT_EQ(Outcome([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>(fnThrow); }), szWant);
        EXPECT_EQ(Outcome([&] { GuardBoundary(fnThrow); }), bAlways ? szWant : "foreign");
    }
    const auto fnBadAlloc = [] { throw std::bad_alloc(); };
    EXPECT_EQ(Outcome([&] { GuardBoundary<HTTPCLIENT_CONVERT_BAD_ALLOC>(fnBadAlloc); }),
              "error 102/0: Out of memory.");
}

TEST(Errors, HeapStrings) {
    const auto str = [](const CHeapPtr<char>& p) { return p ? std::string(p.get()) : "(null)"; };
    EXPECT_EQ(str(HeapStrDup("abc")) + str(HeapStrDup<char>(nullptr)) + str(HeapStrNDup("abc", 2)), "abc(null)ab");
    EXPECT_EQ(str(HeapStrJoin("ab", 1, "cde", 2)) + "|" + str(HeapStrJoin("", 0, "cd", 2)), "acd|cd");
    EXPECT_EQ(str(HeapStrAlloc(3)), "");
}

// Each call raises exactly this exception, and a refused call changes nothing. Argument errors have
// code 0 and one form; a row per class shows it. The others map a platform failure or an overflow
// to its code and keep the platform's last error.
TEST(Failures, EachCallRaisesItsExactException) {
    char buf[8] = "xxxxxxx";
    CHttpClientMapA map;
    CHttpUrlAnalyzerA url;
    url.Analyze("http://h/p");
    CHttpPostStatA stat;
    const HINTERNET h = reinterpret_cast<HINTERNET>(1);  // a write never hands it to the platform
    const BYTE* pbyData = reinterpret_cast<const BYTE*>("0123456789abcdefghij");
    const std::string sArg = "error 0/0: ", sNull = " can not be NULL.",
                      sOverflow = "error 112/0: An arithmetic overflow error has been occurred.";
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[] { E::Utf8Encode(nullptr, "a", 1252); },
         sArg + "CHttpEncoderA::Utf8Encode: szBuff" + sNull},
        {[&] { E::UrlEncodeA(buf, "a", TRUE, 12345); },
         "error 601/87: ::MultiByteToWideChar failed."},
        {[] { E::Base64EncodeLen(0xFFFFFFFFu); }, sOverflow},
        {[&] { map.Add(nullptr, "v"); }, sArg + "CHttpClientMapT::Add: szName" + sNull},
        {[&] { url.Analyze("x://y", CP_UTF8); },
         sArg + "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
                "parameter."},
        {[&] { url.GetObjectName("h"); },
         sArg + "CHttpUrlAnalyzerT::GetObjectName: szUrl is not the analyzed URL."},
        {[&] { stat.TotalCount(); },
         sArg + "CHttpPostStatT::TotalCount: The post context is not active."},
        {[] { HeapStrAlloc(0xFFFFFFFFu); }, sOverflow},
        {[] { GuardBoundary([] { HeapStrJoin("a", 0xFFFFFFFFu, "b", 1); }); }, sOverflow},
        {[] { CHttpToolA::OpenConnection(nullptr, nullptr, 80, nullptr, nullptr); },
         sArg + "CHttpToolA::OpenConnection: hInternet" + sNull},
        {[] {
             const DWORD dwFlags = FILE_FLAG_DELETE_ON_CLOSE;  // a file that cannot be read
             CScopedFileHandle h(CreateFileA("t.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, dwFlags, nullptr));
             CHttpToolA::GetMimeType(h.Get());
         },
         "error 602/5: ::ReadFile failed."},
        {[] { CHttpToolA::Unicode2Ansi(L"x", 12345); },
         "error 600/87: ::WideCharToMultiByte failed."},
        {[&] { g_cbPerCall = 0, CHttpToolA::_InternetWriteFile(h, pbyData, 20, TakeSome); },
         "error 408/12030: ::InternetWriteFile failed."},  // a platform write that takes nothing
        {[&] { CHttpToolA::_InternetWriteFile(h, pbyData, 5, Fail); },
         "error 408/12031: ::InternetWriteFile failed."},
        {[] { ThrowWideAsAnsi(httpclientexceptionW(L"::ReadFile failed.", 602, 38)); },
         "error 602/38: ::ReadFile failed."},
        {[] { CHttpToolW::GetMimeType(nullptr); },
         "wide " + sArg + "CHttpToolW::GetMimeType: hFile" + sNull},
        {[] { CHttpToolW::Ansi2Unicode("x", 12345); },
         "wide error 601/87: ::MultiByteToWideChar failed."},
        {[] { ThrowAnsiAsWide("caf\xE9", 603, 2); }, "wide error 603/2: caf\xE9"},
        {[] { CHttpResponseA(nullptr, nullptr, nullptr).GetStatus(); },
         sArg + "CHttpResponseT::GetStatus: m_hRequest" + sNull},
        {[] { CHttpClientA().OpenConnection(nullptr, "http://h/"); },
         sArg + "CHttpClientT::OpenConnection: hInternet" + sNull},
    };
    for (const auto& [fn, szWant] : rows)
        EXPECT_EQ(Outcome(fn), szWant);
    EXPECT_STREQ(buf, "") << "what the failed encoding had completed";
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(url.AddressLen(), 1u);
    EXPECT_EQ(url.ObjectLen(), 2u);
    // The sums of the lengths stop at 2^32 - 1 exactly.
    EXPECT_EQ(E::_Utf8EncodeLenFrom(0xFFFFFFFDu, "\xE9", 1252), 0xFFFFFFFFu);
    EXPECT_EQ(E::_UrlEncodeLenFrom(0xFFFFFFF9u, "\xE9", TRUE, 1252), 0xFFFFFFFFu);
    EXPECT_EQ(E::_UrlEncodeLenFrom(0xFFFFFFFCu, "-", FALSE, 1252), 0xFFFFFFFFu);
    EXPECT_THROW(E::_Utf8EncodeLenFrom(0xFFFFFFFEu, "\xE9", 1252), SafeIntException);
    EXPECT_THROW(E::_UrlEncodeLenFrom(0xFFFFFFFAu, "\xE9", TRUE, 1252), SafeIntException);
    EXPECT_THROW(E::_UrlEncodeLenFrom(0xFFFFFFFDu, "-", FALSE, 1252), SafeIntException);
}

// A platform write that takes a few bytes at a time gets them all, in order; texts convert in the
// code page asked for; a file that cannot be read is a stream of bytes; each boundary is new.
TEST(Tool, WritesConversionsAndBoundaries) {
    g_cbPerCall = 3;
    g_sTaken.clear();
    const BYTE* pbyData = reinterpret_cast<const BYTE*>("0123456789");
    CHttpToolA::_InternetWriteFile(reinterpret_cast<HINTERNET>(1), pbyData, 10, TakeSome);
    EXPECT_EQ(g_sTaken, "0123456789");
    EXPECT_EQ(Take(CHttpToolA::Unicode2Ansi(L"\x4E2D!", 936)), "\xD6\xD0!");
    EXPECT_EQ(Take(CHttpToolW::Unicode2Ansi(L"\xE9", 1252)), "\xE9");
    EXPECT_EQ(Take(CHttpToolA::GetMimeType(INVALID_HANDLE_VALUE)), "application/octet-stream");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string s = Take(CHttpToolA::CreateUploadBoundary());
        EXPECT_TRUE(std::regex_match(s, std::regex("----MIRAS-[0-9a-f]{32}-"))) << s;
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 100u) << "a boundary came twice";
}

// Each text ends at the last byte before a guard page, so that any read past its terminator traps.
TEST(Encoder, UrlAndUtf8EncodingInCodePages1252And936) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    auto pPages =
        static_cast<char*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pPages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld));
    for (const auto& row : Rows("encodings.txt")) {
        SCOPED_TRACE(row[2]);
        const UINT cp = std::stoul(row[0]);
        const char* sz = std::strcpy(pPages + si.dwPageSize - row[1].size() - 1, row[1].c_str());
        for (BOOL bUtf8 : {FALSE, TRUE}) {
            EXPECT_EQ(Encode([&] { return E::UrlEncodeLenA(sz, bUtf8, cp); },
                             [&](char* p) { E::UrlEncodeA(p, sz, bUtf8, cp); }),
                      row[bUtf8 ? 3 : 2]);
        }
        EXPECT_EQ(Encode([&] { return E::Utf8EncodeLen(sz, cp); },
                         [&](char* p) { E::Utf8Encode(p, sz, cp); }),
                  row[4]);
        EXPECT_EQ(_UrlEncodeLen(sz), row[2].size());
        EXPECT_EQ(E::AnsiEncodeLen(sz, cp), row[1].size());
    }
    VirtualFree(pPages, 0, MEM_RELEASE);
    // No text encodes to nothing.
    char buf[] = "xy";
    EXPECT_EQ(E::UrlEncodeLenA(nullptr, TRUE, 936), 0u);
    EXPECT_EQ(E::Utf8EncodeLen(nullptr, 936), 0u);
    EXPECT_EQ(E::AnsiEncodeLen(nullptr, 936), 0u);
    EXPECT_STREQ(E::UrlEncodeA(buf, nullptr, TRUE, 936), "");
    EXPECT_STREQ(E::Utf8Encode(buf + 1, nullptr, 936), "");
}

TEST(Encoder, Base64WithPadding) {
    const BYTE aby[] = {0xFB, 0xEF, 0xBE, 0x00, 0xFF, 0xFE, 0x80};
    const auto b64 = [&](DWORD cb) {
        return Encode([&] { return E::Base64EncodeLen(cb); },
                      [&](char* p) { E::Base64Encode(p, aby, cb); });
    };
    EXPECT_EQ(b64(0) + "|" + b64(1) + "|" + b64(2) + "|" + b64(3), "|+w==|++8=|++++");
    EXPECT_EQ(b64(5) + "|" + b64(7), "++++AP8=|++++AP/+gA==");
}

// Names fold ASCII capitals only and compare as unsigned bytes; equal names keep the order of
// adding.
TEST(Map, OrderLookupOwnershipAndRemoval) {
    CHttpClientMapA map;
    EXPECT_FALSE(map.RemoveAll());
    DWORD dwFlag = 0;
    for (const char* n :
         {"b", "A", "a", "B", "Z", "y", "@", "[", "`", "{", "_x", "Ax", "ab", "abc", "\xD6\xD0"})
        map.Add(n, n[0] == 'B' ? nullptr : n, ++dwFlag);
    char* szOwn = HeapStrDup("Data").release();  // taken over, not copied
    map.AddPointerDirectly(szOwn, HeapStrDup("v").release(), 0x80000000u);
    std::string s;
    for (const auto& e : map)
        s += e.szName + std::string(e.szValue ? "/" : "(null)/") + std::to_string(e.dwFlag) + " ";
    EXPECT_EQ(s, "@/7 [/8 _x/11 `/9 A/2 a/3 ab/13 abc/14 Ax/12 b/1 B(null)/4 Data/2147483648 y/6 "
                 "Z/5 {/10 \xD6\xD0/15 ");
    EXPECT_EQ(std::next(map.begin(), 11)->szName, szOwn);

    const std::tuple<const char*, DWORD, const char*, DWORD> rows[] = {
        // name, index, value at that index ("-": none), count of the name
        {"a", 0, "A", 2},     {"A", 1, "a", 2},   {"a", 2, "-", 2},    {"b", 1, "", 2},
        {"DATA", 0, "v", 1},  {"ab", 0, "ab", 1}, {"abcd", 0, "-", 0}, {"\xD6", 0, "-", 0},
        {"\xD6\xD0", 0, "\xD6\xD0", 1}, {"", 0, "-", 0}};
    for (const auto& [szName, nIdx, szValue, nCount] : rows) {
        SCOPED_TRACE(szName);
        EXPECT_EQ(map.Get(szName, nIdx) ? map.Get(szName, nIdx) : "-", std::string(szValue));
        EXPECT_EQ(map.Count(szName), nCount);
    }
    EXPECT_EQ(map.Count(), 16u);
    EXPECT_FALSE(map.RemoveAll("c"));
    EXPECT_TRUE(map.RemoveAll(std::next(map.begin(), 9)->szName));  // its own "b", freed by it
    EXPECT_EQ(map.Count(), 14u);
    EXPECT_EQ(map.Count("B"), 0u);
    EXPECT_TRUE(map.RemoveAll());
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_TRUE(map.begin() == map.end());
}

TEST(UrlAnalyzer, PartsAndTheClientsReading) {
    for (const auto& row : Rows("urls.txt")) {
        SCOPED_TRACE(row[1] + " in " + row[0]);
        const char* szUrl = row[1].c_str();
        CHttpUrlAnalyzerA a;
        a.Analyze("http://old:1/p?q#f");
        a.Analyze(szUrl, std::stoul(row[0]));
        char sz[80];
        std::snprintf(sz, sizeof sz, "%lu,%lu %lu,%lu %lu,%lu %lu,%lu %lu,%lu %lu,%lu", a.SchemePos(),
                      a.SchemeLen(), a.AddressPos(), a.AddressLen(), a.PortPos(), a.PortLen(), a.ObjectPos(),
                      a.ObjectLen(), a.QueryPos(), a.QueryLen(), a.FragmentPos(), a.FragmentLen());
        EXPECT_EQ(sz, row[2]);
        EXPECT_EQ(Outcome([&] { return std::to_string(a.GetPort(szUrl)); }), row[3]);
        EXPECT_EQ(std::to_string(a.IsSecure(szUrl)), row[4]);
        EXPECT_EQ(Outcome([&] { return Take(a.GetServerAddress(szUrl)); }), row[5]);
        EXPECT_EQ(CHeapPtr<char>(a.GetObjectName(szUrl)).get(), row[6]);
    }
    CHttpUrlAnalyzerA a;
    a.Analyze(nullptr);
    EXPECT_EQ(a.AddressLen(), 0u);
    EXPECT_EQ(a.FragmentPos(), 0u);
    EXPECT_EQ(a.FragmentLen(), 0u);
    EXPECT_STREQ(CHeapPtr<char>(a.GetObjectName(nullptr)).get(), "/");
}

// What an upload never reaches (the wire cases read the statistics of real ones): counters that
// would wrap refuse, changing nothing; past its size a parameter is not complete; a copy (made,
// assigned, assigned to itself) reads the same.
TEST(PostStat, WrappingCountersAndCopies) {
    CHttpPostStatA s;
    s._Activate(~0u, ~0u, 2, 0);
    s._AddActualPostedBytes(0xFFFFFFF0u);
    EXPECT_EQ(Outcome([&] { s._AddActualPostedBytes(0x10); }).substr(0, 9), "error 112");
    s._StartNewEntry("big", 10, TRUE, "C:\\big.dmp");
    s._AddPostedBytes(0xE);
    EXPECT_EQ(Outcome([&] { s._AddPostedBytes(2); }).substr(0, 9), "error 112");
    s._AddPostedBytes(1);
    auto* pCopy = new CHttpPostStatA(s);
    CHttpPostStatA copy;
    copy = *pCopy;
    delete pCopy;
    copy = copy;
    for (const CHttpPostStatA* p : {&s, &copy}) {
        EXPECT_EQ(State(*p),
                  "4294967295/4294967295 15/4294967295 1/2 1/0 | big C:\\big.dmp 15/10 -4294967291 10");
    }
    s._Reset();
    EXPECT_EQ(State(s), "inactive");
}
