// CMacDisk: a disk over a device node ("/dev/" + kernel name) or an image file, read with pread and
// never opened for writing; owns its descriptor and its partitions. A device the person may not
// read is opened read-only with administrator rights (asked once a run; the owner and mode of the
// node never change). Read failures and short reads return false (unread bytes zeroed). Reads again
// after a failure bypass the page cache where the device allows, so they fail only where it does.
// CMacDiskManager lists the machine's disks and partitions from the sysfs registry; an unreadable
// attribute leaves the device's own numbers in place.
#pragma once

#include "diskmanager.h"
#include "disks.h"
#include "mountinfo.h"
#include "privilegedopen.h"
#include "sysfsregistry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

inline constexpr const char* kDeviceDirectory = "/dev/";

class CMacDisk : public CDisk {
public:
    CMacDisk();
    // Learns the geometry from the device (a short read-only open) and leaves it closed.
    explicit CMacDisk(const char* path);
    ~CMacDisk() override;

    bool readBlocks(int64_t block, int count, void* buffer) override;
    bool rereadBlocks(int64_t block, int count, void* buffer) override;
    bool writeBlocks(int64_t block, int count, const void* buffer) override;
    bool doOpen(bool write) override;
    void doClose() override;

    // Opens the device read-only. On EACCES it uses the read-only descriptor of this device that an
    // earlier privileged open of this run kept, else, with allowAuthorization, asks for one (once):
    // it is taken only when it is read-only and of this very device. Writing is always refused.
    virtual bool openDevice(bool write, bool allowAuthorization);

    // Whether an open that is refused may ask for administrator rights; listing the disks turns it
    // off while it looks for partition maps, so nobody is asked for a password just to list them.
    bool askForRights = true;

    // Where a partition Linux lists begins on its disk, in bytes; -1 when not known.
    int64_t getBase() const { return base; }
    void setBase(int64_t bytes) { base = bytes; }

protected:
    int descriptor = -1;
    int directDescriptor = -1; // the same device read past the page cache, for reads again; -1: none
    int64_t base = -1;

private:
    void openDirectDescriptor();
    void closeDirectDescriptor();
    bool readFrom(bool direct, int64_t block, int count, void* buffer);
};

// Asks for administrator rights and answers a read-only descriptor of the device at path, or -1
// (the person cancelled, or it could not be had; the reason is printed on standard error). The
// descriptor is checked: read-only access and the very device the path names.
int ExecuteWithAuthorizatonRight(const std::string& path);
// Closes the descriptors that privileged opens of this run kept (the next open asks again).
void freeAuthorization();

// Replaceable for tests: the open call of openDevice and the privileged open. An empty function
// restores the real one (open(2), privilegedOpenDevice).
using DeviceOpenFunction = std::function<int(const char* path, int flags)>;
using PrivilegedOpenFunction = std::function<PrivilegedOpenOutcome(const std::string& path)>;
void setDeviceOpenFunction(DeviceOpenFunction function);
void setPrivilegedOpenFunction(PrivilegedOpenFunction function);

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

// The name of the volume on a disk (a window over it), or empty; reading it needs the file system.
using VolumeNameReader = std::function<std::string(CDisk* volume)>;

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
    // Names the partition given to a whole disk that holds a volume without a partition map.
    void setVolumeNameReader(VolumeNameReader reader) { volumeNameReader = std::move(reader); }

private:
    void applyRegistry(CMacDisk* disk, const RegistryEntry& entry);

    MacDiskSources sources;
    VolumeNameReader volumeNameReader;
};
