#include "mountinfo.h"

#include "fakesysfs.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(MountInfo, ParsesLinesWithOptionalFieldsAndEscapesAndSkipsMalformedOnes)
{
    FakeSysfs scratch;
    const std::string path =
        scratch.write("mountinfo", "garbage\n"
                                   "1 2 8:1 / /a rw\n"                              // no separator
                                   "1 2 x:y / /b rw - ext4 /dev/sda1 rw\n"          // no device number
                                   "1 2 8:1 / /c rw -\n"                            // nothing after the separator
                                   "1 2 8:1234567890 / /d rw - ext4 /dev/sda1 rw\n" // ten digits
                                   "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                                   "36 35 8:17 / /media/My\\040Disk rw shared:1 master:2 - hfsplus /dev/sdb1 rw\n");
    const std::vector<MountEntry> entries = readMountInfo(path);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mountPoint, "/");
    EXPECT_EQ(entries[1].major, 8u);
    EXPECT_EQ(entries[1].minor, 17u);
    EXPECT_EQ(entries[1].mountPoint, "/media/My Disk");
    EXPECT_EQ(entries[1].fileSystem, "hfsplus");
    EXPECT_EQ(entries[1].source, "/dev/sdb1");
    EXPECT_TRUE(readMountInfo(scratch.root() + "/missing").empty());
}

// A volume's name: its label from the by-label link, else the mount point's last component.
TEST(MountInfo, NameComesFromTheByLabelLinkElseTheMountPoint)
{
    FakeSysfs scratch;
    const std::filesystem::path labels = std::filesystem::path(scratch.root()) / "by-label";
    std::filesystem::create_directories(labels);
    std::filesystem::create_symlink("../../sdb1", labels / "Holiday\\x20Photos\\x3a\\x3A");
    EXPECT_EQ(fileSystemLabel("/dev/sdb1", labels.string()), "Holiday Photos::");
    EXPECT_EQ(fileSystemLabel("/dev/sdb", labels.string()), "");
    EXPECT_EQ(fileSystemLabel("/dev/sdb1", scratch.root() + "/none"), "");
    EXPECT_EQ(mountPointName("/media/user/My Disk"), "My Disk");
    EXPECT_EQ(mountPointName("/mnt/data/"), "data");
    EXPECT_EQ(mountPointName("/"), "/");
}
