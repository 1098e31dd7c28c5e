#include "stringstable.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : text(text)
    {
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            position = 3;
    }

    bool run(StringsMap& table, std::string* error)
    {
        for (;;) {
            if (!skipBlanks())
                return fail(error);
            if (position >= text.size())
                return true;
            std::string key;
            std::string value;
            if (!quoted(key) || !skipBlanks() || !expect('=') || !skipBlanks() || !quoted(value) || !skipBlanks() ||
                !expect(';'))
                return fail(error);
            table[key] = value;
        }
    }

private:
    bool fail(std::string* error) const
    {
        if (error)
            *error = "line " + std::to_string(line) + ": " + reason;
        return false;
    }

    void advance()
    {
        if (text[position] == '\n')
            ++line;
        ++position;
    }

    // Skips white space and comments; false on a comment that never ends.
    bool skipBlanks()
    {
        while (position < text.size()) {
            const char c = text[position];
            if (std::isspace(static_cast<unsigned char>(c))) {
                advance();
            } else if (text.compare(position, 2, "//") == 0) {
                while (position < text.size() && text[position] != '\n')
                    advance();
            } else if (text.compare(position, 2, "/*") == 0) {
                const size_t end = text.find("*/", position + 2);
                if (end == std::string::npos) {
                    reason = "comment not closed";
                    return false;
                }
                while (position < end + 2)
                    advance();
            } else {
                return true;
            }
        }
        return true;
    }

    bool expect(char wanted)
    {
        if (position < text.size() && text[position] == wanted) {
            advance();
            return true;
        }
        reason = std::string("expected '") + wanted + "'";
        return false;
    }

    bool quoted(std::string& out)
    {
        if (!expect('"'))
            return false;
        while (position < text.size()) {
            char c = text[position];
            advance();
            if (c == '"')
                return true;
            if (c == '\\') {
                if (position >= text.size())
                    break;
                c = text[position];
                advance();
                switch (c) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                default: break; // \" and \\ stand for themselves, as does any other escaped character
                }
            }
            out += c;
        }
        reason = "text not closed";
        return false;
    }

    const std::string& text;
    size_t position = 0;
    int line = 1;
    std::string reason;
};

// A plain language code: two to eight letters, so an odd environment value never reaches a path.
std::string languageOf(const char* value)
{
    if (!value)
        return {};
    std::string text(value);
    const size_t colon = text.find(':');
    if (colon != std::string::npos)
        text = text.substr(0, colon);
    const size_t end = text.find_first_of("_.@-");
    if (end != std::string::npos)
        text = text.substr(0, end);
    if (text == "C" || text == "POSIX")
        return "en";
    if (text.size() < 2 || text.size() > 8)
        return {};
    for (char& c : text) {
        if (!std::isalpha(static_cast<unsigned char>(c)))
            return {};
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

bool parseStringsTable(const std::string& text, StringsMap& table, std::string* error)
{
    Parser parser(text);
    return parser.run(table, error);
}

bool loadStringsTable(const std::string& path, StringsMap& table, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (!parseStringsTable(contents.str(), table, error)) {
        if (error)
            *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::string userInterfaceLanguage()
{
    // LANGUAGE may list several languages; an empty first entry means "look further".
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string language = languageOf(std::getenv(name));
        if (!language.empty())
            return language;
    }
    return "en";
}

StringsMap loadInfoTable(const std::string& resourceDirectory, const std::string& language, std::string* errors)
{
    StringsMap merged;
    const auto overlay = [&](const std::string& path) {
        std::ifstream probe(path);
        if (!probe)
            return;
        StringsMap layer;
        std::string error;
        if (!loadStringsTable(path, layer, &error) && errors)
            *errors += error + "\n";
        for (auto& [key, value] : layer)
            merged[key] = std::move(value);
    };
    overlay(resourceDirectory + "/Info.strings");
    overlay(resourceDirectory + "/en.lproj/InfoPlist.strings");
    if (!language.empty() && language != "en")
        overlay(resourceDirectory + "/" + language + ".lproj/InfoPlist.strings");
    return merged;
}

CStringsCatalog::CStringsCatalog(const std::string& resourceDirectory, const std::string& language,
                                 const std::string& table)
{
    const auto load = [&](const std::string& code, StringsMap& into) {
        const std::string path = resourceDirectory + "/" + code + ".lproj/" + table + ".strings";
        std::ifstream probe(path);
        if (!probe)
            return; // a language without a table simply has no entries
        std::string error;
        if (!loadStringsTable(path, into, &error))
            errors += error + "\n";
    };
    load("en", english);
    if (!language.empty() && language != "en")
        load(language, own);
}

std::string CStringsCatalog::lookup(const std::string& key) const
{
    if (auto found = own.find(key); found != own.end())
        return found->second;
    if (auto found = english.find(key); found != english.end())
        return found->second;
    return key;
}
