#include "macdisk.h"

#include "../platform/fakesysfs.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace {

// Gives the tests a look at the descriptor a disk holds.
class ProbeDisk : public CMacDisk {
public:
    using CMacDisk::CMacDisk;
    int fd() const { return descriptor; }
};

ProcessOutcome exited(int status)
{
    ProcessOutcome outcome;
    outcome.started = outcome.exited = true;
    outcome.exitStatus = status;
    return outcome;
}

// An image file of ten whole blocks and a partial one, and stand-ins for the device's open call
// (refusing the first opens with EACCES) and for the privileged runner.
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
        setPrivilegedRunFunction(nullptr);
    }

    void replaceOpenAndRunner(int refusals, ProcessOutcome outcome)
    {
        opens = runs = 0;
        setDeviceOpenFunction([this, refusals](const char* path, int flags) {
            if (++opens > refusals)
                return ::open(path, flags);
            errno = EACCES;
            return -1;
        });
        setPrivilegedRunFunction([this, outcome](const std::string& tool, const std::vector<std::string>& arguments,
                                                 const OutputSink& sink) {
            ++runs;
            command = tool;
            for (const std::string& argument : arguments)
                command += " " + argument;
            sink("changed ownership\n", 18);
            return outcome;
        });
    }

    FakeSysfs files;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(10 * 512 + 100);
    std::string imagePath;
    int opens = 0;
    int runs = 0;
    std::string command;
};

} // namespace

TEST_F(MacDiskTest, ShortReadGivesZerosForWhatTheFileLacks)
{
    CMacDisk disk(imagePath.c_str());
    EXPECT_EQ(disk.getBlockCount(), 10); // the partial block is not part of the disk
    ASSERT_TRUE(disk.open(false));
    std::vector<uint8_t> buffer(1024, 0xAA);
    ASSERT_TRUE(disk.readBlocks(3, 2, buffer.data()));
    EXPECT_EQ(0, std::memcmp(buffer.data(), bytes.data() + 1536, 1024));
    OutputCapture quiet;
    EXPECT_FALSE(disk.readBlocks(10, 2, buffer.data())); // only 100 bytes are left in the file
    EXPECT_EQ(0, std::memcmp(buffer.data(), bytes.data() + 5120, 100));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 100, buffer.end()), std::vector<uint8_t>(924, 0));
}

TEST_F(MacDiskTest, ReadsThatCannotBeMadeFail)
{
    CMacDisk disk(imagePath.c_str());
    std::vector<uint8_t> buffer(512, 0xAA);
    OutputCapture quiet;
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data())) << "the disk is not open";
    ASSERT_TRUE(disk.open(false));
    EXPECT_FALSE(disk.readBlocks(-1, 1, buffer.data()));
    EXPECT_FALSE(disk.readBlocks(INT64_MAX / 256, 1, buffer.data())); // byte offset beyond 64 bits
    EXPECT_FALSE(disk.readBlocks(0, 1, nullptr));
    EXPECT_TRUE(disk.readBlocks(0, 0, buffer.data()));
}

// Opening for writing is refused before the device is reached; a read open is read-only, not
// inherited by a privileged child, and lasts until the last close.
TEST_F(MacDiskTest, DeviceIsOpenedOnlyReadOnlyAndClosedByTheLastClose)
{
    replaceOpenAndRunner(0, exited(0));
    ProbeDisk disk(imagePath.c_str());
    OutputCapture quiet;
    EXPECT_FALSE(disk.open(true));
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(disk.getOpenCount(), 0);
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(false));
    const int fd = disk.fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    const uint8_t zeros[512] = {};
    EXPECT_FALSE(disk.writeBlocks(0, 1, zeros));
    disk.close();
    EXPECT_EQ(disk.fd(), fd);
    disk.close();
    EXPECT_EQ(disk.fd(), -1);
    EXPECT_EQ(readFileBytes(imagePath), bytes);
}

