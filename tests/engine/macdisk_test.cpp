#include "macdisk.h"

#include "../platform/fakesysfs.h"
#include "logger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

using sysfstest::FakeSysfs;
using sysfstest::ScratchDirectory;

namespace {

// Gives the tests a look at the descriptor a disk holds.
class ProbeDisk : public CMacDisk {
public:
    using CMacDisk::CMacDisk;
    int fd() const { return descriptor; }
};

std::vector<uint8_t> patternBytes(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t((i * 31 + i / 512) & 0xFF);
    return bytes;
}

class ImageFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        bytes = patternBytes(10 * 512 + 100); // ten whole blocks and a partial one
        imagePath = scratch.write("disk.img", std::string(bytes.begin(), bytes.end()));
    }

    ScratchDirectory scratch;
    std::vector<uint8_t> bytes;
    std::string imagePath;
};

// Restores the real open call and runner after every test that replaces them.
class Authorization : public ImageFile {
protected:
    void TearDown() override
    {
        setDeviceOpenFunction(nullptr);
        setPrivilegedRunFunction(nullptr);
    }

    // The device refuses the first `refusals` opens with EACCES, then opens the image read-only.
    void refuseOpens(int refusals)
    {
        setDeviceOpenFunction([this, refusals](const char* path, int flags) {
            ++opens;
            if (opens <= refusals) {
                errno = EACCES;
                return -1;
            }
            return ::open(path, flags);
        });
    }

    void runnerExits(int status)
    {
        setPrivilegedRunFunction(
            [this, status](const std::string& tool, const std::vector<std::string>& arguments, const OutputSink& sink) {
                ++runs;
                lastTool = tool;
                lastArguments = arguments;
                sink("changed ownership\n", 18);
                ProcessOutcome outcome;
                outcome.started = true;
                outcome.exited = true;
                outcome.exitStatus = status;
                return outcome;
            });
    }

    int opens = 0;
    int runs = 0;
    std::string lastTool;
    std::vector<std::string> lastArguments;
};

} // namespace

TEST_F(ImageFile, GeometryIs512ByteBlocksOfTheWholeFile)
{
    CMacDisk disk(imagePath.c_str());
    EXPECT_EQ(disk.getBlockSize(), 512);
    EXPECT_EQ(disk.getBlockCount(), 10);
    EXPECT_EQ(disk.getPath(), imagePath);
    EXPECT_EQ(disk.getOpenCount(), 0);
}

TEST(MacDisk, UnopenableDeviceKeepsDefaultGeometry)
{
    CMacDisk disk("/nonexistent/gleaner-device");
    EXPECT_EQ(disk.getBlockSize(), 512);
    EXPECT_EQ(disk.getBlockCount(), 0);
}

TEST_F(ImageFile, ReadBlocksGivesTheFileBytes)
{
    CMacDisk disk(imagePath.c_str());
    ASSERT_TRUE(disk.open(false));
    std::vector<uint8_t> buffer(1024);
    ASSERT_TRUE(disk.readBlocks(3, 2, buffer.data()));
    EXPECT_EQ(0, std::memcmp(buffer.data(), bytes.data() + 1536, 1024));
    std::vector<uint8_t> all(10 * 512);
    ASSERT_TRUE(disk.readBlocks(0, 10, all.data()));
    EXPECT_EQ(0, std::memcmp(all.data(), bytes.data(), all.size()));
}

TEST_F(ImageFile, ReadPastTheEndZeroFillsAndFails)
{
    CMacDisk disk(imagePath.c_str());
    ASSERT_TRUE(disk.open(false));
    std::vector<uint8_t> buffer(1024, 0xAA);
    EXPECT_FALSE(disk.readBlocks(10, 2, buffer.data())); // only 100 bytes are left in the file
    EXPECT_EQ(0, std::memcmp(buffer.data(), bytes.data() + 5120, 100));
    for (size_t i = 100; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0) << "byte " << i;
}

