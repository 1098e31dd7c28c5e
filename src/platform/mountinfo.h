// Mounted file systems and their names: the mount table read from a mountinfo file and the
// file-system labels listed in a by-label folder, both paths given by the caller so tests can use
// fake ones. Unreadable files give empty results; malformed lines are skipped.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kMountInfoPath = "/proc/self/mountinfo";
inline constexpr const char* kLabelDirectory = "/dev/disk/by-label";

struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint; // octal escapes (\040 for a space) decoded
    std::string fileSystem;
    std::string source; // the mounted device, such as /dev/sda1
};

// Parses one line of a mountinfo file; false when it lacks the fields we need.
bool parseMountInfoLine(const std::string& line, MountEntry& entry);

// Every parsable line of the file, in the file's order.
std::vector<MountEntry> readMountInfo(const std::string& path = kMountInfoPath);

// True when the mount's source is the device: the same path, a link to it, or a block device with
// the mount's device number.
bool mountIsDevice(const MountEntry& entry, const std::string& devicePath);

// The label of the file system on the device, from the links of a by-label folder (udev's \xHH
// escapes decoded); empty when it has none.
std::string fileSystemLabel(const std::string& devicePath, const std::string& labelDirectory = kLabelDirectory);

// The mount point's last component ("/" for the root).
std::string mountPointName(const std::string& mountPoint);
