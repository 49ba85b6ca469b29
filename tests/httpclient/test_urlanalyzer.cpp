#include "urlanalyzer.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

std::string Take(CHAR* sz) {
    std::string s = sz;
    std::free(sz);
    return s;
}

std::vector<DWORD> Parts(const char* szUrl, UINT cp) {
    CHttpUrlAnalyzerA a;
    a.Analyze(szUrl, cp);
    return {a.SchemePos(), a.SchemeLen(), a.AddressPos(), a.AddressLen(), a.PortPos(),     a.PortLen(),
            a.ObjectPos(), a.ObjectLen(), a.QueryPos(),   a.QueryLen(),   a.FragmentPos(), a.FragmentLen()};
}

}  // namespace

TEST(UrlAnalyzer, WorkedExamples) {
    const struct {
        const char* szUrl;
        UINT cp;
        std::vector<DWORD> parts;
    } rows[] = {
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
        // In 936 0x81 - 0xFE lead, and the trail bytes "/", ":", "?", "#" do not delimit;
        // a lead byte just before the terminator counts once.
        {"http://\x81/\x82:h:1/\x83?o?\x84#q#\x85", 936, {0, 4, 7, 5, 13, 1, 14, 4, 18, 4, 22, 2}},
        {"http://\x81/\x82:h:1/\x83?o?\x84#q#\x85", 1252, {0, 4, 7, 1, 8, 0, 8, 8, 16, 4, 20, 4}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Parts(r.szUrl, r.cp), r.parts) << r.szUrl << " in " << r.cp;
}

TEST(UrlAnalyzer, ClientReadingOfExamples) {
    const struct {
        const char* szUrl;
        INTERNET_PORT nPort;
        BOOL bSecure;
        const char* szAddress;
        const char* szObject;
    } rows[] = {
        {"http://host:8080/a/b?x=1#top", 8080, FALSE, "host", "/a/b?x=1#top"},
        {"HtTpS://host", 443, TRUE, "host", "/"},
        {"host:81", 81, FALSE, "host", "/"},
        {"http://host?x=1", 80, FALSE, "host", "/?x=1"},
        {"http://host:/p", 80, FALSE, "host", "/p"},
        {"http://host#f", 80, FALSE, "host", "/#f"},
        {"httpsx://h", 80, FALSE, "h", "/"},
        {"httpz://h", 80, FALSE, "h", "/"},
        {"http://h: +0", 0, FALSE, "h", "/"},
        {"http://h:65535", 65535, FALSE, "h", "/"},
    };
    for (const auto& r : rows) {
        CHttpUrlAnalyzerA a;
        a.Analyze(r.szUrl);
        EXPECT_EQ(a.GetPort(r.szUrl), r.nPort) << r.szUrl;
        EXPECT_EQ(a.IsSecure(r.szUrl), r.bSecure) << r.szUrl;
        EXPECT_EQ(Take(a.GetServerAddress(r.szUrl)), r.szAddress) << r.szUrl;
        EXPECT_EQ(Take(a.GetObjectName(r.szUrl)), r.szObject) << r.szUrl;
    }
}

TEST(UrlAnalyzer, BadUrlsAndMisuseGiveTheirErrors) {
    for (const char* szUrl : {"http://h:99999999/", "http://h:70000", "http://h:80:90", "http://h:-1",
                              "http://h: ", "http://h:0x10", "http://user:pw@h/"}) {
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        auto e = CatchError([&] { a.GetPort(szUrl); });
        EXPECT_EQ(e.GetErrorCode(), 107u) << szUrl;
        EXPECT_STREQ(e.GetErrorMessage(), "The port number is not valid.");
    }
    for (const char* szUrl : {(const char*)nullptr, "", "http:///p", ":80/x"}) {
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        auto e = CatchError([&] { a.GetServerAddress(szUrl); });
        EXPECT_EQ(e.GetErrorCode(), 103u);
        EXPECT_STREQ(e.GetErrorMessage(), "The requested URL is not a valid URL.");
    }

    CHttpUrlAnalyzerA a;
    a.Analyze("http://h/p");
    for (UINT cp : {CP_UTF8, CP_UTF7}) {
        auto e = CatchError([&] { a.Analyze("x://y", cp); });
        EXPECT_STREQ(e.GetErrorMessage(),
                     "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
        EXPECT_EQ(e.GetErrorCode(), 0u);
    }
    EXPECT_EQ(a.AddressLen(), 1u);
    // Reading with a string other than the analysed one would index past its end.
    EXPECT_STREQ(CatchError([&] { a.GetObjectName("h"); }).GetErrorMessage(),
                 "CHttpUrlAnalyzerT::GetObjectName: szUrl is not the analyzed URL.");
    EXPECT_STREQ(CatchError([&] { a.GetPort(nullptr); }).GetErrorMessage(),
                 "CHttpUrlAnalyzerT::GetPort: szUrl can not be NULL.");
}

TEST(UrlAnalyzer, RandomUrlsSplitIntoContiguousPartsWithinTheString) {
    std::mt19937 rng(20261206);
    const char alphabet[] = ":/?#ab1 \x81\xB0\xFF";
    for (UINT cp : {1252u, 936u}) {
        for (int n = 0; n < 3000; ++n) {
            std::string s;
            for (int i = rng() % 24; i > 0; --i)
                s += alphabet[rng() % (sizeof(alphabet) - 1)];
            const std::vector<DWORD> p = Parts(s.c_str(), cp);
            const DWORD nSep = s.compare(p[1], 3, "://") == 0 ? 3 : 0;
            ASSERT_TRUE(nSep || p[1] == 0) << s;
            ASSERT_EQ(p[2], p[1] + nSep) << s;
            const DWORD nAddrEnd = p[2] + p[3];
            ASSERT_EQ(p[4], nAddrEnd + (nAddrEnd < s.size() && s[nAddrEnd] == ':')) << s;
            ASSERT_EQ(p[6], p[4] + p[5]) << s;
            ASSERT_EQ(p[8], p[6] + p[7]) << s;
            ASSERT_EQ(p[10], p[8] + p[9]) << s;
            ASSERT_EQ(p[10] + p[11], s.size()) << s;
            ASSERT_TRUE(p[9] == 0 || s[p[8]] == '?') << s;
            ASSERT_TRUE(p[11] == 0 || s[p[10]] == '#') << s;
        }
    }
}
