// The library's in-process building blocks, table by table: errors and heap strings, encoders,
// name/value map, URL analyzer, post statistics. A row runs through every flavour that has it.
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
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace Tavon;

namespace {

// Message (a wide one narrowed: the library's texts are ASCII), code and last error.
template <class E>
std::tuple<std::string, DWORD, DWORD> Fields(const E& e) {
    std::string s;
    for (auto p = e.GetErrorMessage(); *p; ++p)
        s += static_cast<char>(*p);
    return {s, e.GetErrorCode(), e.GetWin32LastError()};
}

// The rows of a golden file beside this source: fields split at "|", "\xNN" a byte, "#" a comment.
std::vector<std::vector<std::string>> Rows(const char* szFile) {
    std::ifstream in(std::string("Z:" QUILLA_UNITS_DATA "/") + szFile);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        rows.emplace_back(1);
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '|')
                rows.back().emplace_back();
            else if (line.compare(i, 2, "\\x") == 0)
                rows.back().back() += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)), i += 3;
            else
                rows.back().back() += line[i];
        }
    }
    EXPECT_GT(rows.size(), 10u) << szFile;
    return rows;
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
    for (const auto& row : Rows("stock_messages.txt")) {
        SCOPED_TRACE(row[0]);
        const DWORD dwCode = std::stoul(row[0]);
        const std::string& text = row[1];
        EXPECT_EQ(GetStockMessage(dwCode), text);
        EXPECT_EQ(GetStockMessageW(dwCode), std::wstring(text.begin(), text.end()));
        EXPECT_EQ(Fields(CatchError([&] { ThrowError(dwCode); })), std::make_tuple(text, dwCode, 0u));
        EXPECT_EQ(CatchError([&] { ThrowError(dwCode); }).what(), text);
        EXPECT_EQ(Fields(CatchError<httpclientexceptionW>([&] { ThrowErrorW(dwCode); })),
                  std::make_tuple(text, dwCode, 0u));
    }
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
        const std::wstring wArg = szArg ? std::wstring(szArg, szArg + std::strlen(szArg)) : L"";
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
// the rest only where its flags say so. Codes without, with all, with all and bad_alloc flags
// (-1: passed on unconverted), and the converted exception of the second.
TEST(Errors, BoundariesConvertForeignExceptions) {
    const std::tuple<std::function<void()>, int, int, int, std::string, DWORD> rows[] = {
        {[] { ThrowErrorFmt(603, 2, "f"); }, 603, 603, 603, "OpenFile (::CreateFile) failed (\"f\").", 2},
        {[] { ThrowErrorFmtW(602, 38); }, 602, 602, 602, "::ReadFile failed.", 38},
        {[] { throw SafeIntException(534); }, 112, 112, 112, GetStockMessage(112), 0},
        {[] { throw SafeIntException(HTTPCLIENT_SAFEINT_DIVIDE_BY_ZERO); }, 113, 113, 113, GetStockMessage(113), 0},
        {[] { throw SafeIntException(533); }, 111, 111, 111, GetStockMessage(111), 0},
        {[] { throw std::runtime_error("bad thing"); }, -1, 108, 108, "bad thing", 0},
        {[] { throw std::bad_alloc(); }, -1, 108, 102, std::bad_alloc().what(), 0},
        {[] { throw 42; }, -1, 100, 100, GetStockMessage(100), 0},
    };
    const auto code = [](auto guard) {
        try {
            guard();
        } catch (const httpclientexceptionA& e) {
            return static_cast<int>(e.GetErrorCode());
        } catch (...) {
        }
        return -1;
    };
    for (const auto& [fnThrow, nPlain, nAll, nAllBadAlloc, msg, dwLastError] : rows) {
        SCOPED_TRACE(msg);
        EXPECT_EQ(code([&] { GuardBoundary(fnThrow); }), nPlain);
        EXPECT_EQ(code([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL | HTTPCLIENT_CONVERT_BAD_ALLOC>(fnThrow); }),
                  nAllBadAlloc);
        EXPECT_EQ(Fields(CatchError([&] { GuardBoundary<HTTPCLIENT_CONVERT_ALL>(fnThrow); })),
                  std::make_tuple(msg, DWORD(nAll), dwLastError));
    }
    EXPECT_EQ(SafeAdd(0xFFFFFFFEu, 1u), 0xFFFFFFFFu);
}