TEST_F(ImageFile, ReadsThatCannotBeMadeFail)
{
    CMacDisk disk(imagePath.c_str());
    std::vector<uint8_t> buffer(512, 0xAA);
    EXPECT_FALSE(disk.readBlocks(0, 1, buffer.data())) << "the disk is not open";
    ASSERT_TRUE(disk.open(false));
    EXPECT_FALSE(disk.readBlocks(-1, 1, buffer.data()));
    EXPECT_FALSE(disk.readBlocks(INT64_MAX / 256, 1, buffer.data())); // byte offset beyond 64 bits
    EXPECT_FALSE(disk.readBlocks(0, 1, nullptr));
    EXPECT_TRUE(disk.readBlocks(0, 0, buffer.data()));
}

TEST_F(ImageFile, DeviceIsOpenedReadOnlyAndClosedByTheLastClose)
{
    ProbeDisk disk(imagePath.c_str());
    ASSERT_TRUE(disk.open(false));
    ASSERT_TRUE(disk.open(false));
    const int fd = disk.fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "a privileged child must not inherit the device";
    disk.close();
    EXPECT_EQ(disk.fd(), fd);
    disk.close();
    EXPECT_EQ(disk.fd(), -1);
}

TEST_F(ImageFile, WritingIsRefused)
{
    std::vector<uint8_t> zeros(512);
    {
        CMacDisk disk(imagePath.c_str());
        ASSERT_TRUE(disk.open(false));
        testing::internal::CaptureStdout();
        EXPECT_FALSE(disk.writeBlocks(0, 1, zeros.data()));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("not yet activated/tested!"), std::string::npos);
    }
    std::ifstream file(imagePath, std::ios::binary);
    std::vector<char> after(bytes.size());
    file.read(after.data(), std::streamsize(after.size()));
    EXPECT_EQ(0, std::memcmp(after.data(), bytes.data(), bytes.size()));
}

TEST_F(Authorization, OpenForWritingNeverReachesTheDevice)
{
    refuseOpens(0);
    ProbeDisk disk(imagePath.c_str());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(disk.open(true));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("not yet activated/tested!"), std::string::npos);
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(disk.getOpenCount(), 0);
    EXPECT_EQ(disk.fd(), -1);
}

TEST_F(Authorization, RefusedOpenRunsChownOnceAndOpensAgain)
{
    refuseOpens(1);
    runnerExits(0);
    ProbeDisk disk(imagePath.c_str());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(disk.openDevice(false, true));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(opens, 2);
    EXPECT_GE(disk.fd(), 0);
    EXPECT_EQ(lastTool, "/usr/bin/chown");
    EXPECT_EQ(lastArguments, (std::vector<std::string>{std::to_string(::getuid()), imagePath}));
    EXPECT_NE(output.find("changed ownership"), std::string::npos) << "the tool's output goes to standard output";
}

TEST_F(Authorization, CancelledPromptFailsAfterOneOpen)
{
    CLogger::getInstance()->setEnabled(true);
    CLogger::getInstance()->unmuteFile("macdisk.cpp");
    for (const int dismissed : {126, 127}) {
        opens = runs = 0;
        refuseOpens(1);
        runnerExits(dismissed);
        CMacDisk disk(imagePath.c_str());
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_FALSE(disk.open(false));
        const std::string log = testing::internal::GetCapturedStdout();
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(opens, 1);
        EXPECT_NE(errors.find("Pre-authorization failed: " + std::to_string(dismissed) + ", giving up."),
                  std::string::npos);
        EXPECT_NE(errors.find("(user canceled entering root password)"), std::string::npos);
        EXPECT_NE(log.find("ExecuteWithAuthorizatonRight failed " + imagePath + " (13)"), std::string::npos);
        EXPECT_NE(log.find("Error opening " + imagePath + " (13)"), std::string::npos);
    }
}

