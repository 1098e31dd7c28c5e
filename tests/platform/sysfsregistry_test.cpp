#include "sysfsregistry.h"

#include "fakesysfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>

using sysfstest::FakeSysfs;
using sysfstest::ScratchDirectory;

namespace {

std::map<std::string, RegistryEntry> listing(const FakeSysfs& sysfs, bool whole)
{
    std::vector<RegistryEntry> entries;
    int error = -1;
    EXPECT_TRUE(SysfsRegistry(sysfs.root()).match(whole, entries, &error));
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

const char* kSataBus = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";

} // namespace

TEST(SysfsRegistry, PartitionParentComesFromTheFolderHierarchy)
{
    FakeSysfs sysfs;
    const std::string sda = sysfs.addDisk("sda", kSataBus, 1000);
    sysfs.addPartition(sda, "sda1", 100);
    const std::string nvme = sysfs.addDisk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", 1000);
    sysfs.addPartition(nvme, "nvme0n1p1", 100);
    const std::string mmc = sysfs.addDisk("mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:0001", 1000);
    sysfs.addPartition(mmc, "mmcblk0p1", 100);
    sysfs.addDisk("disk1", "platform/one", 1000);
    const std::string disk10 = sysfs.addDisk("disk10", "platform/ten", 1000);
    sysfs.addPartition(disk10, "disk10s1", 100);

    const auto partitions = listing(sysfs, false);
    ASSERT_EQ(partitions.size(), 4u);
    EXPECT_EQ(partitions.at("sda1").parent, "sda");
    EXPECT_EQ(partitions.at("nvme0n1p1").parent, "nvme0n1");
    EXPECT_EQ(partitions.at("mmcblk0p1").parent, "mmcblk0");
    EXPECT_EQ(partitions.at("disk10s1").parent, "disk10");
    for (const auto& [name, entry] : partitions)
        EXPECT_FALSE(entry.whole) << name;
    EXPECT_EQ(listing(sysfs, true).size(), 5u);
}

TEST(SysfsRegistry, SizeIsSectorsTimes512AndPartitionsShareTheDiskBlockSize)
{
    FakeSysfs sysfs;
    // A 2 TB disk with 4 KiB logical blocks: sysfs still counts 512-byte sectors.
    const std::string disk = sysfs.addDisk("sdb", kSataBus, 3906250000ull, 4096);
    sysfs.addPartition(disk, "sdb1", 2048);

    const RegistryEntry whole = listing(sysfs, true).at("sdb");
    EXPECT_EQ(property(whole, kRegistrySize), "2000000000000");
    EXPECT_EQ(property(whole, kRegistryBlockSize), "4096");
    EXPECT_EQ(property(whole, kRegistryBSDName), "sdb");
    const RegistryEntry part = listing(sysfs, false).at("sdb1");
    EXPECT_EQ(property(part, kRegistrySize), "1048576");
    EXPECT_EQ(property(part, kRegistryBlockSize), "4096");
}

TEST(SysfsRegistry, EmptyAndHiddenDevicesAreLeftOut)
{
    FakeSysfs sysfs;
    sysfs.addDisk("loop3", "virtual", 0);
    const std::string hidden = sysfs.addDisk("nvme0c0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", 1000);
    sysfs.write(hidden + "/hidden", "1\n");
    sysfs.addDisk("nvme0n1", "virtual/nvme-subsystem/nvme-subsys0", 1000);
    const auto disks = listing(sysfs, true);
    EXPECT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks.count("nvme0n1"), 1u);
}

TEST(SysfsRegistry, UnreadableNumbersLeaveTheirPropertyOut)
{
    FakeSysfs sysfs;
    sysfs.addDisk("sda", kSataBus, 1000, 0); // no queue/logical_block_size at all
    const std::string sdb = sysfs.addDisk("sdb", kSataBus, 1000);
    sysfs.write(sdb + "/queue/logical_block_size", "0\n");
    const std::string sdc = sysfs.addDisk("sdc", kSataBus, 1000);
    sysfs.remove(sdc + "/size");
    const std::string sdd = sysfs.addDisk("sdd", kSataBus, 1000);
    sysfs.write(sdd + "/size", "99999999999999999999\n"); // beyond 64 bits once in bytes

    const auto disks = listing(sysfs, true);
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_EQ(property(disks.at("sda"), kRegistryBlockSize), "<none>");
    EXPECT_EQ(property(disks.at("sdb"), kRegistryBlockSize), "<none>");
    EXPECT_EQ(property(disks.at("sdc"), kRegistrySize), "<none>");
    EXPECT_EQ(property(disks.at("sdd"), kRegistrySize), "<none>");
    EXPECT_EQ(property(disks.at("sdc"), kRegistryBlockSize), "512");
}