TEST(Errors, HeapStrings) {
    const auto str = [](const CHeapPtr<char>& p) { return p ? std::string(p.get()) : "(null)"; };
    EXPECT_EQ(str(HeapStrDup("abc")) + str(HeapStrDup<char>(nullptr)) + str(HeapStrNDup("abc", 2)), "abc(null)ab");
    EXPECT_EQ(str(HeapStrJoin("ab", 1, "cde", 2)) + str(HeapStrJoin("", 0, "cd", 2)) + str(HeapStrAlloc(3)), "acdcd");
    EXPECT_STREQ(CHeapPtr<wchar_t>(HeapStrDupNoThrow(L"wide")).get(), L"wide");
    EXPECT_EQ(CatchError([] { HeapStrAlloc(0xFFFFFFFFu); }).GetErrorCode(), 112u);
    EXPECT_EQ(CatchError([] { GuardBoundary([] { HeapStrJoin("a", 0xFFFFFFFFu, "b", 1); }); }).GetErrorCode(), 112u);
}

// Only ASCII letters and digits pass; the first rows hold the edges of each class. In 936 a lead
// byte takes the next byte with it; the guard page after the last row's terminator traps any read
// past it.
TEST(Encoder, UrlAndUtf8EncodingInCodePages1252And936) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    BYTE* pPages = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pPages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld));
    char* szLone = static_cast<char*>(std::memcpy(pPages + si.dwPageSize - 3, "a\xD6", 3));
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
        {szLone, 936, "a%D6", "a%3F", "a?"},  // a lone lead byte: the platform's default character
    };
    for (const auto& [szIn, cp, szUrl, szUrlUtf8, szUtf8] : rows) {
        SCOPED_TRACE(szUrl);
        for (BOOL bUtf8 : {FALSE, TRUE}) {
            EXPECT_EQ(Encode([&] { return CHttpEncoderA::UrlEncodeLenA(szIn, bUtf8, cp); },
                             [&](char* p) { CHttpEncoderA::UrlEncodeA(p, szIn, bUtf8, cp); }),
                      bUtf8 ? szUrlUtf8 : szUrl);
        }
        EXPECT_EQ(Encode([&] { return CHttpEncoderA::Utf8EncodeLen(szIn, cp); },
                         [&](char* p) { CHttpEncoderA::Utf8Encode(p, szIn, cp); }),
                  szUtf8);
        EXPECT_EQ(szIn ? _UrlEncodeLen(szIn) : 0, std::strlen(szUrl));
        EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen(szIn, cp), szIn ? std::strlen(szIn) : 0);
    }
    VirtualFree(pPages, 0, MEM_RELEASE);
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
    const auto unknown = std::make_tuple(GetStockMessage(601), 601u, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Fields(CatchError([] { CHttpEncoderA::Utf8EncodeLen("a", 12345); })), unknown);
    EXPECT_EQ(Fields(CatchError([&] { CHttpEncoderA::UrlEncodeA(buf, "a", TRUE, 12345); })), unknown);
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
    const std::string in("\xFB\xEF\xBE\0\xFF\xFE\x80", 7);
    const char* const outs[] = {"", "+w==", "++8=", "++++", "++++AA==", "++++AP8=", "++++AP/+", "++++AP/+gA=="};
    for (DWORD cb = 0; cb <= in.size(); ++cb) {
        EXPECT_EQ(
            Encode([&] { return CHttpEncoderA::Base64EncodeLen(cb); },
                   [&](char* p) { CHttpEncoderA::Base64Encode(p, reinterpret_cast<const BYTE*>(in.data()), cb); }),
            outs[cb]);
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

TEST(UrlAnalyzer, PartsOfAUrl) {
    for (const auto& row : Rows("url_parts.txt")) {
        SCOPED_TRACE(row[1] + " in " + row[0]);
        CHttpUrlAnalyzerA a;
        a.Analyze("http://old:1/p?q#f");
        a.Analyze(row[1].c_str(), std::stoul(row[0]));
        char sz[80];
        std::snprintf(sz, sizeof sz, "%lu,%lu %lu,%lu %lu,%lu %lu,%lu %lu,%lu %lu,%lu", a.SchemePos(), a.SchemeLen(),
                      a.AddressPos(), a.AddressLen(), a.PortPos(), a.PortLen(), a.ObjectPos(), a.ObjectLen(),
                      a.QueryPos(), a.QueryLen(), a.FragmentPos(), a.FragmentLen());
        EXPECT_EQ(sz, row[2]);
    }
    CHttpUrlAnalyzerA a;
    a.Analyze("http://h/p");
    for (UINT cp : {CP_UTF8, CP_UTF7}) {
        EXPECT_EQ(Fields(CatchError([&] { a.Analyze("x://y", cp); })),
                  std::make_tuple("CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
                                  "parameter.",
                                  0u, 0u));
    }
    EXPECT_EQ(a.AddressLen() * 10 + a.ObjectLen(), 12u);  // the refused analysis left them
    a.Analyze(nullptr);
    EXPECT_EQ(a.FragmentPos() + a.FragmentLen() + a.AddressLen(), 0u);
}

TEST(UrlAnalyzer, ClientReading) {
    const auto read = [](auto fn) {
        try {
            return fn();
        } catch (const httpclientexceptionA& e) {
            EXPECT_STREQ(e.GetErrorMessage(), GetStockMessage(e.GetErrorCode()));
            return "error " + std::to_string(e.GetErrorCode());
        }
    };
    for (const auto& row : Rows("url_reading.txt")) {
        SCOPED_TRACE(row[0]);
        const char* szUrl = row[0].c_str();
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        EXPECT_EQ(read([&] { return std::to_string(a.GetPort(szUrl)); }), row[1]);
        EXPECT_EQ(std::to_string(a.IsSecure(szUrl)), row[2]);
        EXPECT_EQ(read([&] { return std::string(CHeapPtr<char>(a.GetServerAddress(szUrl)).get()); }), row[3]);
        EXPECT_EQ(CHeapPtr<char>(a.GetObjectName(szUrl)).get(), row[4]);
    }
    // The readers index the analysed string: another one would be read past its end.
    CHttpUrlAnalyzerA a;
    a.Analyze("http://h/p");
    EXPECT_EQ(Fields(CatchError([&] { a.GetObjectName("h"); })),
              std::make_tuple("CHttpUrlAnalyzerT::GetObjectName: szUrl is not the analyzed URL.", 0u, 0u));
    EXPECT_STREQ(CatchError([&] { a.GetPort(nullptr); }).GetErrorMessage(),
                 "CHttpUrlAnalyzerT::GetPort: szUrl can not be NULL.");
    a.Analyze(nullptr);
    EXPECT_STREQ(CHeapPtr<char>(a.GetObjectName(nullptr)).get(), "/");
}

// Each step, and copies made of the object after it (constructed, and assigned over a used one),
// read the same.
TEST(PostStat, StepsOfAnUploadAndCopies) {
    CHttpPostStatA s;
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[] {}, "inactive"},
        {[&] { s._Activate(9, 9, 9, 9); }, "0/9 0/9 0/9 0/9 | - - 0/0 -0 01"},
        {[&] { s._StartNewEntry("x", 5, TRUE, "x"), s._AddPostedBytes(1), s._Activate(500, 30, 3, 2); },
         "0/500 0/30 0/3 0/2 | - - 0/0 -0 01"},
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
        auto* pCopy = new CHttpPostStatA(s);
        CHttpPostStatA assigned;
        assigned._Activate(1, 1, 1, 1);
        assigned._StartNewEntry("old", 1, TRUE, "old");
        assigned = *pCopy;
        delete pCopy;
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
    EXPECT_EQ(State(s), before);
    s._StartNewEntry("next", ~0u);  // its own count starts again, the body's does not
    EXPECT_EQ(CatchError([&] { s._AddPostedBytes(0x10); }).GetErrorCode(), 112u);
    s._AddPostedBytes(0xF);
    EXPECT_EQ(State(s), "4294967295/4294967295 4294967295/4294967295 2/2 0/0 | next - 15/4294967295 -4294967280 00");
}