TEST_F(Authorization, FailedChownIsAFailure)
{
    refuseOpens(1);
    runnerExits(1);
    CMacDisk disk(imagePath.c_str());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(disk.openDevice(false, true));
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(opens, 1) << "a chown that failed gives no reason to try the device again";
    EXPECT_NE(errors.find("Failed to execute with privileges (/usr/bin/chown): 1, giving up."), std::string::npos);
    EXPECT_EQ(errors.find("user canceled"), std::string::npos);
}

TEST_F(Authorization, StillRefusedAfterChownMakesAtMostTwoOpens)
{
    refuseOpens(5);
    runnerExits(0);
    CMacDisk disk(imagePath.c_str());
    EXPECT_FALSE(disk.openDevice(false, true));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(opens, 2);
}

TEST_F(Authorization, WithoutAuthorizationOrForOtherErrorsNothingIsRun)
{
    refuseOpens(1);
    runnerExits(0);
    CMacDisk disk(imagePath.c_str());
    EXPECT_FALSE(disk.openDevice(false, false));
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(opens, 1);

    CMacDisk missing("/nonexistent/gleaner-device");
    EXPECT_FALSE(missing.openDevice(false, true)); // ENOENT is no question of rights
    EXPECT_EQ(runs, 0);
}

TEST_F(Authorization, RunnerThatCannotStartOrIsKilledFails)
{
    setPrivilegedRunFunction([](const std::string&, const std::vector<std::string>&, const OutputSink&) {
        ProcessOutcome outcome;
        outcome.error = ENOENT;
        return outcome;
    });
    const char* const arguments[] = {"0", "/dev/null", nullptr};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ExecuteWithAuthorizatonRight(kChownTool, arguments));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to execute with privileges (/usr/bin/chown): 2"),
              std::string::npos);

    setPrivilegedRunFunction([](const std::string&, const std::vector<std::string>&, const OutputSink&) {
        ProcessOutcome outcome;
        outcome.started = true;
        outcome.signal = 9;
        return outcome;
    });
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ExecuteWithAuthorizatonRight(kChownTool, arguments));
    testing::internal::GetCapturedStderr();
}

TEST_F(Authorization, ToolOutputAndExitStatusComeFromTheRealProcess)
{
    // Everything but pkexec itself: the tool runs directly, so no prompt and no root are needed.
    setPrivilegedRunFunction(
        [](const std::string& tool, const std::vector<std::string>& arguments, const OutputSink& sink) {
            std::vector<std::string> command{tool};
            command.insert(command.end(), arguments.begin(), arguments.end());
            return runProgram(command, sink);
        });
    const std::string longLine(300, 'x');
    const std::string succeed = "printf '" + longLine + "'; exit 0";
    const char* const good[] = {"-c", succeed.c_str(), nullptr};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ExecuteWithAuthorizatonRight("/bin/sh", good));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(longLine), std::string::npos);

    const char* const bad[] = {"-c", "exit 1", nullptr};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ExecuteWithAuthorizatonRight("/bin/sh", bad));
    testing::internal::GetCapturedStderr();
}

namespace {

const char* kSataBus = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";

class DiskScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        sources.sysfsRoot = sysfs.root();
        sources.mountInfoPath = files.write("mountinfo", "27 1 254:0 / / rw - ext4 /dev/vda rw\n");
        sources.labelDirectory = files.path + "/by-label";
        std::filesystem::create_directories(sources.labelDirectory);
    }

    void mount(const std::string& lines) { files.write("mountinfo", lines); }

    // Runs both scans as the application does, with their chatter kept off the test output.
    void scan(CMacDiskManager& manager)
    {
        testing::internal::CaptureStdout();
        manager.scanForDisks();
        manager.scanForPartitions();
        testing::internal::GetCapturedStdout();
    }

    FakeSysfs sysfs;
    ScratchDirectory files;
    MacDiskSources sources;
};

} // namespace

