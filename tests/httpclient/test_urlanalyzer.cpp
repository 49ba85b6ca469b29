#include "urlanalyzer.h"

#include "errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

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

std::string Take(CHAR* sz)
{
    std::string s = sz;
    std::free(sz);
    return s;
}

struct Parts {
    DWORD v[12];
};

Parts Of(const CHttpUrlAnalyzerA& a)
{
    return {{a.SchemePos(), a.SchemeLen(), a.AddressPos(), a.AddressLen(), a.PortPos(), a.PortLen(), a.ObjectPos(),
             a.ObjectLen(), a.QueryPos(), a.QueryLen(), a.FragmentPos(), a.FragmentLen()}};
}

} // namespace

TEST(UrlAnalyzer, WorkedExamples)
{
    const struct {
        const char* szUrl;
        DWORD v[12];
    } rows[] = {
        {"http://host:8080/a/b?x=1#top", {0, 4, 7, 4, 12, 4, 16, 4, 20, 4, 24, 4}},
        {"https://host", {0, 5, 8, 4, 12, 0, 12, 0, 12, 0, 12, 0}},
        {"host:81", {0, 0, 0, 4, 5, 2, 7, 0, 7, 0, 7, 0}},
        {"host/a", {0, 0, 0, 4, 4, 0, 4, 2, 6, 0, 6, 0}},
        {"http://host?x=1", {0, 4, 7, 4, 11, 0, 11, 0, 11, 4, 15, 0}},
        {"http://host:/p", {0, 4, 7, 4, 12, 0, 12, 2, 14, 0, 14, 0}},
        {"http://host/a#b?c", {0, 4, 7, 4, 11, 0, 11, 2, 13, 0, 13, 4}},
        {"host/r?u=http://x/y", {0, 13, 16, 1, 17, 0, 17, 2, 19, 0, 19, 0}},
        {"://h/p", {0, 0, 3, 1, 4, 0, 4, 2, 6, 0, 6, 0}},
        {"h:80:90/?a?b#c#d", {0, 0, 0, 1, 2, 5, 7, 1, 8, 4, 12, 4}},
        {"/p", {0, 0, 0, 0, 0, 0, 0, 2, 2, 0, 2, 0}},
    };
    for (const auto& r : rows) {
        CHttpUrlAnalyzerA a;
        a.Analyze(r.szUrl, 1252);
        const Parts p = Of(a);
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(p.v[i], r.v[i]) << r.szUrl << " field " << i;
    }
}

TEST(UrlAnalyzer, ClientReadingOfExamples)
{
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

TEST(UrlAnalyzer, BadPortsAndAddressesAreRejected)
{
    for (const char* szUrl : {"http://h:99999999/", "http://h:70000", "http://h:80:90", "http://h:-1",
                              "http://h: ", "http://h:0x10", "http://user:pw@h/"}) {
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        auto e = Catch([&] { a.GetPort(szUrl); });
        EXPECT_EQ(e.GetErrorCode(), 107u) << szUrl;
        EXPECT_STREQ(e.GetErrorMessage(), "The port number is not valid.");
    }
    for (const char* szUrl : {(const char*)nullptr, "", "http:///p", ":80/x"}) {
        CHttpUrlAnalyzerA a;
        a.Analyze(szUrl);
        auto e = Catch([&] { a.GetServerAddress(szUrl); });
        EXPECT_EQ(e.GetErrorCode(), 103u);
        EXPECT_STREQ(e.GetErrorMessage(), "The requested URL is not a valid URL.");
    }
}

TEST(UrlAnalyzer, MisuseIsAnArgumentErrorAndKeepsTheFields)
{
    CHttpUrlAnalyzerA a;
    a.Analyze("http://h/p");
    for (UINT cp : {CP_UTF8, CP_UTF7}) {
        auto e = Catch([&] { a.Analyze("x://y", cp); });
        EXPECT_STREQ(e.GetErrorMessage(),
                     "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.");
        EXPECT_EQ(e.GetErrorCode(), 0u);
    }
    EXPECT_EQ(a.AddressLen(), 1u);
    // Reading with a string other than the analysed one would index past its end.
    EXPECT_STREQ(Catch([&] { a.GetObjectName("h"); }).GetErrorMessage(),
                 "CHttpUrlAnalyzerT::GetObjectName: szUrl is not the analyzed URL.");
    EXPECT_STREQ(Catch([&] { a.GetPort(nullptr); }).GetErrorMessage(),
                 "CHttpUrlAnalyzerT::GetPort: szUrl can not be NULL.");
}

TEST(UrlAnalyzer, DoubleByteTrailBytesAreNotDelimiters)
{
    // In code page 936 0x81 - 0xFE lead; the trail bytes here are '/', ':', '?', '#' and '\'.
    const std::string szUrl = "http://\x81/\x82:h:1/\x83?o?\x84#q#\x85";
    CHttpUrlAnalyzerA a;
    a.Analyze(szUrl.c_str(), 936);
    const Parts p = Of(a);
    const DWORD expect[12] = {0, 4, 7, 5, 13, 1, 14, 4, 18, 4, 22, 2};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(p.v[i], expect[i]) << "field " << i;

    // The same bytes in a single-byte code page do delimit.
    a.Analyze(szUrl.c_str(), 1252);
    EXPECT_EQ(a.AddressLen(), 1u);

    // A lead byte just before the terminator counts once.
    a.Analyze("http://h/\x81", 936);
    EXPECT_EQ(a.ObjectLen(), 2u);
    EXPECT_EQ(a.FragmentPos(), 10u);
}

TEST(UrlAnalyzer, RandomUrlsSplitIntoContiguousPartsWithinTheString)
{
    std::mt19937 rng(20261206);
    const char alphabet[] = ":/?#ab1 \x81\xB0\xFF";
    for (UINT cp : {1252u, 936u}) {
        for (int n = 0; n < 3000; ++n) {
            std::string s;
            const int len = rng() % 24;
            for (int i = 0; i < len; ++i)
                s += alphabet[rng() % (sizeof(alphabet) - 1)];
            CHttpUrlAnalyzerA a;
            a.Analyze(s.c_str(), cp);
            const DWORD nSep = s.compare(a.SchemeLen(), 3, "://") == 0 ? 3 : 0;
            ASSERT_TRUE(nSep || a.SchemeLen() == 0) << s;
            ASSERT_EQ(a.AddressPos(), a.SchemeLen() + nSep) << s;
            const DWORD nAddrEnd = a.AddressPos() + a.AddressLen();
            const DWORD nColon = nAddrEnd < s.size() && s[nAddrEnd] == ':' ? 1 : 0;
            ASSERT_EQ(a.PortPos(), nAddrEnd + nColon) << s;
            ASSERT_EQ(a.ObjectPos(), a.PortPos() + a.PortLen()) << s;
            ASSERT_EQ(a.QueryPos(), a.ObjectPos() + a.ObjectLen()) << s;
            ASSERT_EQ(a.FragmentPos(), a.QueryPos() + a.QueryLen()) << s;
            ASSERT_EQ(a.FragmentPos() + a.FragmentLen(), s.size()) << s;
            ASSERT_TRUE(a.QueryLen() == 0 || s[a.QueryPos()] == '?') << s;
            ASSERT_TRUE(a.FragmentLen() == 0 || s[a.FragmentPos()] == '#') << s;
        }
    }
}
