#include "sysfsregistry.h"

#include "commandrunner.h"
#include "fakesysfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace {

std::map<std::string, RegistryEntry> listing(const FakeSysfs& sysfs, bool whole)
{
    std::vector<RegistryEntry> entries;
    EXPECT_TRUE(SysfsRegistry(sysfs.root()).match(whole, entries, nullptr));
    std::map<std::string, RegistryEntry> byName;
    for (RegistryEntry& entry : entries)
        byName[entry.kernelName] = entry;
    return byName;
}

std::string property(const RegistryEntry& entry, const char* key)
{
    const auto found = entry.properties.find(key);
    return found == entry.properties.end() ? "<none>" : found->second;
}

} // namespace

// Not the name: disk10s1 belongs to disk10, not to disk1; nvme and mmc partitions add a "p". Without
// a class/block folder the match fails with its errno.
TEST(SysfsRegistry, PartitionParentComesFromTheFolderHierarchy)
{
    const struct {
        const char *disk, *bus, *partition;
    } cases[] = {{"sda", kSataBus, "sda1"},
                 {"nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "nvme0n1p1"},
                 {"mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:0001", "mmcblk0p1"},
                 {"disk10", "platform/ten", "disk10s1"}};
    FakeSysfs sysfs;
    sysfs.addDisk("disk1", "platform/one", 1000);
    for (const auto& c : cases)
        sysfs.addPartition(sysfs.addDisk(c.disk, c.bus, 1000), c.partition, 100);

    const auto partitions = listing(sysfs, false);
    EXPECT_EQ(partitions.size(), 4u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.partition);
        ASSERT_EQ(partitions.count(c.partition), 1u);
        EXPECT_EQ(partitions.at(c.partition).parent, c.disk);
        EXPECT_FALSE(partitions.at(c.partition).whole);
    }
    EXPECT_EQ(listing(sysfs, true).size(), 5u);

    FakeSysfs empty; // no class/block folder at all
    std::vector<RegistryEntry> entries;
    int error = 0;
    EXPECT_FALSE(SysfsRegistry(empty.root()).match(true, entries, &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(SysfsRegistry, SizeIsSectorsTimes512AndPartitionsShareTheDiskBlockSize)
{
    FakeSysfs sysfs;
    // A 2 TB disk with 4 KiB logical blocks: sysfs still counts 512-byte sectors.
    sysfs.addPartition(sysfs.addDisk("sdb", kSataBus, 3906250000ull, 4096), "sdb1", 2048);
    const RegistryEntry whole = listing(sysfs, true).at("sdb");
    EXPECT_EQ(property(whole, kRegistrySize), "2000000000000");
    EXPECT_EQ(property(whole, kRegistryBlockSize), "4096");
    const RegistryEntry part = listing(sysfs, false).at("sdb1");
    EXPECT_EQ(property(part, kRegistrySize), "1048576");
    EXPECT_EQ(property(part, kRegistryBlockSize), "4096");
}

// Empty and hidden devices are left out; a number that is missing, zero, unreadable or past what
// the engine holds (a size in bytes beyond 63 bits, a block size beyond an int) leaves its
// property out, and one exactly at the limit is kept.
TEST(SysfsRegistry, EmptyHiddenAndUnreadableAreLeftOutAndLimitsAreKept)
{
    const struct {
        const char* name;
        const char* sizeFile;      // nullptr: no size file
        const char* blockSizeFile; // nullptr: no queue/logical_block_size
        const char *size, *blockSize;
    } cases[] = {
        {"sda", "1000\n", nullptr, "512000", "<none>"},
        {"sdb", "1000\n", "0\n", "512000", "<none>"},
        {"sdc", nullptr, "512\n", "<none>", "512"},
        {"sdd", "99999999999999999999\n", "512\n", "<none>", "512"}, // beyond 64 bits
        {"sde", "18014398509481983\n", "2147483647\n", "9223372036854775296", "2147483647"},
        {"sdf", "18014398509481984\n", "2147483648\n", "<none>", "<none>"},
    };
    FakeSysfs sysfs;
    for (const auto& c : cases) {
        const std::string folder = sysfs.addDisk(c.name, kSataBus, 1000, 0);
        c.sizeFile ? (void)sysfs.write(folder + "/size", c.sizeFile) : sysfs.remove(folder + "/size");
        if (c.blockSizeFile)
            sysfs.write(folder + "/queue/logical_block_size", c.blockSizeFile);
    }
    sysfs.addDisk("loop3", "virtual", 0);
    const std::string hidden = sysfs.addDisk("nvme0c0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", 1000);
    sysfs.write(hidden + "/hidden", "1\n");
    sysfs.addDisk("nvme0n1", "virtual/nvme-subsystem/nvme-subsys0", 1000);

    const auto disks = listing(sysfs, true);
    EXPECT_EQ(disks.size(), std::size(cases) + 1);
    EXPECT_EQ(disks.count("nvme0n1"), 1u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(disks.count(c.name), 1u);
        EXPECT_EQ(property(disks.at(c.name), kRegistrySize), c.size);
        EXPECT_EQ(property(disks.at(c.name), kRegistryBlockSize), c.blockSize);
    }
}

TEST(SysfsRegistry, InterconnectAndLocationFollowTheNearestBus)
{
    const struct {
        const char *name, *bus;
        bool removable;
        const char *interconnect, *location;
    } cases[] = {
        {"sda", kSataBus, false, "SATA", "Internal"},
        {"sdb", "pci0000:00/0000:00:1f.1/ata2/host1/target1:0:0/1:0:0:0", false, "ATA", "Internal"},
        {"sdc", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", false, "USB", "External"},
        {"nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", false, "PCI-Express", "Internal"},
        {"mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:0001", true, "SD", "External"},
        {"vda", "pci0000:00/0000:00:02.0/virtio1", false, "<none>", "Internal"},
        {"nvme1n1", "virtual/nvme-subsystem/nvme-subsys1", false, "PCI-Express", "Internal"},
    };
    FakeSysfs sysfs;
    for (const auto& c : cases)
        sysfs.addDisk(c.name, c.bus, 8, 512, c.removable);
    sysfs.write("devices/pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
    sysfs.write("devices/pci0000:00/0000:00:1f.1/ata2/link2/ata_link/link2/sata_spd", "<unknown>\n");
    const auto disks = listing(sysfs, true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(property(disks.at(c.name), kRegistryInterconnect), c.interconnect);
        EXPECT_EQ(property(disks.at(c.name), kRegistryLocation), c.location);
    }
}

// Compares our reading of this machine's sysfs with lsblk's, device by device.
TEST(SysfsRegistry, RealSysfsAgreesWithLsblk)
{
    if (!toolAvailable("lsblk"))
        GTEST_SKIP() << "lsblk is not installed";
    std::map<std::string, std::tuple<uint64_t, std::string, std::string>> rows; // size, type, parent
    std::istringstream lines(runTool({"lsblk", "-b", "-l", "-n", "-o", "KNAME,SIZE,TYPE,PKNAME"}).output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        std::tuple<uint64_t, std::string, std::string> row;
        if (fields >> name >> std::get<0>(row) >> std::get<1>(row)) {
            fields >> std::get<2>(row);
            rows[name] = row;
        }
    }
    if (rows.empty())
        GTEST_SKIP() << "lsblk listed no block devices";

    std::set<std::string> seen;
    for (const bool whole : {true, false}) {
        std::vector<RegistryEntry> entries;
        ASSERT_TRUE(SysfsRegistry().match(whole, entries, nullptr));
        for (const RegistryEntry& entry : entries) {
            SCOPED_TRACE(entry.kernelName);
            seen.insert(entry.kernelName);
            ASSERT_EQ(rows.count(entry.kernelName), 1u) << "not listed by lsblk";
            const auto& [size, type, parent] = rows[entry.kernelName];
            EXPECT_EQ(property(entry, kRegistrySize), std::to_string(size));
            EXPECT_EQ(entry.whole, type != "part");
            EXPECT_EQ(entry.parent, entry.whole ? "" : parent);
        }
    }
    for (const auto& [name, row] : rows)
        EXPECT_EQ(seen.count(name), std::get<0>(row) > 0 ? 1u : 0u) << name << " is listed only by one side";
}