TEST_F(DiskScan, WholeDisksGetGeometryTypeAndInterface)
{
    const std::string sda = sysfs.addDisk("sda", kSataBus, 3906250000ull); // 2 TB
    sysfs.write(sda + "/device/model", "WDC WD20EZRZ\n");
    sysfs.write("devices/pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
    sysfs.addDisk("sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", 2048, 4096);

    CMacDiskManager manager(sources);
    scan(manager);
    ASSERT_EQ(manager.getDiskCount(), 2);
    CDisk* internal = manager.findDiskByPath("/dev/sda");
    ASSERT_NE(internal, nullptr);
    EXPECT_EQ(internal->getBlockCount(), 3906250000ll);
    EXPECT_EQ(internal->getBlockSize(), 512);
    EXPECT_EQ(internal->getType(), DiskTypeFixed);
    EXPECT_EQ(internal->getInterface(), "SATA");
    EXPECT_EQ(internal->getName(), "WDC WD20EZRZ");
    EXPECT_TRUE(internal->isWholeDisk());
    CDisk* stick = manager.findDiskByPath("/dev/sdb");
    ASSERT_NE(stick, nullptr);
    EXPECT_EQ(stick->getBlockSize(), 4096);
    EXPECT_EQ(stick->getBlockCount(), 256); // 1 MiB in 4 KiB blocks
    EXPECT_EQ(stick->getType(), DiskTypeRemovable);
    EXPECT_EQ(stick->getInterface(), "USB");
}

TEST_F(DiskScan, PartitionsAreAttachedToTheDiskThatHoldsThem)
{
    const std::string disk1 = sysfs.addDisk("disk1", "platform/one", 4096);
    sysfs.addPartition(disk1, "disk1s1", 1024);
    const std::string disk10 = sysfs.addDisk("disk10", "platform/ten", 4096);
    sysfs.addPartition(disk10, "disk10s1", 2048);

    CMacDiskManager manager(sources);
    scan(manager);
    ASSERT_EQ(manager.getDiskCount(), 2);
    const auto onlyPartition = [&](const char* disk, const char* partition, int64_t blocks) {
        CDisk* parent = manager.findDiskByPath(std::string("/dev/") + disk);
        ASSERT_NE(parent, nullptr) << disk;
        ASSERT_EQ(parent->getPartitionCount(), 1) << disk;
        EXPECT_EQ(parent->getPartition(0)->getPath(), std::string("/dev/") + partition);
        EXPECT_EQ(parent->getPartition(0)->getBlockCount(), blocks);
        EXPECT_FALSE(parent->getPartition(0)->isWholeDisk());
    };
    onlyPartition("disk1", "disk1s1", 1024);
    onlyPartition("disk10", "disk10s1", 2048);
}

TEST_F(DiskScan, LoopDeviceIsAnImageFileNamedAfterItsBackingFile)
{
    sysfs.addLoop("loop0", 2048, "/home/user/recover me.img");
    CMacDiskManager manager(sources);
    scan(manager);
    ASSERT_EQ(manager.getDiskCount(), 1);
    CDisk* loop = manager.getDisk(0);
    EXPECT_EQ(loop->getPath(), "/dev/loop0");
    EXPECT_EQ(loop->getType(), DiskTypeImageFile);
    EXPECT_EQ(loop->getName(), "recover me.img");
}

TEST_F(DiskScan, EmptyDevicesAreNotListed)
{
    sysfs.addDisk("loop1", "virtual", 0);
    sysfs.addDisk("sr0", kSataBus, 0, 2048, true);
    CMacDiskManager manager(sources);
    scan(manager);
    EXPECT_EQ(manager.getDiskCount(), 0);
}

TEST_F(DiskScan, MountedVolumeNameReplacesTheModelAndUnmountedPartitionsStayUnnamed)
{
    const std::string sdc = sysfs.addDisk("sdc", kSataBus, 4096);
    sysfs.write(sdc + "/device/model", "Card Reader\n");
    sysfs.addPartition(sdc, "sdc1", 1024, 1);
    sysfs.addPartition(sdc, "sdc2", 1024, 2);
    sysfs.addPartition(sdc, "sdc3", 1024, 3);
    const std::string sdd = sysfs.addDisk("sdd", kSataBus, 4096);
    sysfs.write(sdd + "/device/model", "Backup Drive\n");
    mount("27 1 254:0 / / rw - ext4 /dev/vda rw\n"
          "40 27 8:48 / /media/user/Whole\\040Disk rw - hfsplus /dev/sdd rw\n"
          "41 27 8:33 / /media/user/Photos rw - hfsplus /dev/sdc1 rw\n"
          "42 27 8:34 / /mnt/first rw - vfat /dev/sdc2 rw\n"
          "43 27 8:34 / /mnt/second rw - vfat /dev/sdc2 rw\n");
    std::filesystem::create_symlink("../../sdc1", sources.labelDirectory + "/Holiday\\x202024");

    CMacDiskManager manager(sources);
    scan(manager);
    CDisk* reader = manager.findDiskByPath("/dev/sdc");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->getName(), "Card Reader");
    ASSERT_EQ(reader->getPartitionCount(), 3);
    EXPECT_EQ(reader->getPartition(0)->getName(), "Holiday 2024") << "the label wins over the mount point";
    EXPECT_EQ(reader->getPartition(1)->getName(), "second") << "the last of several mounts wins";
    EXPECT_EQ(reader->getPartition(2)->getName(), "");
    EXPECT_EQ(manager.findDiskByPath("/dev/sdd")->getName(), "Whole Disk");
}

