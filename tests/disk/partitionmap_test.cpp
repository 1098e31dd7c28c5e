#include "cacheddisk.h"
#include "partitiondisk.h"
#include "utils.h"

#include "hfsfixtures.h"
#include "memorydisk.h"
#include "outputcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
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

// The scan lists exactly mmls's numbered slots (not its "Meta" rows or "-------" gaps), slot by
// slot, named as in the raw map.
void expectScanMatchesMmls(const std::vector<uint8_t>& image)
{
    if (!toolAvailable("mmls"))
        GTEST_SKIP() << "mmls (sleuthkit) is not installed";
    ScratchDir dir;
    ASSERT_TRUE(writeFileBytes(dir.file("disk.img"), image));
    std::map<int, std::pair<int64_t, int64_t>> slots;
    const std::regex row(R"(^\d+:\s+(\d+)\s+(\d+)\s+(\d+)\s+\d+\s+.*$)");
    std::istringstream lines(runTool({"mmls", "-t", "mac", dir.file("disk.img")}).output);
    std::smatch match;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, match, row))
            slots[std::stoi(match[1])] = {std::stoll(match[2]), std::stoll(match[3])};
    const std::vector<Window> windows = scanImage(image);
    const std::vector<ApmEntry> raw = readApmEntries(image, 512);
    ASSERT_EQ(windows.size(), slots.size());
    ASSERT_EQ(raw.size(), windows.size());
    for (const auto& [slot, range] : slots) {
        ASSERT_LT(size_t(slot), windows.size());
        EXPECT_EQ(windows[size_t(slot)], Window(range.first, range.second, raw[size_t(slot)].name)) << "slot " << slot;
    }
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
    const uint8_t* base = image.data() + window->getFirstBlock() * 512;
    const int64_t size = window->getBlockCount() * 512;
    CCachedDisk cache(window, 20480, 2048);
    std::mt19937 random(5);
    CData buffer;
    std::vector<uint8_t> bytes(5000);
    for (int i = 0; i < 300; ++i) {
        const int64_t offset = int64_t(random() % uint64_t(size - 5000));
        const int length = int(random() % 5000) + 1;
        ASSERT_TRUE(cache.read(offset, length, bytes.data()));
        ASSERT_EQ(std::memcmp(bytes.data(), base + offset, size_t(length)), 0) << offset;
        ASSERT_TRUE(cache.readData(offset, length, &buffer));
        ASSERT_EQ(std::memcmp(buffer.getData(), base + offset, size_t(length)), 0) << offset;
    }
}

TEST(AppleMapScan, EdgeCasesOfTheMapListAsMmlsListsThem)
{
    const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"; // 32 characters, no NUL
    const std::vector<uint8_t> named = makeApmImage(512, 40, {{1, 3, "Apple", "Apple_partition_map"}, {8, 10, full}});
    std::vector<ApmEntry> toTheEnd = {{1, 15, "map", "Apple_partition_map"}};
    for (uint32_t block = 2; block < 16; ++block)
        toTheEnd.push_back({block, 1, "P" + std::to_string(block), "Apple_Free"});
    const std::vector<uint8_t> lastBlock = makeApmImage(512, 16, toTheEnd);
    const std::vector<uint8_t> noMap = makeApmImage(512, 40, {});
    EXPECT_EQ(std::get<2>(scanImage(named).at(1)), full);
    EXPECT_EQ(scanImage(lastBlock).back(), Window(15, 15, "P15"));
    EXPECT_TRUE(scanImage(noMap).empty());
    for (const auto* image : {&named, &lastBlock, &noMap})
        expectScanMatchesMmls(*image);
}

TEST(AppleMapScan, MapInEveryBlockEndsAtTheEndOfTheDisk)
{
    std::vector<uint8_t> image(512 * 64);
    for (uint32_t block = 0; block < 64; ++block)
        writeApmEntry(image.data() + block * 512, {block, 1, "E" + std::to_string(block)}, 64);
    CMemoryDisk disk(image, 512);
    OutputCapture out;
    disk.scanForPartitions();
    const std::string text = out.finish();
    EXPECT_EQ(disk.getPartitionCount(), 63);
    // Stale entries read past the end would be refused as duplicates, but still be read.
    EXPECT_EQ(countOccurrences(text, "!!!!!!  block "), 63);
}

TEST(AppleMapScan, RefusedDuplicatesAreDeletedAndTheDeviceIsClosedAgain)
{
    CMemoryDisk disk(makeApmImage(512, 40, {{1, 3, "Apple"}, {10, 10, "Twin"}, {10, 10, "Twin"}, {25, 5, "Last"}}),
                     512);
    OutputCapture out;
    disk.scanForPartitions();
    disk.scanForPartitions(); // every window of the second scan is a duplicate
    const std::string text = out.finish();
    EXPECT_EQ(windowsOf(disk), (std::vector<Window>{{1, 3, "Apple"}, {10, 19, "Twin"}, {25, 29, "Last"}}));
    // Every disk made by the scans (caches, windows) is kept or deleted again.
    EXPECT_EQ(countOccurrences(text, "CDisk::CDisk\n") - countOccurrences(text, "CDisk::~CDisk\n"), 3);
    EXPECT_EQ(disk.openCalls, 2);
    EXPECT_EQ(disk.closeCalls, 2);
}

TEST(AppleMapScan, FieldsAreReadAsUnsigned32BitValues)
{
    EXPECT_EQ(scanImage(makeApmImage(512, 8, {{0x80000000u, 0xFFFFFFFFu, "Huge"}, {7, 0, "Empty"}})),
              (std::vector<Window>{{2147483648LL, 2147483648LL + 4294967294LL, "Huge"}, {7, 6, "Empty"}}));
}
