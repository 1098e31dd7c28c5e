#include "macdisk.h"

#include "../platform/fakesysfs.h"
#include "apmimage.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {
using Bytes = std::vector<uint8_t>;
class ProbeDisk : public CMacDisk {
public:
    using CMacDisk::CMacDisk;
    int fd() const { return descriptor; }
    int directFd() const { return directDescriptor; }
    bool readOnlyAndNotInherited() const
    {
        return (::fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_RDONLY && (::fcntl(descriptor, F_GETFD) & FD_CLOEXEC);
    }
};
PrivilegedOpenOutcome outcome(PrivilegedOpenOutcome::Status status, int descriptor, int exitStatus = 0)
{
    return {status, descriptor, 0, "", {true, 0, true, exitStatus, 0}}; // a helper that ran and exited
}
// Ten whole blocks and a partial one; the first opens are refused, the privileged side opens read-only.
class MacDiskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = uint8_t(i * 31 + i / 512);
        imagePath = files.write("disk.img", std::string(bytes.begin(), bytes.end()));
    }
    void TearDown() override
    {
        setDeviceOpenFunction(nullptr);
        setPrivilegedOpenFunction(nullptr);
        freeAuthorization();
    }

    using Answer = std::function<PrivilegedOpenOutcome(const std::string& path)>;
    void replaceOpenAndPrivilegedSide(int refusals, Answer answer = nullptr)
    {
        opens = asked = 0;
        setDeviceOpenFunction([this, refusals](const char* path, int flags) {
            if (++opens > refusals)
                return ::open(path, flags);
            errno = EACCES;
            return -1;
        });
        setPrivilegedOpenFunction([this, answer](const std::string& path) {
            ++asked;
            askedPath = path;
            const int fd = answer ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            return answer ? answer(path) : outcome(PrivilegedOpenOutcome::Opened, fd);
        });
    }

    FakeSysfs files;
    Bytes bytes = Bytes(10 * 512 + 100);
    std::string imagePath;
    int opens = 0;
    int asked = 0;
    std::string askedPath;
};
} // namespace
// Writing is refused before the device is reached; a read over the end gives the tail, then zeros.
TEST_F(MacDiskTest, DeviceIsOpenedReadOnlyAndAShortReadGivesZerosForWhatTheFileLacks)
{
    replaceOpenAndPrivilegedSide(0);
    ProbeDisk disk(imagePath.c_str());
    EXPECT_EQ(disk.getBlockCount(), 10);
    Bytes buffer(1024, 0xAA);
    OutputCapture quiet;
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data())) << "the disk is not open";
    EXPECT_FALSE(disk.open(true));
    EXPECT_EQ(opens, 0);
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(false));
    EXPECT_TRUE(disk.readOnlyAndNotInherited());
    EXPECT_FALSE(disk.writeBlocks(0, 1, buffer.data()));
    ASSERT_TRUE(disk.readBlocks(3, 2, buffer.data()));
    EXPECT_EQ(0, std::memcmp(buffer.data(), bytes.data() + 1536, 1024));
    EXPECT_FALSE(disk.readBlocks(10, 2, buffer.data())); // only 100 bytes are left in the file
    Bytes tail(bytes.begin() + 5120, bytes.end());
    tail.resize(1024);
    EXPECT_EQ(buffer, tail);
    EXPECT_FALSE(disk.readBlocks(-1, 1, buffer.data()) || disk.readBlocks(0, 1, nullptr) ||
                 disk.readBlocks(INT64_MAX / 256, 1, buffer.data()));
    EXPECT_TRUE(disk.readBlocks(0, 0, buffer.data()));
    disk.close();
    EXPECT_TRUE(disk.readOnlyAndNotInherited()) << "open until the last close";
    disk.close();
    EXPECT_EQ(disk.fd(), -1);
    EXPECT_EQ(readFileBytes(imagePath), bytes);
}
// Reads again into a buffer on a block boundary go past the page cache where the file system allows
// it; they give what other reads give, up to and past the end of the file.
TEST_F(MacDiskTest, ReadsAgainPastThePageCacheGiveWhatOtherReadsGive)
{
    ProbeDisk disk(imagePath.c_str());
    OutputCapture quiet;
    ASSERT_TRUE(disk.open(false));
    if (disk.directFd() < 0)
        GTEST_SKIP() << "no direct I/O on the file system of " << imagePath;
    EXPECT_EQ(::fcntl(disk.directFd(), F_GETFL) & (O_ACCMODE | O_DIRECT), O_RDONLY | O_DIRECT);
    EXPECT_TRUE(::fcntl(disk.directFd(), F_GETFD) & FD_CLOEXEC);
    const std::unique_ptr<uint8_t, decltype(&std::free)> aligned(static_cast<uint8_t*>(std::aligned_alloc(4096, 8192)),
                                                                 &std::free);
    Bytes unaligned(8192 + 1);
    const std::pair<int64_t, int> reads[] = {{0, 1}, {3, 2}, {2, 8}, {9, 1}, {10, 1}, {9, 2}, {0, 9}};
    for (const auto& [block, count] : reads) {
        SCOPED_TRACE(testing::Message() << block << "+" << count);
        const size_t length = size_t(count) * 512;
        std::memset(aligned.get(), 0xAA, length);
        const bool direct = disk.rereadBlocks(block, count, aligned.get());
        const bool cached = disk.readBlocks(block, count, unaligned.data() + 1);
        EXPECT_EQ(direct, cached);
        EXPECT_EQ(Bytes(aligned.get(), aligned.get() + length),
                  Bytes(unaligned.begin() + 1, unaligned.begin() + 1 + length));
    }
    disk.close();
    EXPECT_EQ(disk.directFd(), -1);
}
// The given descriptor is kept, but not for another node under the same name; other errors ask nothing.
TEST_F(MacDiskTest, RefusedOpenAsksOnceAndLaterOpensUseTheKeptDescriptorOfTheSameNode)
{
    replaceOpenAndPrivilegedSide(100);
    OutputCapture quiet;
    ProbeDisk disk(imagePath.c_str());
    EXPECT_FALSE(disk.openDevice(false, false)) << "without authorization nothing is asked";
    EXPECT_EQ(asked, 0);
    ASSERT_TRUE(disk.openDevice(false, true));
    EXPECT_EQ(askedPath, imagePath);
    EXPECT_TRUE(disk.readOnlyAndNotInherited());
    disk.doClose();

    ASSERT_TRUE(disk.openDevice(false, false)) << "no question is asked, the kept rights stand";
    EXPECT_EQ(asked, 1);
    disk.doClose();
    std::filesystem::remove(imagePath);
    files.write("disk.img", std::string(2048, 'n'));
    ASSERT_TRUE(disk.openDevice(false, true));
    EXPECT_EQ(asked, 2);
    Bytes buffer(1024);
    ASSERT_TRUE(disk.readBlocks(0, 2, buffer.data()));
    EXPECT_EQ(buffer, Bytes(1024, 'n'));
    replaceOpenAndPrivilegedSide(0);
    CMacDisk missing("/nonexistent/gleaner-device");
    EXPECT_FALSE(missing.openDevice(false, true)); // ENOENT is no question of rights
    EXPECT_EQ(asked, 0);
}
TEST_F(MacDiskTest, CancelFailureOrAnUntrustworthyDescriptorOpenNothing)
{
    const std::string otherPath = files.write("other.img", std::string(5120, 'x'));
    const struct {
        const char* name;
        PrivilegedOpenOutcome::Status status;
        int exitStatus;
        std::string handedOver; // the file of the descriptor handed over, if any
        int flags;
        const char* message;
    } cases[] = {
        {"dismissed", PrivilegedOpenOutcome::Cancelled, 126, "", 0, "(user canceled entering root password)"},
        {"helper failed", PrivilegedOpenOutcome::Failed, 1, "", 0, "Failed to execute with privileges"},
        {"read-write", PrivilegedOpenOutcome::Opened, 0, imagePath, O_RDWR, "is not read-only"},
        {"another file", PrivilegedOpenOutcome::Opened, 0, otherPath, O_RDONLY, "is not the device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int given = -1;
        replaceOpenAndPrivilegedSide(100, [&](const std::string&) {
            given = c.handedOver.empty() ? -1 : ::open(c.handedOver.c_str(), c.flags | O_CLOEXEC);
            return outcome(c.status, given, c.exitStatus);
        });
        ProbeDisk disk(imagePath.c_str());
        OutputCapture errors(2);
        OutputCapture output;
        EXPECT_FALSE(disk.openDevice(false, true));
        EXPECT_NE(errors.finish().find(c.message), std::string::npos);
        EXPECT_NE(output.finish().find("Error opening"), std::string::npos);
        EXPECT_EQ(std::tuple(disk.fd(), opens, asked), std::tuple(-1, 1, 1));
        EXPECT_TRUE(given < 0 || ::fcntl(given, F_GETFD) == -1) << "the refused descriptor is closed";
        EXPECT_FALSE(disk.openDevice(false, false)) << "nothing was kept";
    }
}
namespace {
class DiskScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        sources.sysfsRoot = sysfs.root();
        sources.mountInfoPath = sysfs.write("mountinfo", "27 1 254:0 / / rw - ext4 /dev/vda rw\n");
        sources.labelDirectory = sysfs.root() + "/by-label";
        std::filesystem::create_directories(sources.labelDirectory);
    }

    CMacDiskManager& scan()
    {
        if (!manager)
            manager.emplace(sources);
        OutputCapture quiet;
        manager->scanForDisks();
        manager->scanForPartitions();
        return *manager;
    }

    FakeSysfs sysfs;
    MacDiskSources sources;
    std::optional<CMacDiskManager> manager;
};
} // namespace
// Empty devices are not listed; partitions take a label, else the last mount point; no block size is 512.
TEST_F(DiskScan, DisksAndPartitionsGetGeometryTypeInterfaceAndNameOnce)
{
    sysfs.addDisk("loop1", "virtual", 0);
    sysfs.addDisk("sr0", kSataBus, 0, 2048, true);
    sysfs.addLoop("loop0", 2048, "/home/user/recover me.img");
    sysfs.write(sysfs.addDisk("sda", kSataBus, 31250000000ull) + "/device/model", "WDC WD160EDGZ\n");
    sysfs.write("devices/pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
    sysfs.addDisk("sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", 2048, 4096);
    sysfs.addPartition(sysfs.addDisk("disk1", "platform/one", 4096), "disk1s1", 1024);
    sysfs.write(sysfs.addPartition(sysfs.addDisk("disk10", "platform/ten", 4096), "disk10s1", 2048) + "/start", "40\n");
    sysfs.addPartition("devices/platform/gone/sdq", "sdq1", 1024);
    sysfs.addDisk("sdzx", kSataBus, 4096, 0);
    sysfs.write(sysfs.addDisk("sdzy", kSataBus, 4096) + "/queue/logical_block_size", "0\n");
    sysfs.remove(sysfs.addDisk("sdzz", kSataBus, 4096) + "/size");
    sysfs.write("mountinfo", "40 27 8:16 / /media/user/My\\040Stick rw - hfsplus /dev/sdb rw\n"
                             "41 27 8:33 / /mnt/first rw - hfsplus /dev/disk1s1 rw\n"
                             "42 27 8:33 / /mnt/second rw - hfsplus /dev/disk1s1 rw\n"
                             "43 27 8:49 / /mnt/third rw - hfsplus /dev/disk10s1 rw\n");
    std::filesystem::create_symlink("../../disk10s1", sources.labelDirectory + "/Holiday\\x202024");
    scan();
    ASSERT_EQ(scan().getDiskCount(), 9);
    EXPECT_NE(manager->findDiskByPath("/dev/sdq1"), nullptr);
    const struct {
        const char* path;
        int blockSize;
        int64_t blocks;
        CDiskType type;
        const char* name; // a model, a mounted volume's or a backing file's name
    } disks[] = {{"/dev/sda", 512, 31250000000ll, DiskTypeFixed, "WDC WD160EDGZ"}, // more than 32 bits
                 {"/dev/sdb", 4096, 256, DiskTypeRemovable, "My Stick"},
                 {"/dev/loop0", 512, 2048, DiskTypeImageFile, "recover me.img"},
                 {"/dev/sdzx", 512, 4096, DiskTypeFixed, ""},
                 {"/dev/sdzy", 512, 4096, DiskTypeFixed, ""},
                 {"/dev/sdzz", 512, 0, DiskTypeFixed, ""}};
    for (const auto& d : disks) {
        CDisk* disk = manager->findDiskByPath(d.path);
        EXPECT_EQ(std::tuple(disk->getBlockSize(), disk->getBlockCount(), disk->getType(), disk->getName()),
                  std::tuple(d.blockSize, d.blocks, d.type, std::string(d.name)))
            << d.path;
    }
    EXPECT_EQ(manager->findDiskByPath("/dev/sda")->getInterface(), "SATA");
    for (const auto& [disk, name] :
         {std::pair<std::string, std::string>{"disk1", "second"}, {"disk10", "Holiday 2024"}}) {
        CDisk* parent = manager->findDiskByPath("/dev/" + disk);
        ASSERT_EQ(parent->getPartitionCount(), 1) << disk;
        EXPECT_EQ(parent->getPartition(0)->getPath(), "/dev/" + disk + "s1");
        EXPECT_EQ(parent->getPartition(0)->getName(), name);
        EXPECT_FALSE(parent->getPartition(0)->isWholeDisk());
    }
    // Where a partition begins on its disk, in bytes, when Linux tells it.
    const auto base = [&](const char* disk) {
        auto* partition = dynamic_cast<CMacDisk*>(manager->findDiskByPath(disk)->getPartition(0));
        return partition ? partition->getBase() : -2;
    };
    EXPECT_EQ(base("/dev/disk10"), 40 * 512);
    EXPECT_EQ(base("/dev/disk1"), -1);
}
// A whole disk the kernel lists no partitions for has its map read, never by asking for rights.
TEST_F(DiskScan, WholeDiskWithoutListedPartitionsHasItsMapReadWithoutAskingForRights)
{
    const Bytes image = makeApmImage(512, 2048, {{1, 63, "Apple", "Apple_partition_map"}, {64, 1984, "Gleaner"}});
    const std::string imagePath = sysfs.write("apm.img", std::string(image.begin(), image.end()));
    sysfs.addLoop("loop0", 2048, imagePath);
    for (const bool readable : {true, false}) {
        SCOPED_TRACE(readable);
        int asked = 0;
        setDeviceOpenFunction([&](const char* path, int flags) {
            const bool loop = std::string(path) == "/dev/loop0";
            errno = EACCES;
            return !readable && loop ? -1 : ::open(loop ? imagePath.c_str() : path, flags);
        });
        setPrivilegedOpenFunction([&](const std::string&) {
            ++asked;
            return PrivilegedOpenOutcome{};
        });
        manager.reset();
        CDisk* loop = scan().findDiskByPath("/dev/loop0");
        ASSERT_NE(loop, nullptr);
        EXPECT_EQ(asked, 0);
        ASSERT_EQ(loop->getPartitionCount(), readable ? 2 : 0);
        EXPECT_TRUE(!readable || loop->getPartition(1)->getName() == "Gleaner");
    }
    setDeviceOpenFunction(nullptr);
    setPrivilegedOpenFunction(nullptr);
    freeAuthorization();
}
// A whole disk without partitions or a map that holds an HFS Plus or HFSX volume gets one partition over
// all of it, named after the volume (else after the disk); stray bytes at the header's place get none.
TEST_F(DiskScan, WholeDiskHoldingAVolumeWithoutAMapGetsOnePartitionNamedAfterTheVolume)
{
    const struct {
        const char* signature;
        uint32_t allocationBlockSize;
        const char* volumeName; // what the file system reader answers
        const char* partition;  // the partition listed, or null for none
    } cases[] = {{"H+", 4096, "Backup", "Backup"},
                 {"HX", 512, "", "disk1.img"},
                 {"H+", 0, "Backup", nullptr},
                 {"H+", 3000, "Backup", nullptr},
                 {"BD", 4096, "Backup", nullptr}};
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.signature << " " << c.allocationBlockSize);
        const std::string device = "loop" + std::to_string(index);
        const std::string file = "disk" + std::to_string(index++) + ".img";
        Bytes image(2048 * 512);
        std::memcpy(image.data() + 1024, c.signature, 2);
        for (int i = 0; i < 4; ++i)
            image[1024 + 40 + i] = uint8_t(c.allocationBlockSize >> (24 - 8 * i));
        const std::string imagePath = sysfs.write(file, std::string(image.begin(), image.end()));
        sysfs.addLoop(device, 2048, imagePath);
        setDeviceOpenFunction([&](const char* path, int flags) {
            return ::open(std::string(path) == "/dev/" + device ? imagePath.c_str() : path, flags);
        });
        manager.reset();
        manager.emplace(sources);
        std::string asked;
        manager->setVolumeNameReader([&](CDisk* volume) {
            asked = volume->getPath() + std::to_string(volume->getBlockCount());
            return std::string(c.volumeName);
        });
        scan();
        CDisk* loop = scan().findDiskByPath("/dev/" + device);
        ASSERT_NE(loop, nullptr);
        ASSERT_EQ(loop->getPartitionCount(), c.partition ? 1 : 0) << "listed once, also when scanned again";
        if (!c.partition)
            continue;
        EXPECT_EQ(asked, "2048");
        EXPECT_EQ(loop->getPartition(0)->getName(), c.partition);
        EXPECT_EQ(loop->getPartition(0)->getBlockCount(), 2048);
        EXPECT_FALSE(loop->getPartition(0)->isWholeDisk());
    }
    setDeviceOpenFunction(nullptr);
}
