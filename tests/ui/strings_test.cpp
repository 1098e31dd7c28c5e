// The English text table against the list of keys the application window looks up
// (interface_keys.txt beside this file): every key has a text, and a text that is used as a format
// carries exactly the object arguments ("%@") its caller passes and no other directive.
#include "stringstable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> interfaceKeys()
{
    std::ifstream list(GLEANER_SOURCE_DIR "/tests/ui/interface_keys.txt");
    std::vector<std::string> keys;
    for (std::string line; std::getline(list, line);) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        if (!line.empty() && line[0] != '#')
            keys.push_back(line);
    }
    return keys;
}

StringsMap englishTable()
{
    StringsMap table;
    std::string error;
    EXPECT_TRUE(loadStringsTable(GLEANER_SOURCE_DIR "/resources/en.lproj/Localizable.strings", table, &error)) << error;
    return table;
}

// How many "%@" a text holds; -1 when it holds any other "%" directive (a stray "%d" or a lone "%"
// would read an argument the caller never passes). "%%" is a literal percent sign.
int objectArguments(const std::string& text)
{
    int count = 0;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 2)) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (next == '@')
            ++count;
        else if (next != '%')
            return -1;
    }
    return count;
}

} // namespace

TEST(InterfaceStrings, EveryInterfaceKeyHasAnEnglishText)
{
    const std::vector<std::string> keys = interfaceKeys();
    ASSERT_GT(keys.size(), 80u) << "interface_keys.txt was not found or is cut short";
    const StringsMap table = englishTable();
    std::set<std::string> seen;
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(seen.insert(key).second) << "listed twice";
        const auto found = table.find(key);
        ASSERT_NE(found, table.end()) << "no text for this key";
        EXPECT_FALSE(found->second.empty());
    }
}

TEST(InterfaceStrings, FormattedTextsTakeExactlyTheArgumentsTheirCallersPass)
{
    // The texts the application formats, with the number of objects it passes; every other
    // interface text is shown as it is and must not look like a format.
    const std::map<std::string, int> formatted = {
        {"AboutApp", 1},         {"HideApp", 1},        {"QuitApp", 1},
        {"AppHelp", 1},          {"ChooseDiskHint", 2}, {"AppFileListReportOnDate", 2},
        {"AskOverwriteFile", 1},
    };
    const StringsMap table = englishTable();
    for (const std::string& key : interfaceKeys()) {
        SCOPED_TRACE(key);
        const auto found = table.find(key);
        if (found == table.end())
            continue; // reported by the test above
        const auto arguments = formatted.find(key);
        EXPECT_EQ(objectArguments(found->second), arguments == formatted.end() ? 0 : arguments->second)
            << found->second;
    }
}
