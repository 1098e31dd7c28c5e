#include "machelpers.h"

#include "resourcedir.h"
#include "stringstable.h"

#include <cstdio>
#include <ctime>

static_assert(sizeof(time_t) >= 8, "dates after 2038 need a 64-bit time_t");

std::string formatDate(uint32_t seconds)
{
    const time_t when = time_t(seconds);
    struct tm local {};
    if (!localtime_r(&when, &local))
        return {};
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

namespace {

const CStringsCatalog& catalog()
{
    // Built once; the initialisation of a function-local static is thread-safe.
    static const CStringsCatalog strings = [] {
        CStringsCatalog loaded(resourceDirectory(), userInterfaceLanguage());
        if (!loaded.loadErrors().empty())
            std::fprintf(stderr, "localize: %s", loaded.loadErrors().c_str());
        return loaded;
    }();
    return strings;
}

} // namespace

std::string localize(const std::string& key)
{
    if (key.empty())
        return key;
    return catalog().lookup(key);
}

std::optional<std::string> infoValue(const std::string& key)
{
    static const StringsMap info = [] {
        std::string errors;
        StringsMap loaded = loadInfoTable(resourceDirectory(), userInterfaceLanguage(), &errors);
        if (!errors.empty())
            std::fprintf(stderr, "info: %s", errors.c_str());
        return loaded;
    }();
    if (auto found = info.find(key); found != info.end())
        return found->second;
    return std::nullopt;
}
