// The library's in-process building blocks: errors and heap strings, encoders, name/value map,
// URL analyzer, post statistics. Tables of rows, each checked through every flavour it has.
#include "encoder.h"
#include "errors.h"
#include "heap.h"
#include "map.h"
#include "poststat.h"
#include "urlanalyzer.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace Tavon;

namespace {

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// Message (a wide one narrowed: the library's texts are ASCII), code and last error.
template <class E>
std::tuple<std::string, DWORD, DWORD> Fields(const E& e) {
    std::string s;
    for (auto p = e.GetErrorMessage(); *p; ++p)
        s += static_cast<char>(*p);
    return {s, e.GetErrorCode(), e.GetWin32LastError()};
}

// Encodes into exactly the announced length + 1, followed by a sentinel that must stay.
template <class Len, class Enc>
std::string Encode(Len len, Enc enc) {
    const DWORD n = len();
    std::vector<char> buf(n + 5, 'x');
    std::memcpy(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4);
    enc(buf.data());
    EXPECT_EQ(std::memcmp(&buf[n + 1], "\xA5\x5A\xA5\x5A", 4), 0) << "wrote past the announced length";
    EXPECT_EQ(std::strlen(buf.data()), n);
    return buf.data();
}

std::string Url(const char* sz, BOOL bUtf8, UINT cp) {
    if (!bUtf8 && sz) {
        EXPECT_EQ(_UrlEncodeLen(sz), CHttpEncoderA::UrlEncodeLenA(sz, FALSE, cp));
    }
    return Encode([&] { return CHttpEncoderA::UrlEncodeLenA(sz, bUtf8, cp); },
                  [&](char* p) { CHttpEncoderA::UrlEncodeA(p, sz, bUtf8, cp); });
}

std::string Utf8(const char* sz, UINT cp) {
    return Encode([&] { return CHttpEncoderA::Utf8EncodeLen(sz, cp); },
                  [&](char* p) { CHttpEncoderA::Utf8Encode(p, sz, cp); });
}

LONG WINAPI FailOnGuardPage(EXCEPTION_POINTERS*) {
    std::fputs("read past the terminator\n", stderr);
    TerminateProcess(GetCurrentProcess(), 3);  // at once, not after the crash dialog's wait
    return EXCEPTION_EXECUTE_HANDLER;
}

// Every reading of a statistics object in one line: bytes and counts as posted/total, then the
// current parameter's name, path, posted/total, remainder, is-file and is-complete.
std::string State(const CHttpPostStatA& s) {
    if (!s.IsActive())
        return "inactive";
    char sz[200];
    std::snprintf(sz, sizeof sz, "%lu/%lu %lu/%lu %lu/%lu %lu/%lu | %s %s %lu/%lu -%lu %d%d", s.ActualPostedByte(),
                  s.ActualTotalByte(), s.PostedByte(), s.TotalByte(), s.PostedCount(), s.TotalCount(),
                  s.PostedFileCount(), s.FileCount(), s.CurrParamName() ? s.CurrParamName() : "-",
                  s.CurrParamFilePath() ? s.CurrParamFilePath() : "-", s.CurrParamPostedByte(), s.CurrParamTotalByte(),
                  s.CurrParamRemainByte(), s.CurrParamIsFile(), s.CurrParamIsComplete());
    return sz;
}

}  // namespace

TEST(Errors, StockTextsInBothWidths) {
    std::ifstream in("Z:" QUILLA_UNITS_DATA "/stock_messages.txt");
    int nRows = 0;
    for (std::string line; std::getline(in, line); ++nRows) {
        if (line[0] == '#')
            continue;
        SCOPED_TRACE(line);
        const DWORD dwCode = std::stoul(line);
        const std::string text = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        EXPECT_EQ(GetStockMessage(dwCode), text);
        EXPECT_EQ(GetStockMessageW(dwCode), Widen(text));
        EXPECT_EQ(Fields(CatchError([&] { ThrowError(dwCode); })), std::make_tuple(text, dwCode, 0u));
        EXPECT_EQ(CatchError([&] { ThrowError(dwCode); }).what(), text);
        EXPECT_EQ(Fields(CatchError<httpclientexceptionW>([&] { ThrowErrorW(dwCode); })),
                  std::make_tuple(text, dwCode, 0u));
    }
    EXPECT_GT(nRows, 40);
    EXPECT_STREQ(GetStockMessage(0x80000000u), "user-defined error message");
}

