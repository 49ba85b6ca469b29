#include "encoder.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

// Encodes into a buffer of exactly the announced length + 1 followed by a sentinel.
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

std::string Utf8(const char* sz, UINT cp) {
    return Encode([&] { return CHttpEncoderA::Utf8EncodeLen(sz, cp); },
                  [&](char* p) { CHttpEncoderA::Utf8Encode(p, sz, cp); });
}

std::string Url(const char* sz, BOOL bUtf8, UINT cp) {
    if (!bUtf8 && sz) {
        EXPECT_EQ(_UrlEncodeLen(sz), CHttpEncoderA::UrlEncodeLenA(sz, FALSE, cp));
    }
    return Encode([&] { return CHttpEncoderA::UrlEncodeLenA(sz, bUtf8, cp); },
                  [&](char* p) { CHttpEncoderA::UrlEncodeA(p, sz, bUtf8, cp); });
}

// Undoes the form encoding and insists that only letters and digits went unescaped.
std::string UrlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isxdigit(s[i + 1]) && !islower(s[i + 1]) && isxdigit(s[i + 2]) &&
            !islower(s[i + 2])) {
            out += static_cast<char>(std::stoul(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            EXPECT_TRUE(s[i] == '+' || isalnum(static_cast<unsigned char>(s[i]))) << s;
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

// The platform's conversion of the whole string at once.
std::string PlatformUtf8(const std::string& s, UINT cp) {
    std::wstring w(s.size() + 1, L'\0');
    MultiByteToWideChar(cp, 0, s.c_str(), -1, &w[0], static_cast<int>(w.size()));
    std::string out(4 * w.size(), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    return out.c_str();
}

// A read of the guard page ends the run at once instead of waiting on the crash dialog.
LONG WINAPI FailOnGuardPage(EXCEPTION_POINTERS*) {
    std::fputs("read past the terminator\n", stderr);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

TEST(Encoder, ExamplesInCodePages1252And936) {
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
        {nullptr, 936, TRUE, ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Url(r.szIn, r.bUtf8, r.cp), r.szOut) << r.szOut << " cp " << r.cp << " utf8 " << r.bUtf8;

    EXPECT_EQ(Utf8("\xE9", 1252), "\xC3\xA9");
    EXPECT_EQ(Utf8("a\xD6\xD0z", 936), "a\xE4\xB8\xADz");
    EXPECT_EQ(Utf8(nullptr, 936), "");
    EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen("\xE9", 1252), 1u);
    EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen("\xD6\xD0", 936), 2u);
    EXPECT_EQ(CHttpEncoderA::AnsiEncodeLen(nullptr, 936), 0u);
}

TEST(Encoder, RandomBytesEncodeToTheAnnouncedLengthAndDecodeBack) {
    // In 936 this includes invalid pairs and lone lead bytes: whatever the platform makes of
    // them, the announced lengths must be what is written.
    std::mt19937 rng(61206);
    for (UINT cp : {1252u, 936u}) {
        for (int n = 0; n < 2000; ++n) {
            std::string s;
            for (int i = rng() % 24; i > 0; --i)
                s += static_cast<char>(1 + rng() % 255);
            const std::string utf8 = Utf8(s.c_str(), cp);
            ASSERT_TRUE(cp != 1252 || utf8 == PlatformUtf8(s, cp)) << s;
            ASSERT_EQ(UrlDecode(Url(s.c_str(), FALSE, cp)), s);
            ASSERT_EQ(UrlDecode(Url(s.c_str(), TRUE, cp)), utf8);
        }
    }
    // Valid GB2312 pairs between ASCII convert as the whole string does.
    for (int n = 0; n < 500; ++n) {
        std::string s;
        for (int i = rng() % 12; i > 0; --i) {
            s += static_cast<char>(0xB0 + rng() % 0x28);
            s += static_cast<char>(rng() % 2 ? 0xA1 + rng() % 0x5E : 0x21 + rng() % 0x5E);
        }
        ASSERT_EQ(Utf8(s.c_str(), 936), PlatformUtf8(s, 936)) << s;
    }
}

TEST(Encoder, LoneLeadByteAtTheEndOfAGuardedPage) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    BYTE* pBase = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pBase, nullptr);
    DWORD dwOld;
    ASSERT_TRUE(VirtualProtect(pBase + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld));
    char* sz = reinterpret_cast<char*>(pBase + si.dwPageSize - 3);
    std::memcpy(sz, "a\xD6", 3);  // the terminator is the page's last byte
    SetUnhandledExceptionFilter(FailOnGuardPage);

    const std::string lone = Utf8(sz, 936);
    EXPECT_EQ(lone[0], 'a');
    EXPECT_GT(lone.size(), 1u);
    EXPECT_EQ(Url(sz, FALSE, 936), "a%D6");
    EXPECT_EQ(UrlDecode(Url(sz, TRUE, 936)), lone);
    SetUnhandledExceptionFilter(nullptr);
    VirtualFree(pBase, 0, MEM_RELEASE);
}

TEST(Encoder, FailuresCarryTheirCodesAndTexts) {
    char buf[8];
    const std::pair<const char*, std::function<void()>> args[] = {
        {"CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.",
         [] { CHttpEncoderA::_AnsiCharToUtf8Char(nullptr, "a", 1252); }},
        {"CHttpEncoderA::_AnsiCharToUtf8Char: szUtf8Char and szAnsiChar can not be NULL.",
         [&] { CHttpEncoderA::_AnsiCharToUtf8Char(buf, nullptr, 1252); }},
        {"CHttpEncoderA::Utf8Encode: szBuff can not be NULL.", [] { CHttpEncoderA::Utf8Encode(nullptr, "a", 1252); }},
        {"CHttpEncoderA::UrlEncodeA: szBuff can not be NULL.",
         [] { CHttpEncoderA::UrlEncodeA(nullptr, "a", TRUE, 1252); }},
    };
    for (const auto& a : args) {
        auto e = CatchError(a.second);
        EXPECT_STREQ(e.GetErrorMessage(), a.first);
        EXPECT_EQ(e.GetErrorCode() + e.GetWin32LastError(), 0u);
    }
    auto w = CatchError<httpclientexceptionW>([] { _UrlEncodeLen(nullptr); });
    EXPECT_STREQ(w.GetErrorMessage(), L"_UrlEncodeLen: szStr can not be NULL.");
    EXPECT_EQ(w.GetErrorCode(), 0u);

    // A code page the platform does not know fails the per-character conversion.
    auto e = CatchError([] { CHttpEncoderA::Utf8EncodeLen("a", 12345); });
    EXPECT_EQ(e.GetErrorCode(), 601u);
    EXPECT_STREQ(e.GetErrorMessage(), "::MultiByteToWideChar failed.");
    EXPECT_EQ(e.GetWin32LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(CatchError([&] { CHttpEncoderA::UrlEncodeA(buf, "a", TRUE, 12345); }).GetErrorCode(), 601u);
    EXPECT_STREQ(buf, "");
}

TEST(Encoder, LengthSumsThatWouldWrapAreRefused) {
    // No string here is long enough to wrap 32 bits, so the sums are continued from near the limit.
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

TEST(Encoder, Base64StandardVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : vectors) {
        const DWORD cb = static_cast<DWORD>(std::strlen(v.first));
        const std::string str =
            Encode([&] { return CHttpEncoderA::Base64EncodeLen(cb); },
                   [&](char* buf) { CHttpEncoderA::Base64Encode(buf, reinterpret_cast<const BYTE*>(v.first), cb); });
        EXPECT_EQ(str, v.second);
    }
    // High bytes, and the two digits past the letters and numbers.
    const BYTE aby[] = {0x00, 0xFF, 0xFE, 0x80};
    char buf[9];
    EXPECT_STREQ(CHttpEncoderA::Base64Encode(buf, aby, 4), "AP/+gA==");
    EXPECT_EQ(CatchError([] { CHttpEncoderA::Base64EncodeLen(0xFFFFFFFFu); }).GetErrorCode(), 112u);
}