TEST_F(DiskScan, ScanningTwiceListsNothingTwice)
{
    const std::string sda = sysfs.addDisk("sda", kSataBus, 4096);
    sysfs.addPartition(sda, "sda1", 1024);
    sysfs.addPartition("devices/platform/gone/sdq", "sdq1", 1024); // its disk is not listed

    CMacDiskManager manager(sources);
    scan(manager);
    scan(manager);
    ASSERT_EQ(manager.getDiskCount(), 2);
    EXPECT_EQ(manager.findDiskByPath("/dev/sda")->getPartitionCount(), 1);
    EXPECT_NE(manager.findDiskByPath("/dev/sdq1"), nullptr);
}

TEST_F(DiskScan, MissingNumbersKeepWhatTheDeviceReported)
{
    sysfs.addDisk("sdzx", kSataBus, 4096, 0); // no block size: the device's 512 stays
    const std::string sdzy = sysfs.addDisk("sdzy", kSataBus, 4096);
    sysfs.write(sdzy + "/queue/logical_block_size", "0\n");
    const std::string sdzz = sysfs.addDisk("sdzz", kSataBus, 4096);
    sysfs.remove(sdzz + "/size"); // no size: the device's count (0 here) stays

    CMacDiskManager manager(sources);
    scan(manager);
    ASSERT_EQ(manager.getDiskCount(), 3);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzx")->getBlockSize(), 512);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzx")->getBlockCount(), 4096);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzy")->getBlockSize(), 512);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzy")->getBlockCount(), 4096);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzz")->getBlockSize(), 512);
    EXPECT_EQ(manager.findDiskByPath("/dev/sdzz")->getBlockCount(), 0);
}

TEST_F(DiskScan, MissingRegistryLeavesTheListAlone)
{
    MacDiskSources nowhere = sources;
    nowhere.sysfsRoot = files.path + "/no-sysfs";
    CMacDiskManager manager(nowhere);
    testing::internal::CaptureStdout();
    manager.scanForDisks();
    manager.scanForPartitions();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(manager.getDiskCount(), 0);
    EXPECT_NE(output.find("CMacDiskManager::scanForDisks - IOServiceGetMatchingServices failed (2)"),
              std::string::npos);
}