// The argument stands for the template's one %s, as text; the result is cut to 511 characters.
TEST(Errors, FormattedTextsInBothWidths) {
    const std::string P = "OpenFile (::CreateFile) failed (\"", S = "\").", n475(475, 'x'), n476(476, 'y');
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
        EXPECT_EQ(Fields(CatchError([&] { ThrowErrorFmt(dwCode, 5, szArg); })), std::make_tuple(want, dwCode, 5u));
        const std::wstring wArg = Widen(szArg ? szArg : "");
        const auto fmtW = [&] { ThrowErrorFmtW(dwCode, 7, szArg ? wArg.c_str() : nullptr); };
        EXPECT_EQ(Fields(CatchError<httpclientexceptionW>(fmtW)), std::make_tuple(want, dwCode, 7u));
    }
}

TEST(Errors, MissingMessagesCopiesAndWhat) {
    EXPECT_EQ(Fields(httpclientexceptionA(nullptr, 5, 6)), std::make_tuple("NULL", 5u, 6u));
    EXPECT_EQ(Fields(httpclientexceptionW(nullptr, 5, 6)), std::make_tuple("NULL", 5u, 6u));
    EXPECT_STREQ(httpclientexceptionW(L"x").what(), "httpclientexceptionW");
    EXPECT_STREQ(errmsg_exceptionW(L"x").what(), "errmsg_exceptionW");
    // Copies, constructed and assigned, outlive their source.
    const auto copied = [](auto* pSource) {
        auto copy(*pSource);
        std::remove_pointer_t<decltype(pSource)> assigned;
        assigned = *pSource;
        delete pSource;
        EXPECT_EQ(Fields(assigned), Fields(copy));
        return Fields(copy);
    };
    EXPECT_EQ(copied(new httpclientexceptionA("boom", 408, 12030)), std::make_tuple("boom", 408u, 12030u));
    EXPECT_EQ(copied(new httpclientexceptionW(L"boom", 408, 12030)), std::make_tuple("boom", 408u, 12030u));
    const auto toWide = [] { ThrowAnsiAsWide("C::Op: p can not be NULL.", 3, 4); };
    EXPECT_EQ(Fields(CatchError<httpclientexceptionW>(toWide)), std::make_tuple("C::Op: p can not be NULL.", 3u, 4u));
}

// A boundary passes the narrow exception and converts the wide one and checked-arithmetic failures;
// the rest only where its flags say so (-1: passed on unconverted).
TEST(Errors, BoundariesConvertForeignExceptions) {
    const std::tuple<const char*, std::function<void()>, int, int, int, const char*> rows[] = {
        {"narrow", [] { ThrowErrorFmt(603, 2, "f"); }, 603, 603, 603, "OpenFile (::CreateFile) failed (\"f\")."},
        {"wide", [] { ThrowErrorFmtW(602, 38); }, 602, 602, 602, "::ReadFile failed."},
        {"overflow", [] { throw SafeIntException(534); }, 112, 112, 112, GetStockMessage(112)},
        {"divide", [] { throw SafeIntException(HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO); }, 113, 113, 113, nullptr},
        {"other arithmetic", [] { throw SafeIntException(533); }, 111, 111, 111, nullptr},
        {"std", [] { throw std::runtime_error("bad thing"); }, -1, 108, 108, "bad thing"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, -1, 108, 102, nullptr},
        {"other", [] { throw 42; }, -1, 100, 100, GetStockMessage(100)},
    };
    const auto code = [](auto guard) {
        try {
            guard();
        } catch (const httpclientexceptionA& e) {
            EXPECT_EQ(e.GetWin32LastError(), e.GetErrorCode() == 603 ? 2u : e.GetErrorCode() == 602 ? 38u : 0u);
            return static_cast<int>(e.GetErrorCode());
        } catch (...) {
        }
        return -1;
    };
    for (const auto& [szName, fnThrow, nPlain, nAll, nAllBadAlloc, szMsg] : rows) {
        SCOPED_TRACE(szName);
        EXPECT_EQ(code([&] { GuardBoundary(fnThrow); }), nPlain);
        EXPECT_EQ(code([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>(fnThrow); }), nAll);
        EXPECT_EQ(code([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL | HTTPCLIENT_CONVERT_BAD_ALLOC>(fnThrow); }),
                  nAllBadAlloc);
        if (szMsg) {
            EXPECT_STREQ(CatchError([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>(fnThrow); }).GetErrorMessage(), szMsg);
        }
    }
    EXPECT_EQ(SafeAdd(0xFFFFFFFEu, 1u), 0xFFFFFFFFu);
}

