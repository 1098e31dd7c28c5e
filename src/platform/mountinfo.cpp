#include "mountinfo.h"

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The kernel writes space, tab, newline and backslash in mountinfo as \ooo.
std::string decodeOctal(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctal(text[i + 1]) && isOctal(text[i + 2]) &&
            isOctal(text[i + 3])) {
            result += char(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            result += text[i];
        }
    }
    return result;
}

// udev writes unsafe characters of a label as \xHH.
std::string decodeHex(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexValue(text[i + 2]) >= 0 &&
            hexValue(text[i + 3]) >= 0) {
            result += char(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 3;
        } else {
            result += text[i];
        }
    }
    return result;
}

std::string lastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool parseNumber(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + unsigned(c - '0');
    }
    return true;
}

} // namespace

bool parseMountInfoLine(const std::string& line, MountEntry& entry)
{
    // id parent major:minor root mount-point options [optional fields...] - type source super-options
    std::istringstream stream(line);
    std::vector<std::string> fields;
    for (std::string field; stream >> field;)
        fields.push_back(field);
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-")
        ++separator;
    if (fields.size() < 6 || separator + 2 >= fields.size())
        return false;

    const std::string& device = fields[2];
    const size_t colon = device.find(':');
    if (colon == std::string::npos || !parseNumber(device.substr(0, colon), entry.major) ||
        !parseNumber(device.substr(colon + 1), entry.minor))
        return false;
    entry.mountPoint = decodeOctal(fields[4]);
    entry.fileSystem = decodeOctal(fields[separator + 1]);
    entry.source = decodeOctal(fields[separator + 2]);
    return true;
}

std::vector<MountEntry> readMountInfo(const std::string& path)
{
    std::vector<MountEntry> entries;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        MountEntry entry;
        if (parseMountInfoLine(line, entry))
            entries.push_back(std::move(entry));
    }
    return entries;
}

bool mountIsDevice(const MountEntry& entry, const std::string& devicePath)
{
    if (devicePath.empty())
        return false;
    if (entry.source == devicePath)
        return true;
    if (!entry.source.empty() && entry.source[0] == '/') {
        if (char* resolved = ::realpath(entry.source.c_str(), nullptr)) {
            const bool same = devicePath == resolved;
            std::free(resolved);
            if (same)
                return true;
        }
    }
    struct stat info;
    return ::stat(devicePath.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && major(info.st_rdev) == entry.major &&
           minor(info.st_rdev) == entry.minor;
}

std::string fileSystemLabel(const std::string& devicePath, const std::string& labelDirectory)
{
    // The links point at the kernel names in /dev (../../sda1), which is what our device paths end in.
    const std::string deviceName = lastComponent(devicePath);
    if (deviceName.empty())
        return {};
    DIR* directory = ::opendir(labelDirectory.c_str());
    if (!directory)
        return {};
    std::string label;
    while (const dirent* item = ::readdir(directory)) {
        if (item->d_name[0] == '.' && (item->d_name[1] == '\0' || (item->d_name[1] == '.' && item->d_name[2] == '\0')))
            continue;
        char target[4096];
        const std::string link = labelDirectory + "/" + item->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        if (lastComponent(std::string(target, size_t(n))) == deviceName) {
            label = decodeHex(item->d_name);
            break;
        }
    }
    ::closedir(directory);
    return label;
}

std::string mountPointName(const std::string& mountPoint)
{
    std::string path = mountPoint;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path == "/")
        return path;
    return lastComponent(path);
}
