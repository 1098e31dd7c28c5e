#include "SaveTarget.h"

#include <cstdio>
#include <fstream>
#include <set>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::string sysfsDeviceFolder(const std::string& sysfsRoot, dev_t device)
{
    return sysfsRoot + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string firstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The whole disk a partition belongs to; the device itself when it is no partition.
dev_t wholeDiskOf(const std::string& sysfsRoot, dev_t device)
{
    const std::string folder = sysfsDeviceFolder(sysfsRoot, device);
    struct stat info {};
    if (::stat((folder + "/partition").c_str(), &info) != 0)
        return device;
    unsigned wholeMajor = 0, wholeMinor = 0;
    if (std::sscanf(firstLine(folder + "/../dev").c_str(), "%u:%u", &wholeMajor, &wholeMinor) != 2)
        return device;
    return makedev(wholeMajor, wholeMinor);
}

} // namespace

bool folderLiesOnDevice(const std::string& folder, const std::string& devicePath, const std::string& sysfsRoot)
{
    struct stat folderInfo {};
    struct stat nodeInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0 || ::stat(devicePath.c_str(), &nodeInfo) != 0 ||
        !S_ISBLK(nodeInfo.st_mode))
        return false;
    std::set<dev_t> atRisk{nodeInfo.st_rdev};
    // A loop device over another block device reads that device's blocks.
    const std::string backing = firstLine(sysfsDeviceFolder(sysfsRoot, nodeInfo.st_rdev) + "/loop/backing_file");
    struct stat backingInfo {};
    if (!backing.empty() && ::stat(backing.c_str(), &backingInfo) == 0 && S_ISBLK(backingInfo.st_mode))
        atRisk.insert(backingInfo.st_rdev);
    const dev_t onDevice = folderInfo.st_dev;
    return atRisk.count(onDevice) != 0 || atRisk.count(wholeDiskOf(sysfsRoot, onDevice)) != 0;
}
