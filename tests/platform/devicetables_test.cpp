#include "commandrunner.h"
#include "fakesysfs.h"
#include "mountinfo.h"
#include "sysfsregistry.h"
#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

// Each entry as "<name> <parent> <size> <block size> <interconnect> <location>" cut short; "-" where it lacks one.
static std::string listing(const std::string& root, bool whole, size_t properties = 4)
{
    std::vector<RegistryEntry> entries;
    EXPECT_TRUE(SysfsRegistry(root).match(whole, entries, nullptr));
    std::string described;
    const char* const keys[] = {kRegistrySize, kRegistryBlockSize, kRegistryInterconnect, kRegistryLocation};
    for (const RegistryEntry& entry : entries) {
        described +=
            (described.empty() ? "" : ", ") + entry.kernelName + " " + (entry.parent.empty() ? "-" : entry.parent);
        for (size_t i = 0; i < properties; ++i)
            described += " " + (entry.properties.count(keys[i]) ? entry.properties.at(keys[i]) : std::string("-"));
    }
    return described;
}
// A partition's parent is the folder holding it, not its name, and shares its disk's queue and flags. A number
// unreadable or past what the engine holds is left out, one exactly at the limit kept. The nearest bus counts.
TEST(SysfsRegistry, DescribesEachDeviceFromItsFolder)
{
    const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
    const std::string ata = "pci0000:00/0000:00:1f.1/ata2/host1/target1:0:0/1:0:0:0"; // a parallel ATA port
    FakeSysfs sysfs;
    sysfs.addDisk("disk1", "platform/one", 1000);
    sysfs.addPartition(sysfs.addDisk("disk10", "platform/ten", 1000), "disk10s1", 100);
    sysfs.addDisk("nvme0n1", nvme, 1000);
    sysfs.write(sysfs.addDisk("nvme0c0n1", nvme, 1000) + "/hidden", "1\n");
    sysfs.addDisk("nvme1n1", "virtual/nvme-subsystem/nvme-subsys1", 8);
    sysfs.addPartition(sysfs.addDisk("mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:0001", 1000, 4096, true),
                       "mmcblk0p1", 100);
    sysfs.write("devices/pci0000:00/0000:00:1f.1/ata2/link2/ata_link/link2/sata_spd", "<unknown>\n");
    sysfs.write(sysfs.addDisk("sdg", ata, 1000) + "/size", "99999999999999999999\n"); // beyond 64 bits
    sysfs.write(sysfs.addDisk("sdj", ata, 1000) + "/size", "12abc\n");
    sysfs.addDisk("sdh", ata, 18014398509481983ull, INT_MAX);
    sysfs.write(sysfs.addDisk("sdi", ata, 18014398509481984ull) + "/queue/logical_block_size", "2147483648\n");

    EXPECT_EQ(listing(sysfs.root(), true),
              "disk1 - 512000 512 - Internal, disk10 - 512000 512 - Internal, mmcblk0 - 512000 4096 SD External, "
              "nvme0n1 - 512000 512 PCI-Express Internal, nvme1n1 - 4096 512 PCI-Express Internal, "
              "sdg - - 512 ATA Internal, sdh - 9223372036854775296 2147483647 ATA Internal, sdi - - - ATA Internal, "
              "sdj - - 512 ATA Internal");
    EXPECT_EQ(listing(sysfs.root(), false),
              "disk10s1 disk10 51200 512 - Internal, mmcblk0p1 mmcblk0 51200 4096 SD External");
    std::vector<RegistryEntry> entries;
    int error = 0;
    // Where a partition begins, counted in 512-byte sectors whatever the device's block size.
    sysfs.write("devices/platform/ten/block/disk10/disk10s1/start", "409640\n");
    ASSERT_TRUE(SysfsRegistry(sysfs.root()).match(false, entries, nullptr));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].properties[kRegistryBase], "209735680");
    EXPECT_EQ(entries[1].properties.count(kRegistryBase), 0u) << "no start attribute";
    EXPECT_FALSE(SysfsRegistry(sysfs.root() + "/none").match(true, entries, &error)) << "no class/block folder";
    EXPECT_EQ(error, ENOENT);
}
// Compares our reading of this machine's sysfs with lsblk's, device by device.
TEST(SysfsRegistry, RealSysfsAgreesWithLsblk)
{
    if (!toolAvailable("lsblk"))
        GTEST_SKIP() << "lsblk is not installed";
    std::vector<std::string> theirs[2]; // partitions, then whole devices, described as listing() does
    std::istringstream lines(runTool({"lsblk", "-b", "-l", "-n", "-o", "KNAME,SIZE,LOG-SEC,TYPE,PKNAME"}).output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, size, blockSize, type, parent = "-";
        if (fields >> name >> size >> blockSize >> type && size != "0") {
            if (type == "part")
                fields >> parent;
            theirs[type != "part"].push_back(name + " " + parent + " " + size + " " + blockSize);
        }
    }
    if (theirs[0].empty() && theirs[1].empty())
        GTEST_SKIP() << "lsblk listed no block devices";
    for (const bool whole : {false, true}) {
        std::sort(theirs[whole].begin(), theirs[whole].end(), naturalLess);
        std::string described;
        for (const std::string& entry : theirs[whole])
            described += (described.empty() ? "" : ", ") + entry;
        EXPECT_EQ(listing("/sys", whole, 2), described);
    }
}
TEST(MountInfo, ParsesLinesWithOptionalFieldsAndEscapesAndSkipsMalformedOnes)
{
    FakeSysfs scratch;
    const std::string path =
        scratch.write("mountinfo", "garbage\n"
                                   "1 2 8:1 / /a rw\n"                              // no separator
                                   "1 2 x:y / /b rw - ext4 /dev/sda1 rw\n"          // no device number
                                   "1 2 8:1 / /c rw -\n"                            // nothing after the separator
                                   "1 2 8:1234567890 / /d rw - ext4 /dev/sda1 rw\n" // ten digits
                                   "1 2 8:123456789 / /e rw - ext4 /dev/sdc rw\n"   // nine
                                   "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                                   "36 35 8:17 / /media/My\\040Disk rw shared:1 master:2 - hfsplus /dev/sdb1 rw\n");
    std::string parsed;
    for (const MountEntry& entry : readMountInfo(path))
        parsed += std::to_string(entry.major) + ":" + std::to_string(entry.minor) + " " + entry.mountPoint + " " +
                  entry.fileSystem + " " + entry.source + "\n";
    EXPECT_EQ(parsed, "8:123456789 /e ext4 /dev/sdc\n254:0 / ext4 /dev/vda\n8:17 /media/My Disk hfsplus /dev/sdb1\n");
}
// A volume's name: its label from the by-label link, else the mount point's last component.
TEST(MountInfo, NameComesFromTheByLabelLinkElseTheMountPoint)
{
    FakeSysfs labels;
    std::filesystem::create_symlink("../../sdb1", labels.root() + "/Holiday\\x20Photos\\x3a\\x3A");
    EXPECT_EQ(fileSystemLabel("/dev/sdb1", labels.root()), "Holiday Photos::");
    EXPECT_EQ(fileSystemLabel("/dev/sdb", labels.root()), "");
    EXPECT_EQ(fileSystemLabel("/dev/sdb1", labels.root() + "/none"), "");
    EXPECT_EQ(mountPointName("/mnt/data/"), "data");
    EXPECT_EQ(mountPointName("/"), "/");
}
