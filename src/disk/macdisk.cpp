#include "macdisk.h"

#include "logger.h"
#include "partitiondisk.h"
#include "utils.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

static_assert(sizeof(off_t) == 8, "byte offsets of large disks need a 64-bit off_t");

namespace {

std::mutex hookMutex;
DeviceOpenFunction deviceOpenFunction;
PrivilegedOpenFunction privilegedOpenFunction;

// Read-only descriptors obtained with administrator rights, kept for the rest of the run so the
// next open of the same device asks no more; each with the identity of the node it was taken for.
struct KeptDescriptor {
    int fd = -1;
    struct stat node {};
};
std::mutex keptMutex;
std::map<std::string, KeptDescriptor> keptDescriptors;

int openDeviceNode(const char* path, int flags)
{
    DeviceOpenFunction function;
    {
        std::lock_guard<std::mutex> guard(hookMutex);
        function = deviceOpenFunction;
    }
    return function ? function(path, flags) : ::open(path, flags);
}

PrivilegedOpenOutcome openAsRoot(const std::string& path)
{
    PrivilegedOpenFunction function;
    {
        std::lock_guard<std::mutex> guard(hookMutex);
        function = privilegedOpenFunction;
    }
    return function ? function(path) : privilegedOpenDevice(path);
}

// A block device is the same device when its device number is; anything else (an image file) when
// it is the same file.
bool sameNode(const struct stat& a, const struct stat& b)
{
    if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT))
        return false;
    if (S_ISBLK(a.st_mode) || S_ISCHR(a.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A duplicate of the kept descriptor of path, or -1. One whose node no longer matches the path (the
// device went and another took its name) is dropped.
int keptDescriptorFor(const std::string& path)
{
    std::lock_guard<std::mutex> guard(keptMutex);
    const auto found = keptDescriptors.find(path);
    if (found == keptDescriptors.end())
        return -1;
    struct stat now;
    const KeptDescriptor& kept = found->second;
    if (::stat(path.c_str(), &now) != 0 || !sameNode(now, kept.node)) {
        ::close(kept.fd);
        keptDescriptors.erase(found);
        return -1;
    }
    return ::fcntl(kept.fd, F_DUPFD_CLOEXEC, 3);
}

void keepDescriptor(const std::string& path, int fd, const struct stat& node)
{
    std::lock_guard<std::mutex> guard(keptMutex);
    KeptDescriptor& kept = keptDescriptors[path];
    if (kept.fd >= 0)
        ::close(kept.fd);
    kept = {fd, node};
}

// Log lines print 64-bit numbers through single precision, like every other count in the log.
double logNumber(int64_t value)
{
    return double(float(value));
}

} // namespace

void setDeviceOpenFunction(DeviceOpenFunction function)
{
    std::lock_guard<std::mutex> guard(hookMutex);
    deviceOpenFunction = std::move(function);
}

void setPrivilegedOpenFunction(PrivilegedOpenFunction function)
{
    std::lock_guard<std::mutex> guard(hookMutex);
    privilegedOpenFunction = std::move(function);
}

CMacDisk::CMacDisk() = default;

CMacDisk::CMacDisk(const char* devicePath)
{
    GLEANER_LOG("CMacDisk created - opening path: %s\n", devicePath ? devicePath : "");
    blockSize = 512;
    blockCount = 0;
    path = devicePath ? devicePath : "";

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        GLEANER_LOG("error opening path: %s\n", path.c_str());

    bool sizeKnown = false;
    bool countKnown = false;
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0) {
        if (S_ISREG(info.st_mode)) {
            // An image file is a disk of 512-byte blocks; a trailing partial block is not part of it.
            sizeKnown = true;
            countKnown = true;
            blockCount = int64_t(info.st_size) / 512;
        } else if (S_ISBLK(info.st_mode)) {
            int logicalSize = 0;
            if (::ioctl(fd, BLKSSZGET, &logicalSize) == 0 && logicalSize > 0) {
                blockSize = logicalSize;
                sizeKnown = true;
            }
            uint64_t bytes = 0;
            if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes <= uint64_t(INT64_MAX)) {
                blockCount = int64_t(bytes) / blockSize;
                countKnown = true;
            }
        }
    }
    if (!sizeKnown)
        GLEANER_LOG("error: couldn't determine block size of device.\n");
    GLEANER_LOG("using blockSize %d\n", blockSize);
    if (!countKnown)
        GLEANER_LOG("error: couldn't determine block count of device.\n");
    GLEANER_LOG("using blockCount %.0f\n", logNumber(blockCount));
    if (fd >= 0)
        ::close(fd);
}

