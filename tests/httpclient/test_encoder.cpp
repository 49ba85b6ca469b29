#include "encoder.h"

#include "errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

template <class F>
httpclientexceptionA Catch(F f)
{
    try {
        f();
    } catch (const httpclientexceptionA& e) {
        return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return httpclientexceptionA();
}

const char kSentinel[] = "\xA5\x5A\xA5\x5A";

// Encodes into a buffer of exactly the announced length + 1, followed by a sentinel.
std::string Utf8(const std::string& s, UINT cp)
{
    const DWORD n = CHttpEncoderA::Utf8EncodeLen(s.c_str(), cp);
    std::vector<char> buf(n + 1 + 4, 'x');
    std::memcpy(&buf[n + 1], kSentinel, 4);
    CHttpEncoderA::Utf8Encode(buf.data(), s.c_str(), cp);
    EXPECT_EQ(std::memcmp(&buf[n + 1], kSentinel, 4), 0) << "overran the announced length";
    EXPECT_EQ(std::strlen(buf.data()), n);
    return buf.data();
}

std::string Url(const std::string& s, BOOL bUtf8, UINT cp)
{
    const DWORD n = CHttpEncoderA::UrlEncodeLenA(s.c_str(), bUtf8, cp);
    if (!bUtf8) {
        EXPECT_EQ(_UrlEncodeLen(s.c_str()), n);
    }
    std::vector<char> buf(n + 1 + 4, 'x');
    std::memcpy(&buf[n + 1], kSentinel, 4);
    CHttpEncoderA::UrlEncodeA(buf.data(), s.c_str(), bUtf8, cp);
    EXPECT_EQ(std::memcmp(&buf[n + 1], kSentinel, 4), 0) << "overran the announced length";
    EXPECT_EQ(std::strlen(buf.data()), n);
    return buf.data();
}

// Independent reading of the form encoding: undoes "+" and "%XX", rejects anything else
// that is not a letter or digit.
std::string UrlDecode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            EXPECT_LE(i + 2, s.size() - 1) << s;
            const std::string hex = s.substr(i + 1, 2);
            EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << s;
            out += static_cast<char>(std::stoul(hex, nullptr, 16));
            i += 2;
        } else {
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c))) << s;
            out += c;
        }
    }
    return out;
}

// The whole string converted at once by the platform: what the character walk must equal
// wherever every character is valid in the code page.
std::string PlatformUtf8(const std::string& s, UINT cp)
{
    if (s.empty())
        return s;
    std::wstring w(s.size() + 1, L'\0');
    const int nw = MultiByteToWideChar(cp, 0, s.c_str(), -1, &w[0], static_cast<int>(w.size()));
    std::string out(4 * nw + 1, '\0');
    const int nu = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr,
                                       nullptr);
    out.resize(nu - 1);
    return out;
}

} // namespace

TEST(Encoder, ExamplesInCodePages1252And936)
{
    const struct {
        const char* szIn;
        UINT cp;
        BOOL bUtf8;
        const char* szOut;
    } rows[] = {
        {"a b&c", 1252, FALSE, "a+b%26c"},
        {"a b&c", 936, TRUE, "a+b%26c"},
        {"50%", 1252, FALSE, "50%25"},
        {"x-y_z.~", 936, FALSE, "x%2Dy%5Fz%2E%7E"},
        {"1+1*", 1252, TRUE, "1%2B1%2A"},
        {"\xE9", 1252, FALSE, "%E9"},
        {"\xE9", 1252, TRUE, "%C3%A9"},
        {"\xD6\xD0", 936, TRUE, "%E4%B8%AD"},
        {"\xD6\xD0", 936, FALSE, "%D6%D0"},
        {"\x80", 1252, TRUE, "%E2%82%AC"},
        {"", 936, TRUE, ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Url(r.szIn, r.bUtf8, r.cp), r.szOut) << r.szIn << " cp " << r.cp << " utf8 " << r.bUtf8;

    EXPECT_EQ(Utf8("\xE9", 1252), "\xC3\xA9");
    EXPECT_EQ(Utf8("a\xD6\xD0z", 936), "a\xE4\xB8\xADz");
    EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen("\xE9", 1252), 1u);
    EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen("\xD6\xD0", 936), 2u);

    for (const char* sz : {(const char*)nullptr, ""}) {
        EXPECT_EQ(CHttpEncoderA::Utf8EncodeLen(sz, 936), 0u);
        EXPECT_EQ(CHttpEncoderA::UrlEncodeLenA(sz, TRUE, 936), 0u);
        EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen(sz, 936), 0u);
        char buf[2] = "?";
        EXPECT_STREQ(CHttpEncoderA::Utf8Encode(buf, sz, 936), "");
        buf[0] = '?';
        EXPECT_STREQ(CHttpEncoderA::UrlEncodeA(buf, sz, FALSE, 936), "");
    }
}

TEST(Encoder, RandomStringsEncodeToTheAnnouncedLengthAndDecodeBack)
{
    std::mt19937 rng(61206);
    for (UINT cp : {1252u, 936u}) {
        for (int n = 0; n < 1500; ++n) {
            // Printable ASCII, high bytes and, in 936, valid GB2312 pairs.
            std::string s;
            const int len = rng() % 40;
            for (int i = 0; i < len; ++i) {
                if (cp == 936 && rng() % 3 == 0) {
                    s += static_cast<char>(0xB0 + rng() % 0x28);
                    s += static_cast<char>(0xA1 + rng() % 0x5E);
                } else {
                    s += static_cast<char>(cp == 936 ? 0x20 + rng() % 0x5F : 1 + rng() % 255);
                }
            }
            const std::string utf8 = Utf8(s, cp);
            ASSERT_EQ(utf8, PlatformUtf8(s, cp)) << s;
            ASSERT_EQ(UrlDecode(Url(s, FALSE, cp)), s);
            ASSERT_EQ(UrlDecode(Url(s, TRUE, cp)), utf8);
        }
    }
}

