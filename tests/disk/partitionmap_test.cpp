#include "cacheddisk.h"
#include "partitiondisk.h"
#include "utils.h"

#include "hfsfixtures.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

namespace {
using Window = std::tuple<int64_t, int64_t, std::string>; // first block, last block, name
std::vector<Window> windowsOf(CDisk& disk)
{
    std::vector<Window> windows;
    for (int i = 0; i < disk.getPartitionCount(); ++i)
        if (auto* window = dynamic_cast<CPartitionDisk*>(disk.getPartition(i)))
            windows.push_back({window->getFirstBlock(), window->getLastBlock(), window->getName()});
    return windows;
}
std::vector<Window> scanImage(const std::vector<uint8_t>& image)
{
    CMemoryDisk disk(image, 512);
    OutputCapture quiet;
    disk.scanForPartitions();
    return windowsOf(disk);
}
// The scan lists exactly mmls's numbered slots (not "Meta" rows or gaps), named as in the raw map.
void expectScanMatchesMmls(const std::vector<uint8_t>& image)
{
    if (!toolAvailable("mmls"))
        GTEST_SKIP() << "mmls (sleuthkit) is not installed";
    ScratchDir dir;
    ASSERT_TRUE(writeFileBytes(dir.file("disk.img"), image));
    std::vector<Window> slots;
    const std::regex row(R"(^(\d+):\s+(\d+)\s+(\d+)\s+(\d+)\s+\d+\s+.*$)");
    std::istringstream lines(runTool({"mmls", "-t", "mac", dir.file("disk.img")}).output);
    std::smatch match;
    const std::vector<ApmEntry> raw = readApmEntries(image, 512);
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, match, row) && std::stoul(match[2]) == slots.size())
            slots.push_back(
                {std::stoll(match[3]), std::stoll(match[4]), slots.size() < raw.size() ? raw[slots.size()].name : ""});
    EXPECT_EQ(raw.size(), slots.size());
    EXPECT_EQ(scanImage(image), slots);
}
} // namespace
TEST(AppleMapScan, XorrisoImageListsWhatMmlsListsAndReadsThroughTheWindowAsItsBytes)
{
    if (!toolAvailable("xorriso"))
        GTEST_SKIP() << "xorriso is not installed";
    ScratchDir dir;
    TreeSpec tree;
    tree.file("hello.txt", 6, 1).file("folder/data.bin", 300000, 2).file("folder/deeper/note.txt", 5000, 3);
    std::string error;
    ASSERT_TRUE(makeDirectory(dir.file("tree")) && tree.write(dir.file("tree"), &error)) << error;
    ASSERT_TRUE(makeXorrisoImage(dir.file("tree"), "GLEANER", dir.file("volume.iso"), &error)) << error;
    const std::vector<uint8_t> image = readFileBytes(dir.file("volume.iso"));
    ASSERT_GE(readApmEntries(image, 512).size(), 3u);
    expectScanMatchesMmls(image);

    CMemoryDisk disk(image, 512);
    OutputCapture quiet;
    disk.scanForPartitions();
    auto* window = dynamic_cast<CPartitionDisk*>(disk.getPartition(2)); // the HFS Plus volume
    ASSERT_NE(window, nullptr);
    const std::vector<uint8_t> bytes(image.begin() + window->getFirstBlock() * 512,
                                     image.begin() + (window->getLastBlock() + 1) * 512);
    CCachedDisk cache(window, 20480, 2048);
    std::vector<uint8_t> read(bytes.size());
    CData buffer;
    ASSERT_TRUE(cache.read(0, int(read.size()), read.data()) && cache.readData(512, 5000, &buffer));
    EXPECT_EQ(read, bytes);
    EXPECT_EQ(std::memcmp(buffer.getData(), bytes.data() + 512, 5000), 0);
}
// A name of all 32 bytes, a map reaching the disk's last block, no map; fields are unsigned 32-bit.
TEST(AppleMapScan, EdgeCasesOfTheMapListAsMmlsListsThem)
{
    const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"; // no NUL
    std::vector<ApmEntry> toTheEnd = {{1, 15, "map", "Apple_partition_map"}};
    for (uint32_t block = 2; block < 16; ++block)
        toTheEnd.push_back({block, 1, "P" + std::to_string(block), "Apple_Free"});
    const auto named = makeApmImage(512, 40, {{1, 3, "Apple", "Apple_partition_map"}, {8, 10, full}});
    const auto lastBlock = makeApmImage(512, 16, toTheEnd);
    const auto noMap = makeApmImage(512, 40, {});
    EXPECT_EQ(std::get<2>(scanImage(named).at(1)), full);
    EXPECT_EQ(scanImage(lastBlock).back(), Window(15, 15, "P15"));
    EXPECT_TRUE(scanImage(noMap).empty());
    for (const auto* image : {&named, &lastBlock, &noMap})
        expectScanMatchesMmls(*image);
    EXPECT_EQ(scanImage(makeApmImage(512, 8, {{0x80000000u, 0xFFFFFFFFu, "Huge"}, {7, 0, "Empty"}})),
              (std::vector<Window>{{2147483648LL, 2147483648LL + 4294967294LL, "Huge"}, {7, 6, "Empty"}}));
}
// Stale entries past the map's end are not read; every disk a scan makes is kept or deleted again.
TEST(AppleMapScan, MapEndsAtTheDisksEndAndRefusedDuplicatesAreDeleted)
{
    std::vector<uint8_t> image(512 * 64);
    for (uint32_t block = 0; block < 64; ++block)
        writeApmEntry(image.data() + block * 512, {block, 1, "E" + std::to_string(block)}, 64);
    CMemoryDisk everyBlock(image, 512);
    CMemoryDisk disk(makeApmImage(512, 40, {{1, 3, "Apple"}, {10, 10, "Twin"}, {10, 10, "Twin"}, {25, 5, "Last"}}),
                     512);
    OutputCapture out;
    everyBlock.scanForPartitions();
    EXPECT_EQ(countOccurrences(out.finish(), "!!!!!!  block "), 63);
    EXPECT_EQ(everyBlock.getPartitionCount(), 63);
    OutputCapture second;
    disk.scanForPartitions();
    disk.scanForPartitions(); // every window of the second scan is a duplicate
    const std::string text = second.finish();
    EXPECT_EQ(windowsOf(disk), (std::vector<Window>{{1, 3, "Apple"}, {10, 19, "Twin"}, {25, 29, "Last"}}));
    EXPECT_EQ(countOccurrences(text, "CDisk::CDisk\n") - countOccurrences(text, "CDisk::~CDisk\n"), 3);
    EXPECT_EQ(std::tuple(disk.openCalls, disk.closeCalls), std::tuple(2, 2));
}