TEST(Errors, HeapStrings) {
    const auto str = [](const CHeapPtr<char>& p) { return p ? std::string(p.get()) : "(null)"; };
    EXPECT_EQ(str(HeapStrDup("abc")) + str(HeapStrDup<char>(nullptr)) + str(HeapStrNDup("abc", 2)), "abc(null)ab");
    EXPECT_EQ(str(HeapStrJoin("ab", 1, "cde", 2)) + str(HeapStrJoin("", 0, "cd", 2)) + str(HeapStrJoin("ab", 2, "", 0)),
              "acdcdab");
    EXPECT_STREQ(CHeapPtr<wchar_t>(HeapStrDupNoThrow(L"wide")).get(), L"wide");
    EXPECT_EQ(CatchError([] { HeapStrAlloc(0xFFFFFFFFu); }).GetErrorCode(), 112u);
    EXPECT_EQ(CatchError([] { GuardBoundary([] { HeapStrJoin("a", 0xFFFFFFFFu, "b", 1); }); }).GetErrorCode(), 112u);
}

// Only ASCII letters and digits pass; the first rows hold the edges of each class. In 936 a lead
// byte takes the next byte with it.
TEST(Encoder, UrlAndUtf8EncodingInCodePages1252And936) {
    const std::tuple<const char*, UINT, const char*, const char*, const char*> rows[] = {
        // input, code page, URL-encoded, URL-encoded from UTF-8, UTF-8
        {"/09:@AZ[`az{", 1252, "%2F09%3A%40AZ%5B%60az%7B", "%2F09%3A%40AZ%5B%60az%7B", "/09:@AZ[`az{"},
        {"a b+c&-_.~*%\x01\x7F", 1252, "a+b%2Bc%26%2D%5F%2E%7E%2A%25%01%7F", "a+b%2Bc%26%2D%5F%2E%7E%2A%25%01%7F",
         "a b+c&-_.~*%\x01\x7F"},
        {"\xE9\x80\xFF", 1252, "%E9%80%FF", "%C3%A9%E2%82%AC%C3%BF", "\xC3\xA9\xE2\x82\xAC\xC3\xBF"},
        {"\xD6\xD0", 936, "%D6%D0", "%E4%B8%AD", "\xE4\xB8\xAD"},
        {"a\x81\x40z", 936, "a%81%40z", "a%E4%B8%82z", "a\xE4\xB8\x82z"},
        {"\xFE\x4F", 936, "%FEO", "%EF%A8%A9", "\xEF\xA8\xA9"},
        {"", 936, "", "", ""},
        {nullptr, 936, "", "", ""},
    };
    for (const auto& [szIn, cp, szUrl, szUrlUtf8, szUtf8] : rows) {
        SCOPED_TRACE(szUrl);
        EXPECT_EQ(Url(szIn, FALSE, cp), szUrl);
        EXPECT_EQ(Url(szIn, TRUE, cp), szUrlUtf8);
        EXPECT_EQ(Utf8(szIn, cp), szUtf8);
        EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen(szIn, cp), szIn ? std::strlen(szIn) : 0);
    }
}