TEST(SysfsRegistry, InterconnectAndLocationFollowTheNearestBus)
{
    FakeSysfs sysfs;
    sysfs.addDisk("sda", kSataBus, 8);
    sysfs.write("devices/pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd", "6.0 Gbps\n");
    sysfs.addDisk("sdb", "pci0000:00/0000:00:1f.1/ata2/host1/target1:0:0/1:0:0:0", 8);
    sysfs.write("devices/pci0000:00/0000:00:1f.1/ata2/link2/ata_link/link2/sata_spd", "<unknown>\n");
    sysfs.addDisk("sdc", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", 8);
    sysfs.addDisk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", 8);
    sysfs.addDisk("mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:0001", 8, 512, true);
    sysfs.addDisk("vda", "pci0000:00/0000:00:02.0/virtio1", 8);
    sysfs.addDisk("nvme1n1", "virtual/nvme-subsystem/nvme-subsys1", 8);

    const auto disks = listing(sysfs, true);
    const auto expect = [&](const char* name, const char* interconnect, const char* location) {
        EXPECT_EQ(property(disks.at(name), kRegistryInterconnect), interconnect) << name;
        EXPECT_EQ(property(disks.at(name), kRegistryLocation), location) << name;
    };
    expect("sda", "SATA", "Internal");
    expect("sdb", "ATA", "Internal");
    expect("sdc", "USB", "External");
    expect("nvme0n1", "PCI-Express", "Internal");
    expect("mmcblk0", "SD", "External");
    expect("vda", "<none>", "Internal");
    expect("nvme1n1", "PCI-Express", "Internal");
}

TEST(SysfsRegistry, EntriesComeInNaturalOrder)
{
    FakeSysfs sysfs;
    for (const char* name : {"sdb", "disk10", "disk2", "sda"})
        sysfs.addDisk(name, "platform/x", 8);
    std::vector<RegistryEntry> entries;
    ASSERT_TRUE(SysfsRegistry(sysfs.root()).match(true, entries, nullptr));
    std::vector<std::string> names;
    for (const RegistryEntry& entry : entries)
        names.push_back(entry.kernelName);
    EXPECT_EQ(names, (std::vector<std::string>{"disk2", "disk10", "sda", "sdb"}));
}

TEST(SysfsRegistry, MissingClassBlockFolderFailsWithErrno)
{
    ScratchDirectory empty;
    std::vector<RegistryEntry> entries;
    int error = 0;
    EXPECT_FALSE(SysfsRegistry(empty.path).match(true, entries, &error));
    EXPECT_EQ(error, ENOENT);
}

// Compares our reading of this machine's sysfs with lsblk's, device by device.
TEST(SysfsRegistry, RealSysfsAgreesWithLsblk)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen("lsblk -b -l -n -o KNAME,SIZE,TYPE,PKNAME 2>/dev/null", "r"),
                                               ::pclose);
    if (!pipe)
        GTEST_SKIP() << "lsblk could not be run";
    struct Row {
        uint64_t size = 0;
        std::string type;
        std::string parent;
    };
    std::map<std::string, Row> rows;
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string name;
        Row row;
        if (fields >> name >> row.size >> row.type) {
            fields >> row.parent;
            rows[name] = row;
        }
    }
    if (rows.empty())
        GTEST_SKIP() << "lsblk listed no block devices";

    std::vector<RegistryEntry> whole;
    std::vector<RegistryEntry> parts;
    ASSERT_TRUE(SysfsRegistry().match(true, whole, nullptr));
    ASSERT_TRUE(SysfsRegistry().match(false, parts, nullptr));
    std::set<std::string> seen;
    for (const auto* list : {&whole, &parts}) {
        for (const RegistryEntry& entry : *list) {
            seen.insert(entry.kernelName);
            ASSERT_EQ(rows.count(entry.kernelName), 1u) << entry.kernelName << " is not listed by lsblk";
            const Row& row = rows[entry.kernelName];
            EXPECT_EQ(property(entry, kRegistrySize), std::to_string(row.size)) << entry.kernelName;
            EXPECT_EQ(entry.whole, row.type != "part") << entry.kernelName;
            if (!entry.whole) {
                EXPECT_EQ(entry.parent, row.parent) << entry.kernelName;
            }
        }
    }
    for (const auto& [name, row] : rows) {
        if (row.size > 0) {
            EXPECT_EQ(seen.count(name), 1u) << name << " is missing from the registry";
        }
    }
}
