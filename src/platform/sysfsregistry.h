// The machine's block devices as a small registry read from sysfs: one entry per whole disk and per
// partition, with its kernel name, size, logical block size, parent disk (and where on it a
// partition begins), interconnect and location.
// The sysfs root is a parameter so tests can point it at a fake tree. An unreadable attribute just
// leaves its property out; only a missing class/block folder makes the listing fail.
#pragma once

#include <map>
#include <string>
#include <vector>

// Property keys, named after the registry keys the disk manager asks for.
inline constexpr const char* kRegistryBSDName = "BSD Name";
inline constexpr const char* kRegistrySize = "Size";                      // bytes, decimal
inline constexpr const char* kRegistryBlockSize = "Preferred Block Size"; // bytes, decimal
inline constexpr const char* kRegistryInterconnect = "Physical Interconnect";
inline constexpr const char* kRegistryLocation = "Physical Interconnect Location";
inline constexpr const char* kRegistryBase = "Base"; // a partition's first byte on its disk, decimal

struct RegistryEntry {
    std::string kernelName;   // sda, nvme0n1p2, loop0
    std::string registryName; // the device's model text, or the backing file's name of a loop device
    bool whole = true;
    std::string parent; // kernel name of the disk holding a partition; empty when none is known
    std::map<std::string, std::string> properties;
};

class SysfsRegistry {
public:
    explicit SysfsRegistry(std::string root = "/sys");

    // Fills out with the devices whose whole-disk flag equals whole, ordered by kernel name with
    // digit runs compared as numbers (sda2 before sda10). Devices of size 0 (empty loop devices,
    // drives without a medium) and hidden ones (no node in /dev) are left out. False with an errno value when
    // class/block cannot be listed.
    bool match(bool whole, std::vector<RegistryEntry>& out, int* error) const;

private:
    bool readEntry(const std::string& kernelName, RegistryEntry& entry) const;

    std::string root;
};

// Orders text so that runs of digits compare by value: disk2 < disk10.
bool naturalLess(const std::string& a, const std::string& b);