TEST(Encoder, LoneLeadByteAtTheEndOfAGuardedPage) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    BYTE* pBase = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pBase + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld));
    char* sz = reinterpret_cast<char*>(pBase + si.dwPageSize - 3);
    std::memcpy(sz, "a\xD6", 3);  // the terminator is the page's last byte
    SetUnhandledExceptionFilter(FailOnGuardPage);
    EXPECT_EQ(Url(sz, FALSE, 936), "a%D6");
    EXPECT_EQ(Url(sz, TRUE, 936).substr(0, 2), "a%");  // whatever the platform makes of the lone byte
    EXPECT_EQ(Utf8(sz, 936).substr(0, 1), "a");
    SetUnhandledExceptionFilter(nullptr);
    VirtualFree(pBase, 0, MEM_RELEASE);
}

TEST(Encoder, RefusalsFailuresAndWrappingSums) {
    char buf[8] = "xxxxxxx";
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.",
         [] { CHttpEncoderA::_AnsiCharToUtf8Char(nullptr, "a", 1252); }},
        {"_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.",
         [&] { CHttpEncoderA::_AnsiCharToUtf8Char(buf, nullptr, 1252); }},
        {"Utf8Encode: szBuff can not be NULL.", [] { CHttpEncoderA::Utf8Encode(nullptr, "a", 1252); }},
        {"UrlEncodeA: szBuff can not be NULL.", [] { CHttpEncoderA::UrlEncodeA(nullptr, "a", FALSE, 1252); }},
        {"Base64Encode: szBuff can not be NULL.", [] { CHttpEncoderA::Base64Encode(nullptr, nullptr, 0); }},
        {"Base64Encode: pbyData can not be NULL.", [&] { CHttpEncoderA::Base64Encode(buf, nullptr, 1); }},
    };
    for (const auto& [szMsg, fn] : rows)
        EXPECT_EQ(Fields(CatchError(fn)), std::make_tuple(std::string("CHttpEncoderA::") + szMsg, 0u, 0u));
    EXPECT_EQ(Fields(CatchError<httpclientexceptionW>([] { _UrlEncodeLen(nullptr); })),
              std::make_tuple("_UrlEncodeLen: szStr can not be NULL.", 0u, 0u));
    // A code page the platform does not know fails the conversion of the first character.
    for (const auto& fn : std::vector<std::function<void()>>{[] { CHttpEncoderA::Utf8EncodeLen("a", 12345); },
                                                             [&] { CHttpEncoderA::UrlEncodeA(buf, "a", TRUE, 12345); }})
        EXPECT_EQ(Fields(CatchError(fn)), std::make_tuple(GetStockMessage(601), 601u, DWORD(ERROR_INVALID_PARAMETER)));
    EXPECT_STREQ(buf, "");
    // No string here is long enough to wrap 32 bits: the sums are continued from near the limit.
    EXPECT_EQ(CHttpEncoderA::_Utf8EncodeLenFrom(0xFFFFFFFDu, "\xE9", 1252), 0xFFFFFFFFu);
    EXPECT_EQ(CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFF9u, "\xE9", TRUE, 1252), 0xFFFFFFFFu);
    EXPECT_EQ(CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFFCu, "-", FALSE, 1252), 0xFFFFFFFFu);
    EXPECT_THROW(CHttpEncoderA::_Utf8EncodeLenFrom(0xFFFFFFFEu, "\xE9", 1252), SafeIntException);
    EXPECT_THROW(CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFFAu, "\xE9", TRUE, 1252), SafeIntException);
    EXPECT_THROW(CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFFDu, "-", FALSE, 1252), SafeIntException);
    EXPECT_EQ(CatchError([] { CHttpEncoderA::Base64EncodeLen(0xFFFFFFFFu); }).GetErrorCode(), 112u);
}

