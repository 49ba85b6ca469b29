#include "map.h"

#include "errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Tavon;

namespace {

std::vector<std::string> Names(const CHttpClientMapA& map)
{
    std::vector<std::string> out;
    for (const auto& e : map)
        out.push_back(e.szName);
    return out;
}

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

} // namespace

TEST(Map, OrderFoldsAsciiCaseAndKeepsOrderOfAdding)
{
    CHttpClientMapA map;
    for (const char* n : {"b", "A", "a", "B"})
        map.Add(n);
    EXPECT_EQ(Names(map), (std::vector<std::string>{"A", "a", "b", "B"}));

    CHttpClientMapA params;
    for (const char* n : {"version", "file", "Data", "abc", "ab", "Ax", "_x", "\xD6\xD0", "z"})
        params.Add(n);
    // Underscore (0x5F) sorts before every letter once letters fold; high bytes sort last.
    EXPECT_EQ(Names(params),
              (std::vector<std::string>{"_x", "ab", "abc", "Ax", "Data", "file", "version", "z", "\xD6\xD0"}));
}

TEST(Map, LookupCountsAndIndexesWithinOneName)
{
    CHttpClientMapA map;
    map.Add("Accept", "one", 7);
    map.Add("Other", "x");
    map.Add("accept", nullptr, 9);
    map.Add("ACCEPT", "three");

    EXPECT_EQ(map.Count(), 4u);
    EXPECT_EQ(map.Count("aCcEpT"), 3u);
    EXPECT_EQ(map.Count("accep"), 0u);
    EXPECT_STREQ(map.Get("ACCEPT"), "one");
    EXPECT_STREQ(map.Get("ACCEPT", 1), "");  // null value reads as empty
    EXPECT_STREQ(map.Get("ACCEPT", 2), "three");
    EXPECT_EQ(map.Get("ACCEPT", 3), nullptr);
    EXPECT_EQ(map.Get("missing"), nullptr);

    auto it = map.begin();
    EXPECT_EQ(it->dwFlag, 7u);
    ++it;
    EXPECT_EQ(it->szValue, nullptr);
    EXPECT_EQ(it->dwFlag, 9u);
}

TEST(Map, RemoveAllByNameIncludingItsOwnStoredName)
{
    CHttpClientMapA map;
    EXPECT_FALSE(map.RemoveAll());
    EXPECT_EQ(map.Count(), 0u);

    map.Add("Host", "a");
    map.Add("host", "b");
    map.Add("X", "c");
    EXPECT_FALSE(map.RemoveAll("nothing"));
    EXPECT_EQ(map.Count(), 3u);

    // The name argument is the map's own first "Host" string, freed during the call.
    const char* szOwn = map.begin()->szName;
    EXPECT_TRUE(map.RemoveAll(szOwn));
    EXPECT_EQ(map.Count(), 1u);
    EXPECT_EQ(map.Count("HOST"), 0u);
    EXPECT_STREQ(map.Get("x"), "c");

    EXPECT_TRUE(map.RemoveAll(map.begin()->szName));
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_FALSE(map.RemoveAll());
}

TEST(Map, TakesOverHeapStringsAndCopiesOthers)
{
    CHttpClientMapA map;
    char* szName = static_cast<char*>(std::malloc(5));
    char* szValue = static_cast<char*>(std::malloc(3));
    std::strcpy(szName, "Name");
    std::strcpy(szValue, "vv");
    map.AddPointerDirectly(szName, szValue, 3);
    EXPECT_EQ(map.Get("name"), szValue);

    char buf[] = "temp";
    map.Add(buf, buf);
    std::strcpy(buf, "gone");
    EXPECT_STREQ(map.Get("TEMP"), "temp");
}

TEST(Map, NullNamesAreArgumentErrors)
{
    CHttpClientMapA map;
    const struct {
        const char* szMsg;
        void (*fn)(CHttpClientMapA&);
    } cases[] = {
        {"CHttpClientMapT::Add: szName can not be NULL.", [](CHttpClientMapA& m) { m.Add(nullptr, "v"); }},
        {"CHttpClientMapT::AddPointerDirectly: szName can not be NULL.",
         [](CHttpClientMapA& m) { m.AddPointerDirectly(nullptr); }},
        {"CHttpClientMapT::Get: szName can not be NULL.", [](CHttpClientMapA& m) { m.Get(nullptr); }},
        {"CHttpClientMapT::RemoveAll: szName can not be NULL.",
         [](CHttpClientMapA& m) { m.RemoveAll(nullptr); }},
    };
    for (const auto& c : cases) {
        auto e = Catch([&] { c.fn(map); });
        EXPECT_STREQ(e.GetErrorMessage(), c.szMsg);
        EXPECT_EQ(e.GetErrorCode(), 0u);
        EXPECT_EQ(e.GetWin32LastError(), 0u);
    }
    EXPECT_EQ(map.Count(), 0u);
}
