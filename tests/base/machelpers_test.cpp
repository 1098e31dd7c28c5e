#include "machelpers.h"

#include "stringstable.h"

#include "scopedenvironment.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

TEST(FormatDate, GivesLocalTimeAlsoAfter2038)
{
    const struct {
        const char* zone;
        uint32_t time;
        const char* text;
    } cases[] = {{"UTC", 0, "1970-01-01 00:00:00"},
                 {"UTC", 0x80000000u, "2038-01-19 03:14:08"},
                 {"UTC", 0xFFFFFFFFu, "2106-02-07 06:28:15"},
                 {"CET-1CEST,M3.5.0,M10.5.0/3", 0, "1970-01-01 01:00:00"},
                 {"CET-1CEST,M3.5.0,M10.5.0/3", 1719835200, "2024-07-01 14:00:00"}}; // summer time
    {
        ScopedEnvironment environment;
        for (const auto& c : cases) {
            environment.set("TZ", c.zone);
            ::tzset();
            EXPECT_EQ(formatDate(c.time), c.text) << c.zone << " " << c.time;
        }
    }
    ::tzset(); // the process's own zone again
}

// The shipped tables: a key no table has answers itself (text) or nothing (info value).
TEST(ResourceTables, LocalizeAndInfoValueReadTheShippedTablesAndTellAMissingKey)
{
    EXPECT_EQ(localize("NoSuchKeyInAnyTable"), "NoSuchKeyInAnyTable");
    EXPECT_EQ(infoValue("NoSuchInfoKey"), std::nullopt);
    EXPECT_EQ(infoValue("AppName"), "Gleaner");
    for (const char* key : {"AppNameShort", "HelpFile", "NSHumanReadableCopyright", "CFBundleShortVersionString"}) {
        const std::optional<std::string> value = infoValue(key);
        ASSERT_TRUE(value.has_value()) << key;
        EXPECT_FALSE(value->empty()) << key;
    }
    if (userInterfaceLanguage() != "en")
        GTEST_SKIP() << "the user-interface language is " << userInterfaceLanguage() << ", not en";
    EXPECT_EQ(localize("SearchResults"), "Search Results");
}