TEST(Encoder, Base64WithPadding) {
    for (const auto& [in, szOut] : std::vector<std::pair<std::string, const char*>>{{"", ""},
                                                                                    {"f", "Zg=="},
                                                                                    {"fo", "Zm8="},
                                                                                    {"foo", "Zm9v"},
                                                                                    {"foobar", "Zm9vYmFy"},
                                                                                    {{"\0\xFF\xFE\x80", 4}, "AP/+gA=="},
                                                                                    {"\xFB\xEF", "++8="}}) {
        const auto* pby = reinterpret_cast<const BYTE*>(in.data());
        EXPECT_EQ(Encode([&] { return CHttpEncoderA::Base64EncodeLen(in.size()); },
                         [&](char* p) { CHttpEncoderA::Base64Encode(p, pby, in.size()); }),
                  szOut);
    }
}

// Names fold ASCII capitals only and compare as unsigned bytes; equal names keep the order of adding.
TEST(Map, OrderLookupAndRemoval) {
    CHttpClientMapA map;
    EXPECT_FALSE(map.RemoveAll());
    DWORD dwFlag = 0;
    for (const char* n :
         {"b", "A", "a", "B", "Z", "y", "@", "[", "`", "{", "_x", "Ax", "ab", "abc", "\xD6\xD0", "Data"})
        map.Add(n, n[0] == 'B' ? nullptr : n, ++dwFlag);
    std::string order;
    for (const auto& e : map)
        order += std::string(e.szName) + (e.szValue ? "" : "(null)") + "/" + std::to_string(e.dwFlag) + " ";
    EXPECT_EQ(order, "@/7 [/8 _x/11 `/9 A/2 a/3 ab/13 abc/14 Ax/12 b/1 B(null)/4 Data/16 y/6 Z/5 {/10 \xD6\xD0/15 ");

    const std::tuple<const char*, DWORD, const char*, DWORD> rows[] = {
        // name, index, value at that index, count of the name
        {"a", 0, "A", 2},        {"A", 1, "a", 2},   {"a", 2, nullptr, 2},    {"b", 1, "", 2},
        {"DATA", 0, "Data", 1},  {"ab", 0, "ab", 1}, {"abcd", 0, nullptr, 0}, {"\xD6\xD0", 0, "\xD6\xD0", 1},
        {"\xD6", 0, nullptr, 0},
    };
    for (const auto& [szName, nIdx, szValue, nCount] : rows) {
        SCOPED_TRACE(szName);
        EXPECT_EQ(map.Count(szName), nCount);
        const char* szGot = map.Get(szName, nIdx);
        EXPECT_EQ(szGot ? std::string(szGot) : "(none)", szValue ? szValue : "(none)");
    }
    EXPECT_EQ(map.Count(), 16u);
    EXPECT_FALSE(map.RemoveAll("c"));
    // The name given may be the map's own, freed by the call.
    EXPECT_TRUE(map.RemoveAll(std::next(map.begin(), 9)->szName));
    EXPECT_EQ(map.Count(), 14u);
    EXPECT_EQ(map.Count("B"), 0u);
    EXPECT_TRUE(map.RemoveAll());
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(map.begin(), map.end());
}

TEST(Map, OwnershipAndRefusals) {
    CHttpClientMapA map;
    char* szName = static_cast<char*>(std::malloc(2));
    std::strcpy(szName, "n");
    map.AddPointerDirectly(szName, nullptr, 3);
    EXPECT_EQ(map.begin()->szName, szName);
    char buf[] = "temp";
    map.Add(buf, buf);
    std::strcpy(buf, "gone");
    EXPECT_STREQ(map.Get("TEMP"), "temp");

    const std::pair<const char*, void (*)(CHttpClientMapA&)> rows[] = {
        {"Add", [](CHttpClientMapA& m) { m.Add(nullptr, "v"); }},
        {"AddPointerDirectly", [](CHttpClientMapA& m) { m.AddPointerDirectly(nullptr); }},
        {"Get", [](CHttpClientMapA& m) { m.Get(nullptr); }},
        {"RemoveAll", [](CHttpClientMapA& m) { m.RemoveAll(nullptr); }},
    };
    for (const auto& [szOp, fn] : rows) {
        EXPECT_EQ(Fields(CatchError([&] { fn(map); })),
                  std::make_tuple(std::string("CHttpClientMapT::") + szOp + ": szName can not be NULL.", 0u, 0u));
    }
    EXPECT_EQ(map.Count(), 2u);
}