TEST(Encoder, ArbitraryBytesIn936KeepLengthsAndEncodingsInStep)
{
    // Invalid pairs and lone lead bytes included: whatever the platform makes of them, the
    // announced lengths must match what is written (or both operations must fail alike).
    std::mt19937 rng(936);
    for (int n = 0; n < 3000; ++n) {
        std::string s;
        const int len = 1 + rng() % 12;
        for (int i = 0; i < len; ++i)
            s += static_cast<char>(1 + rng() % 255);
        for (BOOL bUtf8 : {FALSE, TRUE}) {
            DWORD code = 0;
            try {
                Url(s, bUtf8, 936);
                Utf8(s, 936);
            } catch (const httpclientexceptionA& e) {
                code = e.GetErrorCode();
            }
            ASSERT_TRUE(code == 0 || code == 600 || code == 601) << code;
        }
    }
}

TEST(Encoder, LoneLeadByteAtTheEndOfAGuardedPage)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const DWORD cbPage = si.dwPageSize;
    BYTE* pBase = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * cbPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(pBase, nullptr);
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pBase + cbPage, cbPage, PAGE_NOACCESS, &dwOld));

    // "a", the lead byte 0xD6 and the terminator as the page's last three bytes.
    char* sz = reinterpret_cast<char*>(pBase + cbPage - 3);
    std::memcpy(sz, "a\xD6", 3);
    const std::string lone = Utf8(sz, 936);  // what the platform makes of a lone lead byte
    EXPECT_EQ(lone.substr(0, 1), "a");
    EXPECT_GT(lone.size(), 1u);
    EXPECT_EQ(CHttpEncoderA::UrlEncodeLenA(sz, TRUE, 936), 1 + 3 * (lone.size() - 1));
    EXPECT_EQ(Url(sz, FALSE, 936), "a%D6");
    EXPECT_EQ(Url(sz, TRUE, 936).substr(0, 1), "a");

    VirtualFree(pBase, 0, MEM_RELEASE);
}

TEST(Encoder, FailuresCarryTheirCodesAndTexts)
{
    char buf[8];
    auto e = Catch([&] { CHttpEncoderA::_AnsiCharToUtf8Char(nullptr, "a", 1252); });
    EXPECT_STREQ(e.GetErrorMessage(),
                 "CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.");
    EXPECT_EQ(e.GetErrorCode(), 0u);
    EXPECT_STREQ(Catch([&] { CHttpEncoderA::_AnsiCharToUtf8Char(buf, nullptr, 1252); }).GetErrorMessage(),
                 "CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.");
    EXPECT_STREQ(Catch([&] { CHttpEncoderA::Utf8Encode(nullptr, "a", 1252); }).GetErrorMessage(),
                 "CHttpEncoderA::Utf8Encode: szBuff can not be NULL.");
    EXPECT_STREQ(Catch([&] { CHttpEncoderA::UrlEncodeA(nullptr, "a", TRUE, 1252); }).GetErrorMessage(),
                 "CHttpEncoderA::UrlEncodeA: szBuff can not be NULL.");
    try {
        _UrlEncodeLen(nullptr);
        ADD_FAILURE();
    } catch (const httpclientexceptionW& w) {
        EXPECT_STREQ(w.GetErrorMessage(), L"_UrlEncodeLen: szStr can not be NULL.");
        EXPECT_EQ(w.GetErrorCode(), 0u);
    }

    // A code page the platform does not know fails the per-character conversion.
    e = Catch([] { CHttpEncoderA::Utf8EncodeLen("a", 12345); });
    EXPECT_EQ(e.GetErrorCode(), 601u);
    EXPECT_STREQ(e.GetErrorMessage(), "::MultiByteToWideChar failed.");
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Catch([&] { CHttpEncoderA::UrlEncodeA(buf, "a", TRUE, 12345); }).GetErrorCode(), 601u);
    EXPECT_STREQ(buf, "");
}

TEST(Encoder, LengthSumsThatWouldWrapAreRefused)
{
    // Strings long enough to wrap 32 bits cannot be built here; the sums are checked by
    // continuing one from just below the limit.
    EXPECT_EQ(CHttpEncoderA::_Utf8EncodeLenFrom(0xFFFFFFFDu, "\xE9", 1252), 0xFFFFFFFFu);
    EXPECT_EQ(CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFF9u, "\xE9", TRUE, 1252), 0xFFFFFFFFu);
    const auto wraps = [](auto f) {
        try {
            f();
        } catch (const SafeIntException& e) {
            return e.m_code == 534;
        }
        return false;
    };
    EXPECT_TRUE(wraps([] { CHttpEncoderA::_Utf8EncodeLenFrom(0xFFFFFFFEu, "\xE9", 1252); }));
    EXPECT_TRUE(wraps([] { CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFFAu, "\xE9", TRUE, 1252); }));
    EXPECT_TRUE(wraps([] { CHttpEncoderA::_UrlEncodeLenFrom(0xFFFFFFFEu, "-", FALSE, 1252); }));
}
