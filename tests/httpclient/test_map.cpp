#include "map.h"

#include "catch_error.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace Tavon;

namespace {

std::string Names(const CHttpClientMapA& map) {
    std::string out;
    for (const auto& e : map)
        out += std::string(e.szName) + " ";
    return out;
}

}  // namespace

TEST(Map, OrderFoldsAsciiCaseAndKeepsOrderOfAdding) {
    CHttpClientMapA map;
    for (const char* n : {"b", "A", "a", "B", "version", "file", "Data", "abc", "ab", "Ax", "_x", "\xD6\xD0"})
        map.Add(n);
    // "_" (0x5F) sorts before the folded letters; bytes compare unsigned.
    EXPECT_EQ(Names(map), "_x A a ab abc Ax b B Data file version \xD6\xD0 ");
}

TEST(Map, LookupCountsAndIndexesWithinOneName) {
    CHttpClientMapA map;
    map.Add("Accept", "one", 7);
    map.Add("Other", "x");
    map.Add("accept", nullptr, 9);
    map.Add("ACCEPT", "three");

    EXPECT_EQ(map.Count(), 4u);
    EXPECT_EQ(map.Count("aCcEpT"), 3u);
    EXPECT_EQ(map.Count("accep"), 0u);
    EXPECT_STREQ(map.Get("ACCEPT"), "one");
    EXPECT_STREQ(map.Get("ACCEPT", 1), "");  // null value
    EXPECT_STREQ(map.Get("ACCEPT", 2), "three");
    EXPECT_EQ(map.Get("ACCEPT", 3), nullptr);
    EXPECT_EQ(map.Get("missing"), nullptr);
    auto it = map.begin();
    EXPECT_EQ((it++)->dwFlag, 7u);
    EXPECT_EQ(it->szValue, nullptr);
    EXPECT_EQ(it->dwFlag, 9u);
}

TEST(Map, RemoveAllByNameIncludingItsOwnStoredName) {
    CHttpClientMapA map;
    EXPECT_FALSE(map.RemoveAll());
    map.Add("Host", "a");
    map.Add("host", "b");
    map.Add("X", "c");
    EXPECT_FALSE(map.RemoveAll("nothing"));
    EXPECT_EQ(map.Count(), 3u);

    // The argument is the map's own first "Host" string, freed during the call.
    EXPECT_TRUE(map.RemoveAll(map.begin()->szName));
    EXPECT_EQ(Names(map), "X ");
    EXPECT_EQ(map.Count(), 1u);
    EXPECT_TRUE(map.RemoveAll());
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.Count(), 0u);
}

TEST(Map, OwnsCopiesAndTakesOverHeapStrings) {
    CHttpClientMapA map;
    char* szName = static_cast<char*>(std::malloc(5));
    std::strcpy(szName, "Name");
    map.AddPointerDirectly(szName, nullptr, 3);
    EXPECT_EQ(map.begin()->szName, szName);

    char buf[] = "temp";
    map.Add(buf, buf);
    std::strcpy(buf, "gone");
    EXPECT_STREQ(map.Get("TEMP"), "temp");
}

TEST(Map, NullNamesAreArgumentErrorsAndChangeNothing) {
    CHttpClientMapA map;
    const std::pair<const char*, void (*)(CHttpClientMapA&)> cases[] = {
        {"Add", [](CHttpClientMapA& m) { m.Add(nullptr, "v"); }},
        {"AddPointerDirectly", [](CHttpClientMapA& m) { m.AddPointerDirectly(nullptr); }},
        {"Get", [](CHttpClientMapA& m) { m.Get(nullptr); }},
        {"RemoveAll", [](CHttpClientMapA& m) { m.RemoveAll(nullptr); }},
    };
    for (const auto& c : cases) {
        auto e = CatchError([&] { c.second(map); });
        EXPECT_EQ(std::string(e.GetErrorMessage()),
                  std::string("CHttpClientMapT::") + c.first + ": szName can not be NULL.");
        EXPECT_EQ(e.GetErrorCode() + e.GetWin32LastError(), 0u);
    }
    EXPECT_EQ(map.Count(), 0u);
}