CMacDisk::~CMacDisk()
{
    cleanup();
    // cleanup closes one level of a counted open; the descriptor must not outlive the disk.
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    closeDirectDescriptor();
}

// The kernel reads a device in folios of up to many pages and fails a whole folio when one of its
// sectors fails, and keeps failing it: a bad page's readable neighbours would be lost with it.
// Reads of the open device itself, past the page cache, fail only where the device does. Where no
// such descriptor can be had (a file system without direct I/O, a descriptor granted with
// administrator rights), reads go through the page cache.
void CMacDisk::openDirectDescriptor()
{
    closeDirectDescriptor();
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
    directDescriptor = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
}

void CMacDisk::closeDirectDescriptor()
{
    if (directDescriptor >= 0) {
        ::close(directDescriptor);
        directDescriptor = -1;
    }
}

bool CMacDisk::readBlocks(int64_t block, int count, void* buffer)
{
    return readFrom(false, block, count, buffer);
}

bool CMacDisk::rereadBlocks(int64_t block, int count, void* buffer)
{
    return readFrom(true, block, count, buffer);
}

bool CMacDisk::readFrom(bool direct, int64_t block, int count, void* buffer)
{
    const int size = blockSize;
    if (block < 0 || count < 0 || size <= 0 || !buffer || block > INT64_MAX / size ||
        int64_t(count) > (INT64_MAX - block * size) / size) {
        std::printf("error seeking block=%.0f, cnt=%d, path=%s\n", logNumber(block), count, path.c_str());
        return false;
    }
    const int64_t offset = block * size;
    const size_t length = size_t(count) * size_t(size);
    uint8_t* bytes = static_cast<uint8_t*>(buffer);

    // Direct I/O wants the buffer on a block boundary.
    int fd = descriptor;
    if (direct && directDescriptor >= 0 && reinterpret_cast<uintptr_t>(buffer) % size_t(size) == 0)
        fd = directDescriptor;
    // pread leaves the shared descriptor's position alone, so two threads may read at once.
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes + done, length - done, off_t(offset + int64_t(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EINVAL && fd != descriptor) { // direct I/O refused this one
            fd = descriptor;
            continue;
        }
        if (n <= 0) {
            // A failed read or the device ending early: what was not read must not pass for data.
            std::memset(bytes + done, 0, length - done);
            std::printf("error reading block=%.0f, cnt=%d, path=%s\n", logNumber(block), count, path.c_str());
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool CMacDisk::writeBlocks(int64_t, int, const void*)
{
    std::printf("not yet activated/tested!\n");
    return false;
}

bool CMacDisk::doOpen(bool write)
{
    return openDevice(write, askForRights);
}

void CMacDisk::doClose()
{
    if (descriptor >= 0) {
        GLEANER_LOG("closing path: %s\n", path.c_str());
        ::close(descriptor);
        descriptor = -1;
    }
    closeDirectDescriptor();
}

bool CMacDisk::openDevice(bool write, bool allowAuthorization)
{
    // Recovery never writes to the disk it reads: a device is not opened for writing at all.
    if (write) {
        std::printf("not yet activated/tested!\n");
        GLEANER_LOG("Error opening %s (%d)\n", path.c_str(), EROFS);
        return false;
    }
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    closeDirectDescriptor();

    int fd = openDeviceNode(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        descriptor = fd;
        openDirectDescriptor();
        return true;
    }
    const int error = errno;
    if (error == EACCES) {
        // Rights granted earlier in this run still stand; only without them is the person asked.
        fd = keptDescriptorFor(path);
        if (fd < 0 && allowAuthorization) {
            fd = ExecuteWithAuthorizatonRight(path);
            if (fd < 0)
                GLEANER_LOG("ExecuteWithAuthorizatonRight failed %s (%d)\n", path.c_str(), error);
        }
        if (fd >= 0) {
            descriptor = fd;
            openDirectDescriptor();
            return true;
        }
    }
    GLEANER_LOG("Error opening %s (%d)\n", path.c_str(), error);
    return false;
}

int ExecuteWithAuthorizatonRight(const std::string& path)
{
    // Whatever we printed before must come out before anything the privileged side prints.
    std::fflush(stdout);
    PrivilegedOpenOutcome outcome = openAsRoot(path);
    std::fflush(stdout);

    const char* tool = outcome.tool.empty() ? kPkexecPath : outcome.tool.c_str();
    if (outcome.status == PrivilegedOpenOutcome::Cancelled) {
        std::fprintf(stderr, "Pre-authorization failed: %ld, giving up.\n", long(outcome.process.exitStatus));
        std::fprintf(stderr, "(user canceled entering root password)\n");
        return -1;
    }
    if (outcome.status != PrivilegedOpenOutcome::Opened || outcome.descriptor < 0) {
        if (outcome.descriptor >= 0)
            ::close(outcome.descriptor);
        const long status = !outcome.process.started ? long(outcome.error)
                            : outcome.process.exited ? long(outcome.process.exitStatus)
                                                     : 128L + outcome.process.signal;
        std::fprintf(stderr, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, status);
        return -1;
    }

    // Take nothing on trust: the descriptor must allow reading only, and be of the node asked for.
    const int fd = outcome.descriptor;
    struct stat got;
    struct stat wanted;
    const int flags = ::fcntl(fd, F_GETFL);
    const bool readOnly = flags >= 0 && (flags & O_ACCMODE) == O_RDONLY;
    const bool same = ::fstat(fd, &got) == 0 && ::stat(path.c_str(), &wanted) == 0 && sameNode(got, wanted);
    if (!readOnly || !same) {
        ::close(fd);
        std::fprintf(stderr, "Failed to execute with privileges (%s): the descriptor is not %s of %s, giving up.\n",
                     tool, readOnly ? "the device" : "read-only", escapeControlCharacters(path).c_str());
        return -1;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) {
        ::close(fd);
        std::fprintf(stderr, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, long(errno));
        return -1;
    }
    keepDescriptor(path, fd, wanted);
    return copy;
}

void freeAuthorization()
{
    std::lock_guard<std::mutex> guard(keptMutex);
    for (auto& entry : keptDescriptors)
        ::close(entry.second.fd);
    keptDescriptors.clear();
}

bool getRegistryInt64Property(const RegistryEntry& entry, const char* key, int64_t* out)
{
    if (!key || !out)
        return false;
    const auto found = entry.properties.find(key);
    if (found == entry.properties.end())
        return false;
    const std::string& text = found->second;
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = int64_t(value);
    return true;
}

namespace {

std::string mountedVolumeName(const std::string& devicePath, const std::vector<MountEntry>& mounts,
                              const std::string& labelDirectory)
{
    std::string mountPoint;
    bool mounted = false;
    for (const MountEntry& entry : mounts) {
        if (mountIsDevice(entry, devicePath)) {
            mounted = true;
            mountPoint = entry.mountPoint; // with several mounts the last one wins
        }
    }
    if (!mounted)
        return {};
    const std::string label = fileSystemLabel(devicePath, labelDirectory);
    return label.empty() ? mountPointName(mountPoint) : label;
}

} // namespace

std::string getMountedVolumeName(const std::string& devicePath, const std::string& mountInfoPath,
                                 const std::string& labelDirectory)
{
    return mountedVolumeName(devicePath, readMountInfo(mountInfoPath), labelDirectory);
}

namespace {

// The kernel name becomes a path: refuse anything that is not one plain, short file name.
bool usableKernelName(const RegistryEntry& entry, std::string& name)
{
    const auto found = entry.properties.find(kRegistryBSDName);
    if (found == entry.properties.end())
        return false;
    name = found->second;
    return !name.empty() && name.size() < 32 && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Cuts text to at most limit bytes without splitting a UTF-8 sequence.
std::string cutText(const std::string& text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace

CMacDiskManager::CMacDiskManager() = default;

CMacDiskManager::CMacDiskManager(MacDiskSources diskSources) : sources(std::move(diskSources)) {}

CMacDiskManager::~CMacDiskManager() = default;

void CMacDiskManager::applyRegistry(CMacDisk* disk, const RegistryEntry& entry)
{
    // A missing or unusable registry number keeps what the device itself reported.
    int64_t size = 0;
    int64_t registryBlockSize = 0;
    const bool sizeKnown = getRegistryInt64Property(entry, kRegistrySize, &size) && size >= 0;
    if (getRegistryInt64Property(entry, kRegistryBlockSize, &registryBlockSize) && registryBlockSize > 0 &&
        registryBlockSize <= INT_MAX)
        disk->setBlockSize(int(registryBlockSize));
    const int64_t divisor = disk->getBlockSize();
    if (sizeKnown && divisor > 0)
        disk->setBlockCount(size / divisor);
    int64_t base = 0;
    if (getRegistryInt64Property(entry, kRegistryBase, &base) && base >= 0)
        disk->setBase(base);
}

void CMacDiskManager::scanForDisks()
{
    std::printf("CMacDiskManager::scanForDisks\n");
    std::vector<RegistryEntry> media;
    int error = 0;
    if (!SysfsRegistry(sources.sysfsRoot).match(true, media, &error)) {
        std::printf("CMacDiskManager::scanForDisks - IOServiceGetMatchingServices failed (%d)\n", error);
        return;
    }
    // One read of the mount table for the whole listing, not one a disk.
    const std::vector<MountEntry> mounts = readMountInfo(sources.mountInfoPath);
    for (const RegistryEntry& medium : media) {
        std::string kernelName;
        if (!usableKernelName(medium, kernelName))
            continue;
        const std::string devicePath = kDeviceDirectory + kernelName;
        CMacDisk* disk = new CMacDisk(devicePath.c_str());

        const std::string registryName = cutText(medium.registryName, 127);
        const auto property = [&](const char* key) {
            const auto found = medium.properties.find(key);
            return found == medium.properties.end() ? std::string() : found->second;
        };
        const std::string interconnect = property(kRegistryInterconnect);
        const std::string location = property(kRegistryLocation);
        if (location == "Internal")
            disk->setType(DiskTypeFixed);
        else if (location == "External")
            disk->setType(DiskTypeRemovable);
        else if (location == "File")
            disk->setType(DiskTypeImageFile);

        if (!registryName.empty())
            disk->setName(registryName);
        const std::string mountedName = mountedVolumeName(devicePath, mounts, sources.labelDirectory);
        if (!mountedName.empty())
            disk->setName(mountedName);
        if (!interconnect.empty())
            disk->setInterface(interconnect);
        applyRegistry(disk, medium);

        if (!addDisk(disk))
            delete disk;
    }
}

void CMacDiskManager::scanForPartitions()
{
    std::printf("CMacDiskManager::scanForPartitions\n");
    std::vector<RegistryEntry> media;
    int error = 0;
    if (!SysfsRegistry(sources.sysfsRoot).match(false, media, &error)) {
        std::printf("CMacDiskManager::scanForPartitions - IOServiceGetMatchingServices failed (%d)\n", error);
        return;
    }
    const std::vector<MountEntry> mounts = readMountInfo(sources.mountInfoPath);
    for (const RegistryEntry& medium : media) {
        std::string kernelName;
        if (!usableKernelName(medium, kernelName))
            continue;
        CDisk* parent = medium.parent.empty() ? nullptr : findDiskByPath(kDeviceDirectory + medium.parent);

        const std::string devicePath = kDeviceDirectory + kernelName;
        CMacDisk* disk = new CMacDisk(devicePath.c_str());
        disk->setName(mountedVolumeName(devicePath, mounts, sources.labelDirectory));
        applyRegistry(disk, medium);

        // A partition whose disk is not listed goes to the top level, through the same duplicate
        // test as any disk, so repeated scans do not list it twice.
        const bool kept = parent ? parent->addPartition(disk) : addDisk(disk);
        if (!kept)
            delete disk;
    }

    // Linux lists an Apple partition map's partitions only when its kernel reads such maps, which
    // many do not (nor for loop devices of disk images): a whole disk without partitions gets its
    // map read here, if it can be read without asking for rights. One without a map that holds a
    // volume all the same (an image of one partition, a stick formatted without a map) gets one
    // partition over the whole disk, so that it can be browsed like any other volume.
    for (int i = 0; i < getDiskCount(); ++i) {
        CMacDisk* whole = dynamic_cast<CMacDisk*>(getDisk(i));
        if (!whole || whole->getPartitionCount() > 0)
            continue;
        whole->askForRights = false;
        whole->scanForPartitions();
        if (whole->getPartitionCount() == 0) {
            if (CPartitionDisk* volume = findWholeDiskVolume(whole)) {
                std::string name = volumeNameReader ? volumeNameReader(volume) : std::string();
                volume->setName(name.empty() ? whole->getName() : name);
                if (!whole->addPartition(volume))
                    delete volume;
            }
        }
        whole->askForRights = true;
    }
}
