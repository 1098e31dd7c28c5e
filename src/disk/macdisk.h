// CMacDisk: a disk over a device node ("/dev/" + kernel name) or an image file, read with pread and
// never opened for writing; owns its descriptor and its partitions. Read failures and short reads
// return false (unread bytes zeroed). CMacDiskManager lists the machine's disks and partitions from
// the sysfs registry; an unreadable attribute leaves the device's own numbers in place.
#pragma once

#include "diskmanager.h"
#include "disks.h"
#include "mountinfo.h"
#include "privilegedrun.h"
#include "sysfsregistry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr const char* kDeviceDirectory = "/dev/";
inline constexpr const char* kChownTool = "/usr/bin/chown";

class CMacDisk : public CDisk {
public:
    CMacDisk();
    // Learns the geometry from the device (a short read-only open) and leaves it closed.
    explicit CMacDisk(const char* path);
    ~CMacDisk() override;

    bool readBlocks(int64_t block, int count, void* buffer) override;
    bool writeBlocks(int64_t block, int count, const void* buffer) override;
    bool doOpen(bool write) override;
    void doClose() override;

    // Opens the device read-only; on EACCES, with allowAuthorization, gives the node to the user
    // through one privileged chown and tries once more. Opening for writing is always refused.
    virtual bool openDevice(bool write, bool allowAuthorization);

protected:
    int descriptor = -1;
};

// Runs tool as root (pkexec, no shell) with the null-terminated argument list; its output is copied
// to standard output. True only when the tool ran and exited with status 0.
bool ExecuteWithAuthorizatonRight(const char* tool, const char* const* arguments);
// pkexec leaves no authorization in this process, so there is nothing to release.
void freeAuthorization();

// Replaceable for tests: the open call of openDevice and the privileged runner. An empty function
// restores the real one (open(2), runPrivileged).
using DeviceOpenFunction = std::function<int(const char* path, int flags)>;
using PrivilegedRunFunction = std::function<ProcessOutcome(
    const std::string& tool, const std::vector<std::string>& arguments, const OutputSink& sink)>;
void setDeviceOpenFunction(DeviceOpenFunction function);
void setPrivilegedRunFunction(PrivilegedRunFunction function);

// The property as a signed 64-bit number; false when it is missing or not a whole number.
bool getRegistryInt64Property(const RegistryEntry& entry, const char* key, int64_t* out);

// The name of the volume mounted from devicePath: its file-system label, else the last component
// of its mount point (the last matching mount wins); empty when it is not mounted.
std::string getMountedVolumeName(const std::string& devicePath, const std::string& mountInfoPath = kMountInfoPath,
                                 const std::string& labelDirectory = kLabelDirectory);

// Where the manager reads the machine's devices and mounts; tests point these at fake files.
struct MacDiskSources {
    std::string sysfsRoot = "/sys";
    std::string mountInfoPath = kMountInfoPath;
    std::string labelDirectory = kLabelDirectory;
};

class CMacDiskManager : public CDiskManager {
public:
    CMacDiskManager();
    explicit CMacDiskManager(MacDiskSources sources);
    ~CMacDiskManager() override;

    // Lists the whole disks; a disk already listed (same unique ID) is refused and deleted.
    void scanForDisks() override;
    // Attaches each partition to its disk (found through sysfs); one whose disk is not listed goes
    // to the top level, also only when no disk of the same unique ID is there.
    void scanForPartitions() override;

private:
    void applyRegistry(CMacDisk* disk, const RegistryEntry& entry);

    MacDiskSources sources;
};
