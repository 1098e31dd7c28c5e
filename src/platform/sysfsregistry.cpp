#include "sysfsregistry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int64_t kSectorBytes = 512; // sysfs counts sizes in 512-byte sectors whatever the device

bool pathExists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::string trim(std::string text)
{
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && isSpace(text.back()))
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && isSpace(text[start]))
        ++start;
    return text.substr(start);
}

// Attribute files are small; anything beyond 4 KiB is not an attribute we want.
bool readAttribute(const std::string& path, std::string& value)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer + total, sizeof buffer - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += size_t(n);
        if (total == sizeof buffer)
            break;
    }
    ::close(fd);
    value = trim(std::string(buffer, total));
    return true;
}

bool parseUnsigned(const std::string& text, uint64_t& value)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    value = parsed;
    return true;
}

std::string canonical(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string lastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

bool hasPrefixAndDigits(const std::string& text, const std::string& prefix)
{
    if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(text.begin() + long(prefix.size()), text.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// An ATA port counts as SATA when one of its links reports a negotiated SATA speed; parallel ATA
// links report "<unknown>".
std::string ataKind(const std::string& portDirectory)
{
    glob_t found{};
    const std::string pattern = portDirectory + "/link*/ata_link/*/sata_spd";
    bool sata = false;
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc && !sata; ++i) {
            std::string speed;
            sata = readAttribute(found.gl_pathv[i], speed) && !speed.empty() && speed[0] != '<';
        }
    }
    ::globfree(&found);
    return sata ? "SATA" : "ATA";
}

// The bus nearest to the device wins, as it would when walking up from the device.
std::string interconnectOf(const std::string& devicePath, const std::string& devicesRoot)
{
    std::string relative = devicePath;
    if (relative.compare(0, devicesRoot.size(), devicesRoot) == 0)
        relative = relative.substr(devicesRoot.size());
    const std::vector<std::string> parts = components(relative);
    for (size_t i = parts.size(); i-- > 0;) {
        const std::string& part = parts[i];
        if (hasPrefixAndDigits(part, "usb"))
            return "USB";
        // With native multipath the namespace sits under nvme-subsystem/nvme-subsysN.
        if (part == "nvme" || hasPrefixAndDigits(part, "nvme") || part == "nvme-subsystem" ||
            hasPrefixAndDigits(part, "nvme-subsys"))
            return "PCI-Express";
        if (part == "mmc_host" || hasPrefixAndDigits(part, "mmc"))
            return "SD";
        if (hasPrefixAndDigits(part, "ata")) {
            std::string port = devicesRoot;
            for (size_t j = 0; j <= i; ++j)
                port += "/" + parts[j];
            return ataKind(port);
        }
    }
    return {};
}

} // namespace

bool naturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            size_t endA = i;
            size_t endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            // Compare digit runs by value without converting: skip leading zeros, then length, then text.
            size_t startA = i;
            size_t startB = j;
            while (startA + 1 < endA && a[startA] == '0')
                ++startA;
            while (startB + 1 < endB && b[startB] == '0')
                ++startB;
            if (endA - startA != endB - startB)
                return endA - startA < endB - startB;
            const int order = a.compare(startA, endA - startA, b, startB, endB - startB);
            if (order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

SysfsRegistry::SysfsRegistry(std::string sysfsRoot) : root(std::move(sysfsRoot)) {}

bool SysfsRegistry::readEntry(const std::string& kernelName, RegistryEntry& entry) const
{
    const std::string classBlock = root + "/class/block/";
    const std::string devicePath = canonical(classBlock + kernelName);

    entry = RegistryEntry{};
    entry.kernelName = kernelName;
    entry.whole = !pathExists(devicePath + "/partition");
    entry.properties[kRegistryBSDName] = kernelName;

    // A partition's folder sits inside its disk's folder, whatever the two are called.
    std::string diskPath = devicePath;
    if (!entry.whole) {
        const std::string parentPath = directoryOf(devicePath);
        const std::string parentName = lastComponent(parentPath);
        if (!parentName.empty() && canonical(classBlock + parentName) == parentPath &&
            !pathExists(parentPath + "/partition")) {
            entry.parent = parentName;
            diskPath = parentPath;
        }
    }

    // Hidden devices (the per-path nodes of a multipath NVMe namespace) have no node in /dev.
    std::string text;
    if (readAttribute(devicePath + "/hidden", text) && text == "1")
        return false;
    uint64_t sectors = 0;
    if (readAttribute(devicePath + "/size", text) && parseUnsigned(text, sectors)) {
        if (sectors == 0)
            return false;
        if (sectors <= uint64_t(INT64_MAX / kSectorBytes))
            entry.properties[kRegistrySize] = std::to_string(int64_t(sectors) * kSectorBytes);
    }

    // Where a partition begins on its disk, so that its volume is not taken for a lost one.
    uint64_t start = 0;
    if (!entry.whole && readAttribute(devicePath + "/start", text) && parseUnsigned(text, start) &&
        start <= uint64_t(INT64_MAX / kSectorBytes))
        entry.properties[kRegistryBase] = std::to_string(int64_t(start) * kSectorBytes);

    // Partitions have no queue of their own; they share their disk's.
    uint64_t blockSize = 0;
    if ((readAttribute(devicePath + "/queue/logical_block_size", text) ||
         (!entry.whole && readAttribute(diskPath + "/queue/logical_block_size", text))) &&
        parseUnsigned(text, blockSize) && blockSize > 0 && blockSize <= uint64_t(INT_MAX))
        entry.properties[kRegistryBlockSize] = std::to_string(blockSize);

    const bool loop = pathExists(diskPath + "/loop");
    const std::string interconnect = interconnectOf(devicePath, canonical(root + "/devices"));
    if (!interconnect.empty())
        entry.properties[kRegistryInterconnect] = interconnect;

    std::string removable;
    readAttribute(diskPath + "/removable", removable);
    if (loop)
        entry.properties[kRegistryLocation] = "File";
    else if (removable == "1" || interconnect == "USB")
        entry.properties[kRegistryLocation] = "External";
    else
        entry.properties[kRegistryLocation] = "Internal";

    if (entry.whole) {
        if (loop) {
            if (readAttribute(diskPath + "/loop/backing_file", text))
                entry.registryName = lastComponent(text);
        } else if (readAttribute(diskPath + "/device/model", text) || readAttribute(diskPath + "/device/name", text)) {
            entry.registryName = text;
        }
    }
    return true;
}

bool SysfsRegistry::match(bool whole, std::vector<RegistryEntry>& out, int* error) const
{
    out.clear();
    DIR* directory = ::opendir((root + "/class/block").c_str());
    if (!directory) {
        if (error)
            *error = errno;
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(directory)) {
        if (item->d_name[0] != '.')
            names.emplace_back(item->d_name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end(), naturalLess);

    for (const std::string& name : names) {
        RegistryEntry entry;
        if (readEntry(name, entry) && entry.whole == whole)
            out.push_back(std::move(entry));
    }
    if (error)
        *error = 0;
    return true;
}
