// Tables of localized texts in the .strings format ("key" = "value"; with /* */ and // comments and
// \" \\ \n \t escapes), read from <resources>/<lang>.lproj/<table>.strings, and the user-interface
// language taken from the environment. A malformed table keeps the entries before the fault and
// reports where it stopped; a missing table is empty.
#pragma once

#include <map>
#include <string>

using StringsMap = std::map<std::string, std::string>;

// Parses UTF-8 text (a leading byte-order mark is skipped). On a syntax error returns false, fills
// error with the line and reason, and keeps in table what was read before it. A repeated key takes
// the later value.
bool parseStringsTable(const std::string& text, StringsMap& table, std::string* error);

// Reads and parses a file; false when it cannot be read or is malformed (see parseStringsTable).
bool loadStringsTable(const std::string& path, StringsMap& table, std::string* error);

// The language code of the user interface: the first entry of LANGUAGE, else LC_ALL, LC_MESSAGES,
// LANG; "de" from "de_DE.UTF-8"; "C", "POSIX", unset or anything that is not a plain code give "en".
std::string userInterfaceLanguage();

// The application's Info table: <resources>/Info.strings (the values of every language), overlaid by
// en.lproj/InfoPlist.strings and then by <language>.lproj/InfoPlist.strings. A missing file adds
// nothing; a malformed one adds the entries before its fault and a line to errors.
StringsMap loadInfoTable(const std::string& resourceDirectory, const std::string& language,
                         std::string* errors = nullptr);

// The lookup table of one language: its own entries, then those of "en", then the key itself.
class CStringsCatalog {
public:
    CStringsCatalog(const std::string& resourceDirectory, const std::string& language,
                    const std::string& table = "Localizable");

    std::string lookup(const std::string& key) const;
    // Problems met while loading (a malformed table), one per line; empty when all went well.
    const std::string& loadErrors() const { return errors; }

private:
    StringsMap own;
    StringsMap english;
    std::string errors;
};
