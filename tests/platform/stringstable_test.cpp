#include "stringstable.h"

#include "fakesysfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

using sysfstest::FakeSysfs;
using sysfstest::ScratchDirectory;

namespace {

// Sets the locale variables for one test and restores them afterwards.
class LocaleEnvironment {
public:
    LocaleEnvironment()
    {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
            ::unsetenv(name);
        }
    }
    ~LocaleEnvironment()
    {
        for (const auto& [name, value] : saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    void set(const char* name, const char* value) { ::setenv(name, value, 1); }

private:
    static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::map<std::string, std::optional<std::string>> saved;
};

} // namespace

TEST(StringsTable, ParsesEntriesCommentsAndEscapes)
{
    StringsMap table;
    std::string error;
    ASSERT_TRUE(parseStringsTable("\xEF\xBB\xBF/* heading\n  comment */\n"
                                  "\"Deleted\" = \"Gel\xC3\xB6scht\";\n"
                                  "// a line comment with \"quotes\" = \"x\";\n"
                                  "\"Quote\"=\"say \\\"hi\\\"\";\"Path\" = \"a\\\\b\";\n"
                                  "\"Lines\" = \"one\\ntwo\\tthree\";\n",
                                  table, &error))
        << error;
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table["Deleted"], "Gel\xC3\xB6scht");
    EXPECT_EQ(table["Quote"], "say \"hi\"");
    EXPECT_EQ(table["Path"], "a\\b");
    EXPECT_EQ(table["Lines"], "one\ntwo\tthree");
}

TEST(StringsTable, RepeatedKeyTakesTheLaterValue)
{
    StringsMap table;
    ASSERT_TRUE(parseStringsTable("\"A\" = \"1\";\n\"A\" = \"2\";", table, nullptr));
    EXPECT_EQ(table["A"], "2");
}

TEST(StringsTable, SyntaxErrorNamesTheLineAndKeepsEarlierEntries)
{
    const char* broken[] = {
        "\"A\" = \"1\";\n\"B\" = \"2\"\n\"C\" = \"3\";", // missing semicolon
        "\"A\" = \"1\";\n\"B\" = \"2",                   // text not closed
        "\"A\" = \"1\";\n/* never closed",
        "\"A\" = \"1\";\nB = \"2\";", // unquoted key
    };
    for (const char* text : broken) {
        StringsMap table;
        std::string error;
        EXPECT_FALSE(parseStringsTable(text, table, &error)) << text;
        EXPECT_EQ(table["A"], "1") << text;
        EXPECT_EQ(table.count("B"), 0u) << text;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
    }
    StringsMap table;
    std::string error;
    parseStringsTable("\"A\" = \"1\";\n\n\"B\" = \"2\"", table, &error);
    EXPECT_EQ(error, "line 3: expected ';'");
}

TEST(StringsTable, LanguageComesFromTheFirstSetVariable)
{
    LocaleEnvironment environment;
    EXPECT_EQ(userInterfaceLanguage(), "en");
    environment.set("LANG", "de_DE.UTF-8");
    EXPECT_EQ(userInterfaceLanguage(), "de");
    environment.set("LC_MESSAGES", "fr_FR");
    EXPECT_EQ(userInterfaceLanguage(), "fr");
    environment.set("LC_ALL", "C.UTF-8");
    EXPECT_EQ(userInterfaceLanguage(), "en");
    environment.set("LANGUAGE", "it:de");
    EXPECT_EQ(userInterfaceLanguage(), "it");
    environment.set("LANGUAGE", "../../etc"); // never reaches a path
    EXPECT_EQ(userInterfaceLanguage(), "en");
}

TEST(StringsTable, CatalogFallsBackToEnglishThenToTheKey)
{
    ScratchDirectory resources;
    resources.write("en.lproj/Localizable.strings", "\"Deleted\" = \"Deleted\";\n\"Lost\" = \"Lost\";\n");
    resources.write("de.lproj/Localizable.strings", "\"Deleted\" = \"Gel\xC3\xB6scht\";\n");
    const CStringsCatalog german(resources.path, "de");
    EXPECT_EQ(german.lookup("Deleted"), "Gel\xC3\xB6scht");
    EXPECT_EQ(german.lookup("Lost"), "Lost");
    EXPECT_EQ(german.lookup("Missing"), "Missing");
    EXPECT_TRUE(german.loadErrors().empty());

    const CStringsCatalog absent(resources.path, "sv");
    EXPECT_EQ(absent.lookup("Deleted"), "Deleted");
}

TEST(StringsTable, CatalogReportsAMalformedTable)
{
    ScratchDirectory resources;
    resources.write("en.lproj/Localizable.strings", "\"Deleted\" = \"Deleted\"\n");
    const CStringsCatalog catalog(resources.path, "en");
    EXPECT_NE(catalog.loadErrors().find("Localizable.strings: line 2"), std::string::npos) << catalog.loadErrors();
    EXPECT_EQ(catalog.lookup("Deleted"), "Deleted");
}