// Positions and lengths of scheme, address, port, object, query and fragment. In 936 0x81 - 0xFE
// lead, and a trail byte "/", ":", "?" or "#" is no delimiter; a lead byte before the NUL counts once.
TEST(UrlAnalyzer, PartsOfAUrl) {
    const std::tuple<const char*, UINT, std::vector<DWORD>> rows[] = {
        {"http://host:8080/a/b?x=1#top", 1252, {0, 4, 7, 4, 12, 4, 16, 4, 20, 4, 24, 4}},
        {"https://host", 1252, {0, 5, 8, 4, 12, 0, 12, 0, 12, 0, 12, 0}},
        {"host:81", 1252, {0, 0, 0, 4, 5, 2, 7, 0, 7, 0, 7, 0}},
        {"host/a", 1252, {0, 0, 0, 4, 4, 0, 4, 2, 6, 0, 6, 0}},
        {"http://host?x=1", 1252, {0, 4, 7, 4, 11, 0, 11, 0, 11, 4, 15, 0}},
        {"http://host:/p", 1252, {0, 4, 7, 4, 12, 0, 12, 2, 14, 0, 14, 0}},
        {"http://host/a#b?c", 1252, {0, 4, 7, 4, 11, 0, 11, 2, 13, 0, 13, 4}},
        {"host/r?u=http://x/y", 1252, {0, 13, 16, 1, 17, 0, 17, 2, 19, 0, 19, 0}},
        {"://h/p", 1252, {0, 0, 3, 1, 4, 0, 4, 2, 6, 0, 6, 0}},
        {"h:80:90/?a?b#c#d", 1252, {0, 0, 0, 1, 2, 5, 7, 1, 8, 4, 12, 4}},
        {"", 1252, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {nullptr, 1252, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"http://\x81/\x82:h:1/\x83?o?\x84#q#\x85", 936, {0, 4, 7, 5, 13, 1, 14, 4, 18, 4, 22, 2}},
        {"http://\x81/\x82:h:1/\x83?o?\x84#q#\x85", 1252, {0, 4, 7, 1, 8, 0, 8, 8, 16, 4, 20, 4}},
        {"\x81://x\xFE", 936, {0, 0, 0, 2, 2, 0, 2, 4, 6, 0, 6, 0}},
        {"\x81://x\xFE", 1252, {0, 1, 4, 2, 6, 0, 6, 0, 6, 0, 6, 0}},
    };
    for (const auto& [szUrl, cp, parts] : rows) {
        SCOPED_TRACE(std::string(szUrl ? szUrl : "(null)") + " in " + std::to_string(cp));
        CHttpUrlAnalyzerA a;
        a.Analyze("http://old:1/p?q#f");
        a.Analyze(szUrl, cp);
        EXPECT_EQ(parts, std::vector<DWORD>({a.SchemePos(), a.SchemeLen(), a.AddressPos(), a.AddressLen(), a.PortPos(),
                                             a.PortLen(), a.ObjectPos(), a.ObjectLen(), a.QueryPos(), a.QueryLen(),
                                             a.FragmentPos(), a.FragmentLen()}));
    }
}

// The client's reading: port (-1: error 107), secure flag, address (null: error 103), object name.
TEST(UrlAnalyzer, ClientReading) {
    const std::tuple<const char*, int, BOOL, const char*, const char*> rows[] = {
        {"http://host:8080/a/b?x=1#top", 8080, FALSE, "host", "/a/b?x=1#top"},
        {"HtTpS://host", 443, TRUE, "host", "/"},
        {"https://h:80", 80, TRUE, "h", "/"},
        {"host:81", 81, FALSE, "host", "/"},
        {"http://host?x=1", 80, FALSE, "host", "/?x=1"},
        {"http://host:/p", 80, FALSE, "host", "/p"},
        {"http://host#f", 80, FALSE, "host", "/#f"},
        {"httpsx://h", 80, FALSE, "h", "/"},
        {"httpz://h", 80, FALSE, "h", "/"},
        {"http://h: +0", 0, FALSE, "h", "/"},
        {"h:65535", 65535, FALSE, "h", "/"},
        {"h:00080", 80, FALSE, "h", "/"},
        {"h:65536", -1, FALSE, "h", "/"},
        {"h:99999", -1, FALSE, "h", "/"},
        {"h:123456", -1, FALSE, "h", "/"},
        {"h:80:90", -1, FALSE, "h", "/"},
        {"h:-1", -1, FALSE, "h", "/"},
        {"h: ", -1, FALSE, "h", "/"},
        {"h:0x10", -1, FALSE, "h", "/"},
        {"http://user:pw@h/", -1, FALSE, "user", "/"},
        {"http:///p", 80, FALSE, nullptr, "/p"},
        {"https://:80/x", 80, TRUE, nullptr, "/x"},
        {"", 80, FALSE, nullptr, "/"},
        {nullptr, 80, FALSE, nullptr, "/"}};
    for (const auto& [szUrl, nPort, bSecure, szAddress, szObject] : rows) {
        SCOPED_TRACE(szUrl ? szUrl : "(null)");
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        if (nPort < 0)
            EXPECT_EQ(Fields(CatchError([&] { a.GetPort(szUrl); })), std::make_tuple(GetStockMessage(107), 107u, 0u));
        else
            EXPECT_EQ(a.GetPort(szUrl), nPort);
        EXPECT_EQ(a.IsSecure(szUrl), bSecure);
        if (!szAddress)
            EXPECT_EQ(Fields(CatchError([&] { a.GetServerAddress(szUrl); })),
                      std::make_tuple(GetStockMessage(103), 103u, 0u));
        else
            EXPECT_EQ(CHeapPtr<char>(a.GetServerAddress(szUrl)).get(), std::string(szAddress));
        EXPECT_EQ(CHeapPtr<char>(a.GetObjectName(szUrl)).get(), std::string(szObject));
    }
}

TEST(UrlAnalyzer, Refusals) {
    CHttpUrlAnalyzerA a;
    a.Analyze("http://h/p");
    const std::pair<std::string, std::function<void()>> rows[] = {
        {"Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
         [&] { a.Analyze("x://y", CP_UTF8); }},
        {"Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
         [&] { a.Analyze("x://y", CP_UTF7); }},
        // The readers index the analysed string: another one would be read past its end.
        {"GetObjectName: szUrl is not the analyzed URL.", [&] { a.GetObjectName("h"); }},
        {"GetPort: szUrl can not be NULL.", [&] { a.GetPort(nullptr); }},
    };
    for (const auto& [msg, fn] : rows)
        EXPECT_EQ(Fields(CatchError(fn)), std::make_tuple("CHttpUrlAnalyzerT::" + msg, 0u, 0u));
    EXPECT_EQ(a.AddressLen() * 10 + a.ObjectLen(), 12u);  // a refused analysis leaves the fields as they were
}

// Each step, and copies made of the object after it (constructed and assigned), read the same.
TEST(PostStat, StepsOfAnUploadAndCopies) {
    CHttpPostStatA s;
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[] {}, "inactive"},
        {[&] { s._Activate(9, 9, 9, 9); }, "0/9 0/9 0/9 0/9 | - - 0/0 -0 01"},
        {[&] { s._Activate(500, 30, 3, 2); }, "0/500 0/30 0/3 0/2 | - - 0/0 -0 01"},
        {[&] { s._StartNewEntry("file", 10, TRUE, "C:\\a.dmp"); }, "0/500 0/30 1/3 1/2 | file C:\\a.dmp 0/10 -10 10"},
        {[&] { s._AddActualPostedBytes(40); }, "40/500 0/30 1/3 1/2 | file C:\\a.dmp 0/10 -10 10"},
        {[&] { s._AddPostedBytes(4); }, "44/500 4/30 1/3 1/2 | file C:\\a.dmp 4/10 -6 10"},
        {[&] { s._AddPostedBytes(6); }, "50/500 10/30 1/3 1/2 | file C:\\a.dmp 10/10 -0 11"},
        {[&] { s._StartNewEntry("note", 0, FALSE, "ignored"); }, "50/500 10/30 2/3 1/2 | note - 0/0 -0 01"},
        {[&] { s._StartNewEntry("b", 20, TRUE, "b"); }, "50/500 10/30 3/3 2/2 | b b 0/20 -20 10"},
        {[&] { s._AddPostedBytes(20), s._AddActualPostedBytes(430); }, "500/500 30/30 3/3 2/2 | b b 20/20 -0 11"},
        {[&] { s._Reset(); }, "inactive"},
    };
    for (const auto& [step, szWant] : steps) {
        SCOPED_TRACE(szWant);
        step();
        EXPECT_EQ(State(s), szWant);
        auto* p = new CHttpPostStatA(s);
        CHttpPostStatA assigned;
        assigned._Activate(1, 1, 1, 1);
        assigned._StartNewEntry("old", 1, TRUE, "old");
        assigned = *p;
        delete p;
        EXPECT_EQ(State(assigned), szWant);
        assigned = assigned;
        EXPECT_EQ(State(assigned), szWant);
    }
}

