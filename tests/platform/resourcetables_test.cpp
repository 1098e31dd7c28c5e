#include "fakesysfs.h"
#include "resourcedir.h"
#include "scopedenvironment.h"
#include "stringstable.h"
#include <gtest/gtest.h>

// Each ending after a valid table: none, or a syntax error named with its line, keeping earlier entries.
TEST(StringsTable, ParsesEntriesCommentsAndEscapesAndReportsWhereASyntaxErrorIs)
{
    const std::string valid = "\xEF\xBB\xBF/* heading\n  comment */\n"
                              "\"Deleted\" = \"Gel\xC3\xB6scht\";\n"
                              "// a line comment with \"quotes\" = \"x\";\n"
                              "\"Quote\"=\"say \\\"hi\\\"\";\"Path\" = \"old\";\n"
                              "\"Lines\" = \"one\\ntwo\\tthree\";\n\"Path\" = \"a\\\\b\";";
    const StringsMap parsed = {
        {"Deleted", "Gel\xC3\xB6scht"}, {"Lines", "one\ntwo\tthree"}, {"Path", "a\\b"}, {"Quote", "say \"hi\""}};
    const char* const endings[][2] = {
        {"", ""},
        {"\n\"B\" = \"2\"\n\"C\" = \"3\";", "line 9: expected ';'"},
        {"\n\n\"B\" = \"2\"", "line 9: expected ';'"},
        {"\n\"B\" = \"2", "line 8: text not closed"},
        {"\n/* never closed", "line 8: comment not closed"},
        {"\nB = \"2\";", "line 8: expected '\"'"},
    };
    for (const auto& [ending, message] : endings) {
        SCOPED_TRACE(ending);
        StringsMap table;
        std::string error;
        EXPECT_EQ(parseStringsTable(valid + ending, table, &error), !*message);
        EXPECT_EQ(error, message);
        EXPECT_EQ(table, parsed);
    }
}
TEST(StringsTable, LanguageComesFromTheFirstSetVariable)
{
    ScopedEnvironment environment;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
        environment.set(name, nullptr);
    // Each variable set outranks the ones before it; "../../etc" must never reach a path.
    std::string languages = userInterfaceLanguage();
    const char* const steps[][2] = {{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR"},  {"LC_ALL", "C.UTF-8"},
                                    {"LANGUAGE", "it:de"},   {"LANGUAGE", "../../etc"}, {"LANGUAGE", "Deutsch1"}};
    for (const auto& [name, value] : steps) {
        environment.set(name, value);
        languages += " " + userInterfaceLanguage();
    }
    EXPECT_EQ(languages, "en de fr en it en en");
}
// A language's own entries win, then English ones, then the shared Info values or the key itself. A malformed
// table is reported with its line, and its entries before the fault still count.
TEST(StringsTable, LanguageTablesFallBackToEnglishAndReportAMalformedOne)
{
    FakeSysfs resources;
    resources.write("en.lproj/Localizable.strings", "\"Deleted\" = \"Deleted\";\n\"Lost\" = \"Lost\";\n");
    resources.write("de.lproj/Localizable.strings", "\"Deleted\" = \"Gel\xC3\xB6scht\";\n");
    resources.write("fr.lproj/Localizable.strings", "\"Deleted\" = \"Supprim\xC3\xA9\";\n\"Lost\" = \"Perdu\"\n");
    resources.write("Info.strings", "\"AppName\" = \"Gleaner\";\n\"HelpFile\" = \"help.html\";\n");
    resources.write("en.lproj/InfoPlist.strings", "\"AppNameShort\" = \"Gleaner\";\n");
    resources.write("de.lproj/InfoPlist.strings", "\"HelpFile\" = \"hilfe.html\";\n\"AppName\" = \"Gleaner\"\n");
    const char* const lookups[][3] = {{"de", "Deleted", "Gel\xC3\xB6scht"}, {"de", "Lost", "Lost"},
                                      {"de", "Missing", "Missing"},         {"sv", "Deleted", "Deleted"},
                                      {"fr", "Deleted", "Supprim\xC3\xA9"}, {"fr", "Lost", "Lost"}};
    for (const auto& [language, key, text] : lookups)
        EXPECT_EQ(CStringsCatalog(resources.root(), language).lookup(key), text) << language << " " << key;
    EXPECT_EQ(CStringsCatalog(resources.root(), "fr").loadErrors(),
              resources.root() + "/fr.lproj/Localizable.strings: line 3: expected ';'\n");
    std::string errors;
    EXPECT_EQ(loadInfoTable(resources.root(), "de", &errors),
              (StringsMap{{"AppName", "Gleaner"}, {"AppNameShort", "Gleaner"}, {"HelpFile", "hilfe.html"}}));
    EXPECT_EQ(errors, resources.root() + "/de.lproj/InfoPlist.strings: line 3: expected ';'\n");
    EXPECT_TRUE(loadInfoTable(resources.root() + "/nowhere", "en").empty());
}
// The folder GLEANER_RESOURCES names overrides the built one. A name is looked up as it is, then with the known
// extensions in turn (the earlier wins); only a regular file counts.
TEST(ResourceDirectory, NamedResourceTriesTheNameThenTheKnownExtensionsInTheOverridingFolder)
{
    FakeSysfs folder;
    for (const char* file : {"splash.png", "splash.gif", "find.gif", "complete.aif", "sub.png/x"})
        folder.write(file, "x");
    ScopedEnvironment environment;
    environment.set("GLEANER_RESOURCES", folder.root().c_str());
    const char* const found[][2] = {
        {"splash", "splash.png"}, {"find.gif", "find.gif"}, {"find", "find.gif"}, {"complete", "complete.aif"}};
    for (const auto& [name, file] : found)
        EXPECT_EQ(namedResourcePath(name), folder.root() + "/" + file) << name;
    for (const char* name : {"missing", "sub", "", "../splash", ".."})
        EXPECT_EQ(namedResourcePath(name), "") << name;
    environment.set("GLEANER_RESOURCES", (folder.root() + "/splash.png").c_str());
    EXPECT_NE(resourceDirectory(), folder.root() + "/splash.png") << "a file is no override";
}
// A slip in a shipped table would hide every text after it behind its key.
TEST(StringsTable, ShippedTablesLoadWithoutErrors)
{
    for (const std::string table : {"Localizable", "InfoPlist"}) {
        SCOPED_TRACE(table);
        const CStringsCatalog catalog(resourceDirectory(), "en", table);
        EXPECT_EQ(catalog.loadErrors(), "");
        const std::string lastKey = table == "Localizable" ? "SearchProgress" : "AppName";
        EXPECT_NE(catalog.lookup(lastKey), lastKey);
    }
}