// One chown prompt at most; only a chown that ran and exited with 0 is worth a second open.
TEST_F(MacDiskTest, RefusedOpenRunsChownOnceAndRetriesOnlyAfterItsSuccess)
{
    ProcessOutcome notStarted;
    notStarted.error = ENOENT;
    ProcessOutcome killed;
    killed.started = true;
    killed.signal = 9;
    const struct {
        int refusals;
        ProcessOutcome outcome;
        bool opened;
        int opens;
    } cases[] = {{1, exited(0), true, 2},    {5, exited(0), false, 2},   {1, exited(1), false, 1},
                 {1, exited(126), false, 1}, {1, exited(127), false, 1}, {1, notStarted, false, 1},
                 {1, killed, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "refusals " << c.refusals << ", exit " << c.outcome.exitStatus << ", signal "
                                        << c.outcome.signal << ", started " << c.outcome.started);
        replaceOpenAndRunner(c.refusals, c.outcome);
        ProbeDisk disk(imagePath.c_str());
        OutputCapture errors(2);
        OutputCapture output;
        EXPECT_EQ(disk.openDevice(false, true), c.opened);
        EXPECT_NE(output.finish().find("changed ownership"), std::string::npos) << "the tool's output is shown";
        EXPECT_EQ(disk.fd() >= 0, c.opened);
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(opens, c.opens);
        EXPECT_EQ(command, "/usr/bin/chown " + std::to_string(::getuid()) + " " + imagePath);
    }
}

TEST_F(MacDiskTest, WithoutAuthorizationOrForOtherErrorsNothingIsRun)
{
    replaceOpenAndRunner(1, exited(0));
    OutputCapture quiet;
    CMacDisk disk(imagePath.c_str());
    EXPECT_FALSE(disk.openDevice(false, false));
    EXPECT_EQ(opens, 1);
    CMacDisk missing("/nonexistent/gleaner-device");
    EXPECT_FALSE(missing.openDevice(false, true)); // ENOENT is no question of rights
    EXPECT_EQ(runs, 0);
}

namespace {

// A fake sysfs with a mount table and a by-label folder beside it.
class DiskScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        sources.sysfsRoot = sysfs.root();
        sources.mountInfoPath = sysfs.write("mountinfo", "27 1 254:0 / / rw - ext4 /dev/vda rw\n");
        sources.labelDirectory = sysfs.root() + "/by-label";
        std::filesystem::create_directories(sources.labelDirectory);
    }

    // Both scans as the application runs them, their chatter kept off the test output.
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