TEST(PostStat, InactiveRefusalsAndWrappingCounters) {
    CHttpPostStatA s;
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"ActualTotalByte", [&] { s.ActualTotalByte(); }},
        {"ActualPostedByte", [&] { s.ActualPostedByte(); }},
        {"TotalCount", [&] { s.TotalCount(); }},
        {"PostedCount", [&] { s.PostedCount(); }},
        {"FileCount", [&] { s.FileCount(); }},
        {"PostedFileCount", [&] { s.PostedFileCount(); }},
        {"CurrParamTotalByte", [&] { s.CurrParamTotalByte(); }},
        {"CurrParamPostedByte", [&] { s.CurrParamPostedByte(); }},
        {"CurrParamRemainByte", [&] { s.CurrParamRemainByte(); }},
        {"CurrParamIsFile", [&] { s.CurrParamIsFile(); }},
        {"CurrParamIsComplete", [&] { s.CurrParamIsComplete(); }},
        {"_TestStartNewEntry", [&] { s._StartNewEntry("n", 1); }},
        {"_TestAddPostedBytes", [&] { s._AddPostedBytes(1); }},
        {"_TestAddActualPostedBytes", [&] { s._AddActualPostedBytes(1); }},
    };
    for (const auto& [szOp, fn] : rows) {
        EXPECT_EQ(
            Fields(CatchError(fn)),
            std::make_tuple(std::string("CHttpPostStatT::") + szOp + ": The post context is not active.", 0u, 0u));
    }
    // Each counter refuses to wrap on its own, before anything changes.
    s._Activate(~0u, ~0u, 2, 0);
    s._StartNewEntry("big", ~0u);
    s._AddPostedBytes(0xFFFFFFF0u);
    const std::string before = State(s);
    EXPECT_EQ(CatchError([&] { s._AddPostedBytes(0x10); }).GetErrorCode(), 112u);
    EXPECT_EQ(CatchError([&] { s._AddActualPostedBytes(0x10); }).GetErrorCode(), 112u);
    s._StartNewEntry("next", ~0u);  // its own count starts at 0, the body's stays
    EXPECT_EQ(CatchError([&] { s._AddPostedBytes(0x10); }).GetErrorCode(), 112u);
    s._AddPostedBytes(0xF);
    EXPECT_EQ(State(s), "4294967295/4294967295 4294967295/4294967295 2/2 0/0 | next - 15/4294967295 -4294967280 00");
    EXPECT_EQ(before, "4294967280/4294967295 4294967280/4294967295 1/2 0/0 | big - 4294967280/4294967295 -15 00");
}
