#include "macdisk.h"

#include "logger.h"
#include "utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

static_assert(sizeof(off_t) == 8, "byte offsets of large disks need a 64-bit off_t");

namespace {

std::mutex hookMutex;
DeviceOpenFunction deviceOpenFunction;
PrivilegedRunFunction privilegedRunFunction;

int openDeviceNode(const char* path, int flags)
{
    DeviceOpenFunction function;
    {
        std::lock_guard<std::mutex> guard(hookMutex);
        function = deviceOpenFunction;
    }
    return function ? function(path, flags) : ::open(path, flags);
}

ProcessOutcome runAsRoot(const std::string& tool, const std::vector<std::string>& arguments, const OutputSink& sink)
{
    PrivilegedRunFunction function;
    {
        std::lock_guard<std::mutex> guard(hookMutex);
        function = privilegedRunFunction;
    }
    return function ? function(tool, arguments, sink) : runPrivileged(tool, arguments, sink);
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

void setPrivilegedRunFunction(PrivilegedRunFunction function)
{
    std::lock_guard<std::mutex> guard(hookMutex);
    privilegedRunFunction = std::move(function);
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
}

bool CMacDisk::readBlocks(int64_t block, int count, void* buffer)
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

    // pread leaves the shared descriptor's position alone, so two threads may read at once.
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(descriptor, bytes + done, length - done, off_t(offset + int64_t(done)));
        if (n < 0 && errno == EINTR)
            continue;
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
    return openDevice(write, true);
}

void CMacDisk::doClose()
{
    if (descriptor >= 0) {
        GLEANER_LOG("closing path: %s\n", path.c_str());
        ::close(descriptor);
        descriptor = -1;
    }
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

    const std::string user = formatString("%d", int(::getuid()));
    const char* const arguments[] = {user.c_str(), path.c_str(), nullptr};
    bool authorizationTried = false;
    for (;;) {
        const int fd = openDeviceNode(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            descriptor = fd;
            return true;
        }
        const int error = errno;
        if (error == EACCES && allowAuthorization && !authorizationTried) {
            authorizationTried = true;
            if (ExecuteWithAuthorizatonRight(kChownTool, arguments))
                continue; // the node now belongs to the user
            GLEANER_LOG("ExecuteWithAuthorizatonRight failed %s (%d)\n", path.c_str(), error);
        }
        GLEANER_LOG("Error opening %s (%d)\n", path.c_str(), error);
        return false;
    }
}

bool ExecuteWithAuthorizatonRight(const char* tool, const char* const* arguments)
{
    freeAuthorization();
    if (!tool)
        return false;
    std::vector<std::string> list;
    for (const char* const* argument = arguments; argument && *argument; ++argument)
        list.emplace_back(*argument);

    // Whatever we printed before must come out before the tool's own lines.
    std::fflush(stdout);
    const ProcessOutcome outcome =
        runAsRoot(tool, list, [](const char* data, size_t length) { std::fwrite(data, 1, length, stdout); });
    std::fflush(stdout);

    if (!outcome.started) {
        std::fprintf(stderr, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, long(outcome.error));
        return false;
    }
    if (outcome.exited && (outcome.exitStatus == kPkexecDismissed || outcome.exitStatus == kPkexecNotAuthorized)) {
        std::fprintf(stderr, "Pre-authorization failed: %ld, giving up.\n", long(outcome.exitStatus));
        std::fprintf(stderr, "(user canceled entering root password)\n");
        return false;
    }
    if (!outcome.succeeded()) {
        // The tool itself failed (or was killed): the node still is not ours.
        const long status = outcome.exited ? long(outcome.exitStatus) : 128L + outcome.signal;
        std::fprintf(stderr, "Failed to execute with privileges (%s): %ld, giving up.\n", tool, status);
        return false;
    }
    return true;
}

void freeAuthorization() {}

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

std::string getMountedVolumeName(const std::string& devicePath, const std::string& mountInfoPath,
                                 const std::string& labelDirectory)
{
    std::string mountPoint;
    bool mounted = false;
    for (const MountEntry& entry : readMountInfo(mountInfoPath)) {
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
        const std::string mountedName = getMountedVolumeName(devicePath, sources.mountInfoPath, sources.labelDirectory);
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
    for (const RegistryEntry& medium : media) {
        std::string kernelName;
        if (!usableKernelName(medium, kernelName))
            continue;
        CDisk* parent = medium.parent.empty() ? nullptr : findDiskByPath(kDeviceDirectory + medium.parent);

        const std::string devicePath = kDeviceDirectory + kernelName;
        CMacDisk* disk = new CMacDisk(devicePath.c_str());
        disk->setName(getMountedVolumeName(devicePath, sources.mountInfoPath, sources.labelDirectory));
        applyRegistry(disk, medium);

        // A partition whose disk is not listed goes to the top level, through the same duplicate
        // test as any disk, so repeated scans do not list it twice.
        const bool kept = parent ? parent->addPartition(disk) : addDisk(disk);
        if (!kept)
            delete disk;
    }
}