TEST_F(DiskScan, WholeDisksGetGeometryTypeAndInterface)
{
    sysfs.write(sysfs.addDisk("sda", kSataBus, 3906250000ull) + "/device/model", "WDC WD20EZRZ\n"); // 2 TB
    sysfs.write("devices/pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
    sysfs.addDisk("sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", 2048, 4096);
    sysfs.write("mountinfo", "40 27 8:16 / /media/user/My\\040Stick rw - hfsplus /dev/sdb rw\n");
    ASSERT_EQ(scan().getDiskCount(), 2);
    CDisk* internal = manager->findDiskByPath("/dev/sda");
    EXPECT_EQ(internal->getBlockCount(), 3906250000ll);
    EXPECT_EQ(internal->getType(), DiskTypeFixed);
    EXPECT_EQ(internal->getInterface(), "SATA");
    EXPECT_EQ(internal->getName(), "WDC WD20EZRZ");
    CDisk* stick = manager->findDiskByPath("/dev/sdb");
    EXPECT_EQ(stick->getBlockSize(), 4096);
    EXPECT_EQ(stick->getBlockCount(), 256); // 1 MiB in 4 KiB blocks
    EXPECT_EQ(stick->getType(), DiskTypeRemovable);
    EXPECT_EQ(stick->getName(), "My Stick") << "named after its mounted volume";
}

TEST_F(DiskScan, PartitionsAreAttachedToTheDiskThatHoldsThemAndNamedAfterTheirVolume)
{
    sysfs.addPartition(sysfs.addDisk("disk1", "platform/one", 4096), "disk1s1", 1024);
    sysfs.addPartition(sysfs.addDisk("disk10", "platform/ten", 4096), "disk10s1", 2048);
    sysfs.write("mountinfo", "41 27 8:33 / /mnt/first rw - hfsplus /dev/disk1s1 rw\n"
                             "42 27 8:33 / /mnt/second rw - hfsplus /dev/disk1s1 rw\n"
                             "43 27 8:49 / /mnt/third rw - hfsplus /dev/disk10s1 rw\n");
    std::filesystem::create_symlink("../../disk10s1", sources.labelDirectory + "/Holiday\\x202024");
    ASSERT_EQ(scan().getDiskCount(), 2);
    for (const auto& [disk, name] :
         {std::pair<std::string, std::string>{"disk1", "second"}, {"disk10", "Holiday 2024"}}) {
        CDisk* parent = manager->findDiskByPath("/dev/" + disk);
        ASSERT_EQ(parent->getPartitionCount(), 1) << disk;
        EXPECT_EQ(parent->getPartition(0)->getPath(), "/dev/" + disk + "s1");
        EXPECT_EQ(parent->getPartition(0)->getName(), name) << "a label first, else the last mount point";
        EXPECT_FALSE(parent->getPartition(0)->isWholeDisk());
    }
}

TEST_F(DiskScan, LoopDeviceIsAnImageFileNamedAfterItsBackingFile)
{
    sysfs.addLoop("loop0", 2048, "/home/user/recover me.img");
    ASSERT_EQ(scan().getDiskCount(), 1);
    EXPECT_EQ(manager->getDisk(0)->getType(), DiskTypeImageFile);
    EXPECT_EQ(manager->getDisk(0)->getName(), "recover me.img");
}

TEST_F(DiskScan, EmptyDevicesAreNotListed)
{
    sysfs.addDisk("loop1", "virtual", 0);
    sysfs.addDisk("sr0", kSataBus, 0, 2048, true);
    EXPECT_EQ(scan().getDiskCount(), 0);
}

TEST_F(DiskScan, ScanningTwiceListsNothingTwiceAlsoAPartitionWithoutItsDisk)
{
    sysfs.addPartition(sysfs.addDisk("sda", kSataBus, 4096), "sda1", 1024);
    sysfs.addPartition("devices/platform/gone/sdq", "sdq1", 1024); // its disk is not listed
    scan();
    ASSERT_EQ(scan().getDiskCount(), 2);
    EXPECT_EQ(manager->findDiskByPath("/dev/sda")->getPartitionCount(), 1);
    EXPECT_NE(manager->findDiskByPath("/dev/sdq1"), nullptr);
}

// No block size or a zero one keeps the device's 512; no size keeps its count (0 here) and
// divides nothing.
TEST_F(DiskScan, MissingNumbersKeepWhatTheDeviceReported)
{
    sysfs.addDisk("sdzx", kSataBus, 4096, 0);
    sysfs.write(sysfs.addDisk("sdzy", kSataBus, 4096) + "/queue/logical_block_size", "0\n");
    sysfs.remove(sysfs.addDisk("sdzz", kSataBus, 4096) + "/size");
    ASSERT_EQ(scan().getDiskCount(), 3);
    for (const auto& [path, blocks] :
         {std::pair<const char*, int64_t>{"/dev/sdzx", 4096}, {"/dev/sdzy", 4096}, {"/dev/sdzz", 0}}) {
        EXPECT_EQ(manager->findDiskByPath(path)->getBlockSize(), 512) << path;
        EXPECT_EQ(manager->findDiskByPath(path)->getBlockCount(), blocks) << path;
    }
}
