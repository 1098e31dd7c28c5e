#include "cacheddisk.h"
#include "partitiondisk.h"

#include "apmimage.h"
#include "commandrunner.h"
#include "memorydisk.h"
#include "outputcapture.h"
#include "scratchdir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>

namespace {
struct Window {
    int64_t first = 0;
    int64_t last = 0;
    std::string name;
    bool operator==(const Window&) const = default;
};

[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const Window& w)
{
    return out << "[" << w.first << ".." << w.last << " '" << w.name << "']";
}

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
    disk.scanForPartitions();
    return windowsOf(disk);
}

// mmls's numbered slots (not the "Meta" table or "-------" gaps): slot -> first and last block.
std::map<int, std::pair<int64_t, int64_t>> mmlsSlots(const std::string& imagePath)
{
    std::map<int, std::pair<int64_t, int64_t>> slots;
    const std::regex row(R"(^\d+:\s+(\d+)\s+(\d+)\s+(\d+)\s+\d+\s+.*$)");
    std::istringstream lines(runTool({"mmls", "-t", "mac", imagePath}).output);
    std::smatch match;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, match, row))
            slots[std::stoi(match[1])] = {std::stoll(match[2]), std::stoll(match[3])};
    return slots;
}

// The scan lists exactly mmls's partitions, slot by slot, named as in the raw map.
void expectScanMatchesMmls(const std::vector<uint8_t>& image)
{
    if (!toolAvailable("mmls"))
        GTEST_SKIP() << "mmls (sleuthkit) is not installed";
    ScratchDir dir;
    ASSERT_TRUE(writeFileBytes(dir.file("disk.img"), image));
    const auto slots = mmlsSlots(dir.file("disk.img"));
    const std::vector<Window> windows = scanImage(image);
    ASSERT_EQ(windows.size(), slots.size());
    for (const auto& [slot, range] : slots) {
        ASSERT_LT(size_t(slot), windows.size());
        EXPECT_EQ(windows[size_t(slot)].first, range.first) << "slot " << slot;
        EXPECT_EQ(windows[size_t(slot)].last, range.second) << "slot " << slot;
    }
    const std::vector<ApmEntry> raw = readApmEntries(image, 512);
    ASSERT_EQ(raw.size(), windows.size());
    for (size_t i = 0; i < raw.size(); ++i)
        EXPECT_EQ(windows[i].name, raw[i].name);
}

std::vector<uint8_t> makeXorrisoImage(const ScratchDir& dir)
{
    const std::string root = dir.file("tree");
    std::filesystem::create_directories(root + "/folder/deeper");
    writeFileText(root + "/hello.txt", "hello\n");
    std::vector<uint8_t> data(300000);
    std::mt19937 random(99);
    for (uint8_t& byte : data)
        byte = uint8_t(random());
    writeFileBytes(root + "/folder/data.bin", data);
    writeFileText(root + "/folder/deeper/note.txt", std::string(5000, 'n'));
    const std::string image = dir.file("volume.iso");
    const ToolResult made = runTool(
        {"xorriso", "-as", "mkisofs", "-hfsplus", "-apm-block-size", "512", "-V", "GLEANER", "-o", image, root});
    EXPECT_EQ(made.exitStatus, 0) << made.output;
    return readFileBytes(image);
}
} // namespace

TEST(AppleMapScan, XorrisoImageListsWhatMmlsLists)
{
    if (!toolAvailable("xorriso"))
        GTEST_SKIP() << "xorriso is not installed";
    ScratchDir dir;
    const std::vector<uint8_t> image = makeXorrisoImage(dir);
    ASSERT_GE(readApmEntries(image, 512).size(), 3u);
    expectScanMatchesMmls(image);
}

TEST(AppleMapScan, ReadsThroughACacheOverAWindowEqualTheImageBytes)
{
    if (!toolAvailable("xorriso"))
        GTEST_SKIP() << "xorriso is not installed";
    ScratchDir dir;
    const std::vector<uint8_t> image = makeXorrisoImage(dir);
    CMemoryDisk disk(image, 512);
    disk.scanForPartitions();
    ASSERT_GE(disk.getPartitionCount(), 3);
    auto* window = dynamic_cast<CPartitionDisk*>(disk.getPartition(2)); // the HFS Plus volume
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

TEST(AppleMapScan, NamesOf32CharactersWithoutNulAreKeptWhole)
{
    const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    const std::vector<uint8_t> image = makeApmImage(
        512, 40, {{1, 3, "Apple", "Apple_partition_map"}, {8, 10, full}, {20, 20, "Short"}});
    ASSERT_EQ(scanImage(image).at(1).name, full);
    expectScanMatchesMmls(image);
}

TEST(AppleMapScan, EntriesUpToTheLastBlockOfTheDiskAreRead)
{
    std::vector<ApmEntry> entries = {{1, 15, "map", "Apple_partition_map"}};
    for (uint32_t block = 2; block < 16; ++block)
        entries.push_back({block, 1, "P" + std::to_string(block), "Apple_Free"});
    const std::vector<uint8_t> image = makeApmImage(512, 16, entries);
    EXPECT_EQ(scanImage(image).back(), (Window{15, 15, "P15"}));
    expectScanMatchesMmls(image);
}

TEST(AppleMapScan, DiskWithoutAMapGetsNoPartitions)
{
    const std::vector<uint8_t> image = makeApmImage(512, 40, {});
    EXPECT_TRUE(scanImage(image).empty());
    expectScanMatchesMmls(image);
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
    CMemoryDisk disk(makeApmImage(512, 40, {{1, 3, "Apple"}, {10, 10, "Twin"}, {10, 10, "Twin"}, {25, 5, "Last"}}), 512);
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
