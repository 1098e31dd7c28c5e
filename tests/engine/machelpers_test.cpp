#include "machelpers.h"

#include "stringstable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// Puts the process in one time zone for a test and restores the previous one.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            saved = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        if (saved)
            ::setenv("TZ", saved->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved;
};

} // namespace

TEST(FormatDate, GivesUtcTimesInUtc)
{
    TimeZone utc("UTC");
    EXPECT_EQ(formatDate(0), "1970-01-01 00:00:00");
    EXPECT_EQ(formatDate(86399), "1970-01-01 23:59:59");
}

TEST(FormatDate, DatesAfter2038AreValid)
{
    TimeZone utc("UTC");
    EXPECT_EQ(formatDate(0x80000000u), "2038-01-19 03:14:08");
    EXPECT_EQ(formatDate(0xFFFFFFFFu), "2106-02-07 06:28:15");
}

TEST(FormatDate, UsesTheLocalTimeZone)
{
    TimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(formatDate(0), "1970-01-01 01:00:00");
    EXPECT_EQ(formatDate(1719835200), "2024-07-01 14:00:00"); // summer time
}

TEST(Localize, AnswersTheKeyWhenNoTableHasIt)
{
    EXPECT_EQ(localize("NoSuchKeyInAnyTable"), "NoSuchKeyInAnyTable");
    EXPECT_EQ(localize(""), "");
}

TEST(Localize, ReadsTheResourceTable)
{
    if (userInterfaceLanguage() != "en")
        GTEST_SKIP() << "the user-interface language is " << userInterfaceLanguage() << ", not en";
    EXPECT_EQ(localize("SearchResults"), "Search Results");
    EXPECT_EQ(localize("Deleted"), "Deleted");
}
