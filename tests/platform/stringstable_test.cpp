#include "stringstable.h"

#include "fakesysfs.h"
#include "scopedenvironment.h"

#include <gtest/gtest.h>

TEST(StringsTable, ParsesEntriesCommentsAndEscapesAndTheLaterOfTwoKeysWins)
{
    StringsMap table;
    std::string error;
    ASSERT_TRUE(parseStringsTable("\xEF\xBB\xBF/* heading\n  comment */\n"
                                  "\"Deleted\" = \"Gel\xC3\xB6scht\";\n"
                                  "// a line comment with \"quotes\" = \"x\";\n"
                                  "\"Quote\"=\"say \\\"hi\\\"\";\"Path\" = \"old\";\n"
                                  "\"Lines\" = \"one\\ntwo\\tthree\";\n\"Path\" = \"a\\\\b\";",
                                  table, &error))
        << error;
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table["Deleted"], "Gel\xC3\xB6scht");
    EXPECT_EQ(table["Quote"], "say \"hi\"");
    EXPECT_EQ(table["Path"], "a\\b");
    EXPECT_EQ(table["Lines"], "one\ntwo\tthree");
}

TEST(StringsTable, SyntaxErrorNamesTheLineAndKeepsEarlierEntries)
{
    const char* const broken[][2] = {
        {"\"A\" = \"1\";\n\"B\" = \"2\"\n\"C\" = \"3\";", "line 3: expected ';'"},
        {"\"A\" = \"1\";\n\n\"B\" = \"2\"", "line 3: expected ';'"},
        {"\"A\" = \"1\";\n\"B\" = \"2", "line 2: text not closed"},
        {"\"A\" = \"1\";\n/* never closed", "line 2: comment not closed"},
        {"\"A\" = \"1\";\nB = \"2\";", "line 2: expected '\"'"},
    };
    for (const auto& [text, message] : broken) {
        SCOPED_TRACE(text);
        StringsMap table;
        std::string error;
        EXPECT_FALSE(parseStringsTable(text, table, &error));
        EXPECT_EQ(error, message);
        EXPECT_EQ(table, (StringsMap{{"A", "1"}}));
    }
}

TEST(StringsTable, LanguageComesFromTheFirstSetVariable)
{
    ScopedEnvironment environment;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
        environment.set(name, nullptr);
    EXPECT_EQ(userInterfaceLanguage(), "en");
    // Each variable set outranks the ones before it; "../../etc" must never reach a path.
    const char* const steps[][3] = {{"LANG", "de_DE.UTF-8", "de"},
                                    {"LC_MESSAGES", "fr_FR", "fr"},
                                    {"LC_ALL", "C.UTF-8", "en"},
                                    {"LANGUAGE", "it:de", "it"},
                                    {"LANGUAGE", "../../etc", "en"}};
    for (const auto& [name, value, language] : steps) {
        environment.set(name, value);
        EXPECT_EQ(userInterfaceLanguage(), language) << name << "=" << value;
    }
}

// A malformed table is reported with its line, and its entries before the fault still count.
TEST(StringsTable, CatalogFallsBackToEnglishThenToTheKeyAndReportsAMalformedTable)
{
    FakeSysfs resources;
    resources.write("en.lproj/Localizable.strings", "\"Deleted\" = \"Deleted\";\n\"Lost\" = \"Lost\";\n");
    resources.write("de.lproj/Localizable.strings", "\"Deleted\" = \"Gel\xC3\xB6scht\";\n");
    resources.write("fr.lproj/Localizable.strings", "\"Deleted\" = \"Supprim\xC3\xA9\";\n\"Lost\" = \"Perdu\"\n");
    const CStringsCatalog german(resources.root(), "de");
    EXPECT_EQ(german.lookup("Deleted"), "Gel\xC3\xB6scht");
    EXPECT_EQ(german.lookup("Lost"), "Lost");
    EXPECT_EQ(german.lookup("Missing"), "Missing");
    EXPECT_TRUE(german.loadErrors().empty());
    EXPECT_EQ(CStringsCatalog(resources.root(), "sv").lookup("Deleted"), "Deleted");

    const CStringsCatalog french(resources.root(), "fr");
    EXPECT_NE(french.loadErrors().find("Localizable.strings: line 3"), std::string::npos) << french.loadErrors();
    EXPECT_EQ(french.lookup("Deleted"), "Supprim\xC3\xA9");
    EXPECT_EQ(french.lookup("Lost"), "Lost");
}

TEST(StringsTable, InfoTableOverlaysTheLanguagesOnTheSharedValues)
{
    FakeSysfs resources;
    resources.write("Info.strings", "\"AppName\" = \"Gleaner\";\n\"CFBundleShortVersionString\" = \"1.2\";\n"
                                    "\"HelpFile\" = \"help.html\";\n");
    resources.write("en.lproj/InfoPlist.strings", "\"AppNameShort\" = \"Gleaner\";\n");
    resources.write("de.lproj/InfoPlist.strings", "\"HelpFile\" = \"hilfe.html\";\n\"AppName\" = \"Gleaner\"\n");

    std::string errors;
    const StringsMap german = loadInfoTable(resources.root(), "de", &errors);
    EXPECT_EQ(german.at("HelpFile"), "hilfe.html");            // the language's own value wins
    EXPECT_EQ(german.at("AppNameShort"), "Gleaner");           // then English
    EXPECT_EQ(german.at("CFBundleShortVersionString"), "1.2"); // then the shared table
    EXPECT_EQ(german.count("NSHumanReadableCopyright"), 0u);   // missing stays missing
    EXPECT_NE(errors.find("de.lproj/InfoPlist.strings: line 3"), std::string::npos) << errors;

    errors.clear();
    const StringsMap english = loadInfoTable(resources.root(), "en", &errors);
    EXPECT_EQ(english.at("HelpFile"), "help.html");
    EXPECT_TRUE(errors.empty()) << errors;
    EXPECT_TRUE(loadInfoTable(resources.root() + "/nowhere", "en").empty());
}
