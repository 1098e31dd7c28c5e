// The two platform services the engine asks for by name: a date as the text tables and reports
// show, and the user-interface language's text for a key. Neither throws: an unusable date gives
// an empty text, and a key without a translation answers the key itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Local time of seconds after 1970-01-01 00:00:00 UTC as "YYYY-MM-DD HH:MM:SS"; the count is
// unsigned, so dates up to 2106 work.
std::string formatDate(uint32_t seconds);

// The text for key in the Localizable table of the user-interface language, else in the English
// table, else key. The tables are read once, on the first call from any thread.
std::string localize(const std::string& key);

// The value of an Info table key ("AppName", "AppNameShort", "HelpFile", "NSHumanReadableCopyright",
// "CFBundleShortVersionString") in the user-interface language; nullopt when no table has the key,
// so a caller can tell a missing value from an empty one. Read once, like the texts.
std::optional<std::string> infoValue(const std::string& key);
