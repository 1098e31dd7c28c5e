#include "hfsimagebuilder.h"

#include "bigendian.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <tuple>
#include <unistd.h>

namespace {
constexpr uint32_t kVolumeHeaderOffset = 1024;
constexpr uint32_t kVolumeHeaderSize = 512;
constexpr uint32_t kNodeDescriptorSize = 14;
constexpr uint32_t kHeaderRecordSize = 106;
constexpr uint32_t kMapRecordOffset = kNodeDescriptorSize + kHeaderRecordSize + 128; // after the user data record
constexpr uint32_t kExtentsPerRecord = 8;
constexpr uint16_t kCatalogMaxKeyLength = 516;
constexpr uint16_t kExtentsMaxKeyLength = 10;
constexpr uint32_t kBTBigKeysMask = 0x2;
constexpr uint32_t kBTVariableIndexKeysMask = 0x4;
constexpr uint32_t kExtentsFileID = 3;
constexpr uint32_t kCatalogFileID = 4;
uint64_t divideUp(uint64_t value, uint64_t by)
{
    return (value + by - 1) / by;
}
std::u16string utf16FromUtf8(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = uint8_t(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            cp = cp << 6 | (uint8_t(text[i + size_t(k)]) & 0x3F);
        i += size_t(extra) + 1;
        if (cp >= 0x10000) {
            out.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}
// Catalog key order of names. Case folding is simplified: ASCII A-Z and the Latin-1 letters without
// a decomposition fold, the code points the format ignores are skipped, and U+0000 sorts last.
int compareNames(bool binary, const std::u16string& a, const std::u16string& b)
{
    if (binary)
        return a < b ? -1 : a == b ? 0 : 1;
    auto fold = [](char16_t c) -> uint32_t {
        if (c == 0)
            return 0xFFFF;
        if ((c >= u'A' && c <= u'Z') || c == 0xC6 || c == 0xD0 || c == 0xD8 || c == 0xDE)
            return c + 0x20u;
        if ((c >= 0x200C && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x206A && c <= 0x206F) || c == 0xFEFF)
            return 0;
        return c;
    };
    size_t i = 0, j = 0;
    for (;;) {
        uint32_t x = 0, y = 0;
        while (i < a.size() && (x = fold(a[i++])) == 0) {
        }
        while (j < b.size() && (y = fold(b[j++])) == 0) {
        }
        if (x != y)
            return x < y ? -1 : 1; // a name that ended (0) sorts first
        if (x == 0)
            return 0;
    }
}
std::vector<uint8_t> catalogKey(uint32_t parentID, const std::u16string& name)
{
    std::vector<uint8_t> key(8 + 2 * name.size());
    storeBig16(key.data(), uint16_t(6 + 2 * name.size()));
    storeBig32(key.data() + 2, parentID);
    storeBig16(key.data() + 6, uint16_t(name.size()));
    for (size_t i = 0; i < name.size(); ++i)
        storeBig16(key.data() + 8 + 2 * i, name[i]);
    return key;
}
void storeExtents(uint8_t* p, const std::vector<HfsExtent>& extents, size_t first)
{
    for (size_t i = 0; i < kExtentsPerRecord && first + i < extents.size(); ++i) {
        storeBig32(p + 8 * i, extents[first + i].startBlock);
        storeBig32(p + 8 * i + 4, extents[first + i].blockCount);
    }
}
void storeForkData(uint8_t* p, uint64_t logicalSize, uint32_t clumpSize, const std::vector<HfsExtent>& extents)
{
    uint32_t blocks = 0;
    for (const HfsExtent& extent : extents)
        blocks += extent.blockCount;
    storeBig64(p, logicalSize);
    storeBig32(p + 8, clumpSize);
    storeBig32(p + 12, blocks); // every block of the fork, the overflow ones included
    storeExtents(p + 16, extents, 0);
}
// Splits `units` into `pieces` nearly equal counts, the larger ones first.
std::vector<uint32_t> splitCounts(uint32_t units, uint32_t pieces)
{
    std::vector<uint32_t> counts;
    for (uint32_t i = 0; i < pieces; ++i)
        counts.push_back(units / pieces + (i < units % pieces ? 1 : 0));
    return counts;
}
struct Record {
    std::vector<uint8_t> key; // from the key length field on
    std::vector<uint8_t> data;
};
std::vector<uint8_t> makeNode(uint16_t nodeSize, uint32_t fLink, uint32_t bLink, int8_t kind, uint8_t height,
                              const std::vector<Record>& records)
{
    std::vector<uint8_t> node(nodeSize);
    storeBig32(node.data(), fLink);
    storeBig32(node.data() + 4, bLink);
    node[8] = uint8_t(kind);
    node[9] = height;
    storeBig16(node.data() + 10, uint16_t(records.size()));
    size_t pos = kNodeDescriptorSize;
    for (size_t i = 0; i < records.size(); ++i) {
        storeBig16(node.data() + nodeSize - 2 - 2 * i, uint16_t(pos));
        std::memcpy(node.data() + pos, records[i].key.data(), records[i].key.size());
        pos += records[i].key.size();
        pos += pos & 1; // record data starts at an even offset
        std::memcpy(node.data() + pos, records[i].data.data(), records[i].data.size());
        pos += records[i].data.size();
    }
    storeBig16(node.data() + nodeSize - 2 - 2 * records.size(), uint16_t(pos)); // start of free space
    return node;
}
// Greedy packing of one level: a node takes records while they fit (offset table included) and
// while it holds fewer than maxRecords.
std::vector<std::vector<Record>> packLevel(const std::vector<Record>& records, uint16_t nodeSize, uint32_t maxRecords)
{
    std::vector<std::vector<Record>> nodes;
    std::vector<Record> current;
    size_t used = kNodeDescriptorSize + 2;
    for (const Record& record : records) {
        const size_t need = record.key.size() + (record.key.size() & 1) + record.data.size() + 2;
        if (!current.empty() && (used + need > nodeSize || (maxRecords && current.size() >= maxRecords))) {
            nodes.push_back(std::move(current));
            current.clear();
            used = kNodeDescriptorSize + 2;
        }
        current.push_back(record);
        used += need;
    }
    if (!current.empty())
        nodes.push_back(std::move(current));
    return nodes;
}
struct TreeBuild {
    std::vector<std::vector<uint8_t>> nodes; // nodes 0 .. used; free nodes are zero and not stored
    HfsTreeLayout layout;
};
// Lays sorted records out as a B-tree file: header node 0, the leaves from node 1 on, then each
// index level, the root last. totalNodes grows until the file fills whole allocation blocks and
// splits into the wanted number of pieces.
TreeBuild buildTree(const std::vector<Record>& records, const HfsTreeShape& shape, uint32_t blockSize,
                    uint16_t maxKeyLength, uint8_t keyCompareType, uint32_t attributes)
{
    TreeBuild out;
    HfsTreeLayout& layout = out.layout;
    layout.nodeSize = shape.nodeSize;
    std::vector<std::vector<std::vector<Record>>> levels;
    if (!records.empty()) {
        levels.push_back(packLevel(records, shape.nodeSize, shape.maxLeafRecords));
        while (levels.back().size() > 1) {
            std::vector<Record> index;
            // Packing counts the child's 4-byte node number (filled in below), or a full index
            // node overflows into its record offset table.
            for (const std::vector<Record>& child : levels.back())
                index.push_back({child.front().key, std::vector<uint8_t>(4, 0)});
            levels.push_back(packLevel(index, shape.nodeSize, shape.maxIndexRecords));
        }
    }
    uint32_t next = 1;
    for (const auto& level : levels) {
        layout.levels.emplace_back();
        for (size_t i = 0; i < level.size(); ++i)
            layout.levels.back().push_back(next++);
    }
    const uint32_t usedNodes = next; // header included
    for (size_t l = 1; l < levels.size(); ++l) {
        size_t child = 0;
        for (auto& node : levels[l])
            for (Record& record : node)
                storeBig32(record.data.data(), layout.levels[l - 1][child++]);
    }
    const uint32_t unit = std::max<uint32_t>(shape.nodeSize, blockSize);
    uint64_t bytes = divideUp(uint64_t(usedNodes) * shape.nodeSize, unit) * unit;
    bytes = std::max<uint64_t>(bytes, uint64_t(unit) * shape.extentCount);
    layout.totalNodes = uint32_t(bytes / shape.nodeSize);
    out.nodes.resize(usedNodes);
    uint32_t lastLeaf = 0;
    for (size_t l = 0; l < levels.size(); ++l) {
        const auto& numbers = layout.levels[l];
        for (size_t i = 0; i < levels[l].size(); ++i) {
            const uint32_t fLink = i + 1 < numbers.size() ? numbers[i + 1] : 0;
            const uint32_t bLink = i > 0 ? numbers[i - 1] : 0;
            out.nodes[numbers[i]] =
                makeNode(shape.nodeSize, fLink, bLink, l == 0 ? -1 : 0, uint8_t(l + 1), levels[l][i]);
        }
    }
    if (!levels.empty()) {
        layout.depth = uint32_t(levels.size());
        layout.rootNode = layout.levels.back().front();
        layout.firstLeaf = layout.levels.front().front();
        lastLeaf = layout.levels.front().back();
        for (size_t i = 0; i < levels[0].size(); ++i)
            for (size_t r = 0; r < levels[0][i].size(); ++r)
                layout.records.push_back({layout.levels[0][i], uint16_t(r), levels[0][i][r].key});
    }
    // Header node: header record, user data record, map record (node bitmap, high bit first).
    std::vector<uint8_t> header(shape.nodeSize);
    uint8_t* h = header.data() + kNodeDescriptorSize;
    storeBig16(h + 0, uint16_t(layout.depth));
    storeBig32(h + 2, layout.rootNode);
    storeBig32(h + 6, uint32_t(records.size()));
    storeBig32(h + 10, layout.firstLeaf);
    storeBig32(h + 14, lastLeaf);
    storeBig16(h + 18, shape.nodeSize);
    storeBig16(h + 20, maxKeyLength);
    storeBig32(h + 22, layout.totalNodes);
    storeBig32(h + 26, layout.totalNodes - usedNodes);
    storeBig32(h + 32, uint32_t(bytes)); // clumpSize
    h[37] = keyCompareType;
    storeBig32(h + 38, attributes);
    header[8] = 1; // kind: header node
    storeBig16(header.data() + 10, 3);
    for (uint32_t n = 0; n < usedNodes; ++n)
        header[kMapRecordOffset + n / 8] |= uint8_t(0x80 >> (n % 8));
    const uint16_t ns = shape.nodeSize;
    storeBig16(header.data() + ns - 2, kNodeDescriptorSize);
    storeBig16(header.data() + ns - 4, kNodeDescriptorSize + kHeaderRecordSize);
    storeBig16(header.data() + ns - 6, kMapRecordOffset);
    storeBig16(header.data() + ns - 8, uint16_t(ns - 8));
    out.nodes[0] = std::move(header);
    return out;
}
uint64_t mapFork(const std::vector<HfsExtent>& extents, uint32_t blockSize, uint64_t forkOffset)
{
    uint64_t block = forkOffset / blockSize;
    for (const HfsExtent& extent : extents) {
        if (block < extent.blockCount)
            return (extent.startBlock + block) * uint64_t(blockSize) + forkOffset % blockSize;
        block -= extent.blockCount;
    }
    throw std::out_of_range("HfsImage: fork offset " + std::to_string(forkOffset) + " past the fork's extents");
}
} // namespace
// The layout pass: plans sizes, allocates blocks, then writes every structure.
class HfsLayoutWriter {
public:
    explicit HfsLayoutWriter(const HfsImageBuilder& builder) : b(builder), o(builder.opts), B(o.blockSize) {}
    HfsImage run();

private:
    struct Fork {
        uint32_t fileID = 0;
        uint8_t forkType = 0;
        std::vector<uint32_t> pieceBlocks;
        std::vector<HfsExtent> extents;
    };
    std::vector<Record> catalogRecords() const;
    std::vector<Record> overflowRecords() const;
    std::vector<HfsExtent> allocate(const std::vector<uint32_t>& pieceBlocks, bool used);
    TreeBuild catalogTree() const
    {
        return buildTree(catalogRecords(), o.catalog, B, kCatalogMaxKeyLength, binary ? 0xBC : 0xCF,
                         kBTBigKeysMask | kBTVariableIndexKeysMask);
    }
    TreeBuild extentsTree() const
    {
        return buildTree(overflowRecords(), o.extents, B, kExtentsMaxKeyLength, 0, kBTBigKeysMask);
    }
    const HfsImageBuilder& b;
    const HfsBuildOptions& o;
    const uint32_t B;
    const bool binary = o.flavor == HfsFlavor::HfsxCaseSensitive;
    std::vector<HfsImageBuilder::Item> items;   // the root folder first
    std::vector<Fork> dataForks, resourceForks; // by item index; empty forks have no pieces
    Fork catalogFork, extentsFork;
    std::vector<bool> used; // by allocation block
    uint32_t cursor = 0;
};
std::vector<Record> HfsLayoutWriter::catalogRecords() const
{
    std::map<uint32_t, uint32_t> valence;
    for (size_t i = 1; i < items.size(); ++i)
        ++valence[items[i].parentID];
    std::vector<Record> records;
    for (size_t i = 0; i < items.size(); ++i) {
        const HfsImageBuilder::Item& item = items[i];
        const HfsItemOptions& opt = item.options;
        Record record{catalogKey(item.parentID, item.name), {}};
        record.data.assign(item.folder ? 88 : 248, 0);
        uint8_t* p = record.data.data();
        storeBig16(p, item.folder ? 1 : 2);
        if (item.folder) {
            storeBig32(p + 4, valence.count(item.id) ? valence.at(item.id) : 0);
        } else {
            storeBig16(p + 2, uint16_t((opt.thread ? 0x0002 : 0) | opt.fileFlags)); // thread exists
            p[32 + 9] = opt.ownerFlags;
            storeBig32(p + 32 + 12, opt.bsdSpecial);
            storeBig32(p + 48, opt.fileType);
            storeBig32(p + 52, opt.fileCreator);
            storeForkData(p + 88, std::max<uint64_t>(item.data.size(), opt.dataSize), B, dataForks[i].extents);
            storeForkData(p + 168, opt.resourceFork.size(), B, resourceForks[i].extents);
        }
        const uint32_t contentDate = i == 0 ? kHfsDefaultVolumeDate : kHfsDefaultContentDate;
        storeBig32(p + 8, item.id);
        storeBig32(p + 12, contentDate); // createDate
        storeBig32(p + 16, contentDate);
        storeBig32(p + 20, i == 0 ? kHfsDefaultVolumeDate : opt.attributeModDate);
        storeBig32(p + 24, contentDate);                          // accessDate
        storeBig16(p + 32 + 10, item.folder ? 0040755 : 0100644); // mode
        records.push_back(std::move(record));
        if (opt.thread) {
            Record thread{catalogKey(item.id, u""), std::vector<uint8_t>(10 + 2 * item.name.size())};
            storeBig16(thread.data.data(), item.folder ? 3 : 4);
            storeBig32(thread.data.data() + 4, item.parentID);
            storeBig16(thread.data.data() + 8, uint16_t(item.name.size()));
            for (size_t u = 0; u < item.name.size(); ++u)
                storeBig16(thread.data.data() + 10 + 2 * u, item.name[u]);
            records.push_back(std::move(thread));
        }
    }
    auto keyOrder = [this](const Record& x, const Record& y) {
        const uint32_t px = loadBig32(&x.key[2]);
        const uint32_t py = loadBig32(&y.key[2]);
        if (px != py)
            return px < py ? -1 : 1;
        std::u16string nx, ny;
        for (size_t i = 8; i + 1 < x.key.size(); i += 2)
            nx.push_back(char16_t(loadBig16(&x.key[i])));
        for (size_t i = 8; i + 1 < y.key.size(); i += 2)
            ny.push_back(char16_t(loadBig16(&y.key[i])));
        return compareNames(binary, nx, ny);
    };
    std::stable_sort(records.begin(), records.end(),
                     [&](const Record& x, const Record& y) { return keyOrder(x, y) < 0; });
    return records;
}
std::vector<Record> HfsLayoutWriter::overflowRecords() const
{
    std::vector<Record> records;
    auto recordsOf = [&records](const Fork& fork) {
        uint32_t forkBlock = 0;
        for (size_t i = 0; i < fork.pieceBlocks.size(); ++i) {
            if (i >= kExtentsPerRecord && i % kExtentsPerRecord == 0) {
                Record record{std::vector<uint8_t>(12), std::vector<uint8_t>(64)};
                storeBig16(record.key.data(), kExtentsMaxKeyLength);
                record.key[2] = fork.forkType;
                storeBig32(record.key.data() + 4, fork.fileID);
                storeBig32(record.key.data() + 8, forkBlock);
                std::vector<HfsExtent> extents = fork.extents;
                extents.resize(fork.pieceBlocks.size()); // before allocation: zeros of the same size
                storeExtents(record.data.data(), extents, i);
                records.push_back(std::move(record));
            }
            forkBlock += fork.pieceBlocks[i];
        }
    };
    recordsOf(catalogFork);
    for (size_t i = 0; i < items.size(); ++i) {
        recordsOf(dataForks[i]);
        recordsOf(resourceForks[i]);
    }
    auto order = [](const Record& r) { return std::make_tuple(loadBig32(&r.key[4]), r.key[2], loadBig32(&r.key[8])); };
    std::sort(records.begin(), records.end(), [&](const Record& x, const Record& y) { return order(x) < order(y); });
    return records;
}
std::vector<HfsExtent> HfsLayoutWriter::allocate(const std::vector<uint32_t>& pieceBlocks, bool mark)
{
    std::vector<HfsExtent> extents;
    for (size_t i = 0; i < pieceBlocks.size(); ++i) {
        if (i > 0)
            ++cursor; // a free block between two pieces
        extents.push_back({cursor, pieceBlocks[i]});
        for (uint32_t k = 0; k < pieceBlocks[i]; ++k)
            used.at(cursor + k) = mark;
        cursor += pieceBlocks[i];
    }
    return extents;
}
HfsImage HfsLayoutWriter::run()
{
    HfsImageBuilder::Item root;
    root.id = kHfsRootFolderID;
    root.parentID = kHfsRootParentID;
    root.name = utf16FromUtf8(o.volumeName);
    root.folder = true;
    items.push_back(root);
    items.insert(items.end(), b.items.begin(), b.items.end());
    // Fork sizes and their pieces are known before any block is placed.
    auto planFork = [this](uint32_t fileID, uint8_t forkType, uint64_t size, uint32_t pieces) {
        Fork fork{fileID, forkType, {}, {}};
        const uint32_t blocks = uint32_t(divideUp(size, B));
        if (blocks > 0)
            fork.pieceBlocks = splitCounts(blocks, pieces);
        return fork;
    };
    for (const HfsImageBuilder::Item& item : items) {
        const uint64_t dataSize = std::max<uint64_t>(item.data.size(), item.options.dataSize);
        dataForks.push_back(item.folder ? Fork{} : planFork(item.id, 0x00, dataSize, item.options.dataExtents));
        resourceForks.push_back(
            item.folder ? Fork{}
                        : planFork(item.id, 0xFF, item.options.resourceFork.size(), item.options.resourceExtents));
    }
    // Tree shapes depend on record sizes only, which do not change once blocks are placed.
    auto planTree = [this](Fork& fork, uint32_t fileID, const TreeBuild& plan, const HfsTreeShape& shape) {
        const uint32_t unit = std::max<uint32_t>(shape.nodeSize, B) / B;
        const uint32_t units = uint32_t(uint64_t(plan.layout.totalNodes) * shape.nodeSize / B / unit);
        fork.fileID = fileID;
        for (uint32_t count : splitCounts(units, shape.extentCount))
            fork.pieceBlocks.push_back(count * unit);
    };
    planTree(catalogFork, kCatalogFileID, catalogTree(), o.catalog);
    planTree(extentsFork, kExtentsFileID, extentsTree(), o.extents);
    // Block count: boot blocks and header, bitmap, trees, data runs, spare, alternate header. The
    // total is a multiple of 8 so that the bitmap's exact byte count covers whole bytes.
    const uint32_t headBlocks = (kVolumeHeaderOffset + kVolumeHeaderSize - 1) / B + 1;
    const uint32_t tailBlocks = uint32_t(divideUp(1024, B));
    uint64_t fixed = headBlocks + tailBlocks + uint64_t(o.spareBlocks);
    auto forkBlocks = [](const Fork& fork) {
        uint64_t blocks = 0;
        for (uint32_t count : fork.pieceBlocks)
            blocks += count + 1;
        return fork.pieceBlocks.empty() ? 0 : blocks - 1;
    };
    fixed += forkBlocks(catalogFork) + forkBlocks(extentsFork);
    for (size_t i = 0; i < items.size(); ++i)
        fixed += forkBlocks(dataForks[i]) + forkBlocks(resourceForks[i]);
    for (const std::vector<uint8_t>& run : b.freeData)
        fixed += divideUp(run.size(), B);
    uint64_t bitmapBlocks = 0, total = 0;
    for (;;) {
        total = std::max<uint64_t>(divideUp(fixed + bitmapBlocks, 8) * 8, divideUp(o.minimumBlocks, 8) * 8);
        const uint64_t need = divideUp(divideUp(total, 8), B);
        if (need <= bitmapBlocks)
            break;
        bitmapBlocks = need;
    }
    const uint32_t T = uint32_t(total);
    used.assign(T, false);
    for (uint32_t k = 0; k < headBlocks; ++k)
        used[k] = true;
    cursor = headBlocks;
    HfsImage image;
    image.allocationFile = allocate({uint32_t(bitmapBlocks)}, true);
    extentsFork.extents = allocate(extentsFork.pieceBlocks, true);
    catalogFork.extents = allocate(catalogFork.pieceBlocks, true);
    image.freeRuns.resize(b.freeData.size());
    for (const HfsImageBuilder::DataRun& run : b.runs) {
        if (run.freeRun) {
            const uint32_t blocks = uint32_t(divideUp(b.freeData[run.index].size(), B));
            image.freeRuns[run.index] = blocks > 0 ? allocate({blocks}, false).front() : HfsExtent{cursor, 0};
        } else {
            const size_t i = run.index + 1; // items[0] is the root
            dataForks[i].extents = allocate(dataForks[i].pieceBlocks, true);
            resourceForks[i].extents = allocate(resourceForks[i].pieceBlocks, true);
        }
    }
    const uint32_t nextAllocation = cursor;
    for (uint32_t k = T - tailBlocks; k < T; ++k)
        used[k] = true;
    // The bytes, with the trees built again from the real extents; a sparse volume's grow as written.
    image.bytes.assign(o.sparse ? uint64_t(headBlocks) * B : uint64_t(T) * B, 0);
    image.blockSize = B;
    image.totalBlocks = T;
    auto writeFork = [&](const std::vector<HfsExtent>& extents, const uint8_t* data, uint64_t size, uint64_t at = 0) {
        for (uint64_t done = 0; done < size;) {
            const uint64_t chunk = std::min<uint64_t>(size - done, B - (at + done) % B);
            const uint64_t to = mapFork(extents, B, at + done);
            if (image.bytes.size() < to + chunk)
                image.bytes.resize(to + chunk);
            std::memcpy(image.bytes.data() + to, data + done, chunk);
            done += chunk;
        }
    };
    auto writeTree = [&](const TreeBuild& tree, const Fork& fork, HfsTreeLayout& layout) {
        layout = tree.layout;
        layout.extents = fork.extents;
        for (size_t n = 0; n < tree.nodes.size(); ++n)
            writeFork(fork.extents, tree.nodes[n].data(), tree.nodes[n].size(), n * uint64_t(layout.nodeSize));
    };
    writeTree(catalogTree(), catalogFork, image.catalog);
    writeTree(extentsTree(), extentsFork, image.extents);
    std::vector<uint8_t> bitmap(T / 8);
    uint32_t freeBlocks = 0;
    for (uint32_t k = 0; k < T; ++k) {
        if (used[k])
            bitmap[k / 8] |= uint8_t(0x80 >> (k % 8));
        else
            ++freeBlocks;
    }
    writeFork(image.allocationFile, bitmap.data(), bitmap.size());
    uint32_t files = 0, folders = 0, maxID = 15;
    for (size_t i = 1; i < items.size(); ++i) {
        (items[i].folder ? folders : files) += 1;
        maxID = std::max(maxID, items[i].id);
        if (items[i].folder)
            continue;
        image.dataForks[items[i].id] = dataForks[i].extents;
        const std::vector<uint8_t>& resource = items[i].options.resourceFork;
        writeFork(dataForks[i].extents, items[i].data.data(), items[i].data.size());
        writeFork(resourceForks[i].extents, resource.data(), resource.size());
    }
    for (size_t r = 0; r < b.freeData.size(); ++r)
        writeFork({image.freeRuns[r]}, b.freeData[r].data(), b.freeData[r].size());
    // Volume header, and its copy 1024 bytes before the volume's end.
    uint8_t* v = image.bytes.data() + kVolumeHeaderOffset;
    storeBig16(v + 0, binary ? 0x4858 : 0x482B);
    storeBig16(v + 2, binary ? 5 : 4);
    storeBig32(v + 4, 0x100);      // attributes: unmounted cleanly
    storeBig32(v + 8, 0x31302E30); // lastMountedVersion "10.0"
    for (uint32_t date : {16u, 20u, 28u})
        storeBig32(v + date, kHfsDefaultVolumeDate);
    storeBig32(v + 32, files);
    storeBig32(v + 36, folders);
    storeBig32(v + 40, B);
    storeBig32(v + 44, T);
    storeBig32(v + 48, freeBlocks);
    storeBig32(v + 52, nextAllocation);
    storeBig32(v + 56, B);
    storeBig32(v + 60, B);
    storeBig32(v + 64, maxID + 1);
    storeBig32(v + 68, 1); // writeCount
    storeBig64(v + 72, 1); // encodingsBitmap: MacRoman
    storeForkData(v + 112, o.allocationFileWholeBlocks ? uint64_t(bitmapBlocks) * B : bitmap.size(), B,
                  image.allocationFile);
    storeForkData(v + 192, uint64_t(image.extents.totalNodes) * image.extents.nodeSize, B, image.extents.extents);
    storeForkData(v + 272, uint64_t(image.catalog.totalNodes) * image.catalog.nodeSize, B, image.catalog.extents);
    if (!o.sparse)
        std::memcpy(image.bytes.data() + image.bytes.size() - 1024, v, kVolumeHeaderSize);
    return image;
}
HfsImageBuilder::HfsImageBuilder(HfsBuildOptions options) : opts(std::move(options)) {}
uint32_t HfsImageBuilder::addItem(uint32_t parentID, const std::u16string& name, bool folder, std::vector<uint8_t> data,
                                  const HfsItemOptions& options)
{
    const uint32_t id = options.id ? options.id : nextID;
    nextID = std::max(nextID, id + 1);
    runs.push_back({false, items.size()});
    items.push_back({id, parentID, name, folder, std::move(data), options});
    return id;
}
uint32_t HfsImageBuilder::addFolder(uint32_t parentID, const std::string& name, const HfsItemOptions& options)
{
    return addItem(parentID, utf16FromUtf8(name), true, {}, options);
}
uint32_t HfsImageBuilder::addFile(uint32_t parentID, const std::string& name, std::vector<uint8_t> data,
                                  const HfsItemOptions& options)
{
    return addItem(parentID, utf16FromUtf8(name), false, std::move(data), options);
}
size_t HfsImageBuilder::addFreeData(std::vector<uint8_t> bytes)
{
    runs.push_back({true, freeData.size()});
    freeData.push_back(std::move(bytes));
    return freeData.size() - 1;
}
HfsImage HfsImageBuilder::build() const
{
    return HfsLayoutWriter(*this).run();
}
uint64_t HfsImage::nodeOffset(HfsTree which, uint32_t node) const
{
    return mapFork(tree(which).extents, blockSize, uint64_t(node) * tree(which).nodeSize);
}
uint64_t HfsImage::recordOffset(HfsTree which, uint32_t node, uint16_t index) const
{
    const uint64_t at = nodeOffset(which, node);
    return at + loadBig16(&bytes.at(at + tree(which).nodeSize - 2 - 2 * uint64_t(index)));
}
uint64_t HfsImage::dataOffset(uint32_t fileID, uint64_t forkOffset) const
{
    return mapFork(dataForks.at(fileID), blockSize, forkOffset);
}
bool HfsImage::writeFile(const std::string& path, const std::map<uint64_t, std::vector<uint8_t>>& patches) const
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const uint64_t size = volumeSize();
    auto writeAt = [fd](uint64_t at, const uint8_t* data, uint64_t length) {
        for (uint64_t done = 0; done < length;) {
            const ssize_t n = ::pwrite(fd, data + done, length - done, off_t(at + done));
            if (n <= 0)
                return false;
            done += uint64_t(n);
        }
        return true;
    };
    // The alternate header, 1024 bytes before the end, is the one at 1024.
    bool written = ::ftruncate(fd, off_t(size)) == 0 && bytes.size() >= kVolumeHeaderOffset + kVolumeHeaderSize &&
                   writeAt(0, bytes.data(), std::min<uint64_t>(bytes.size(), size)) &&
                   writeAt(size - 1024, bytes.data() + kVolumeHeaderOffset, kVolumeHeaderSize);
    for (const auto& [at, patch] : patches)
        written = written && writeAt(at, patch.data(), patch.size());
    return ::close(fd) == 0 && written;
}
bool HfsImage::isBlockUsed(uint32_t block) const
{
    return (bytes.at(mapFork(allocationFile, blockSize, block / 8)) & (0x80 >> (block % 8))) != 0;
}
const HfsRecordPlace* HfsImage::findCatalogRecord(uint32_t parentID, const std::string& name) const
{
    const std::vector<uint8_t> key = catalogKey(parentID, utf16FromUtf8(name));
    for (const HfsRecordPlace& place : catalog.records)
        if (place.key == key)
            return &place;
    return nullptr;
}
void HfsImage::put16(uint64_t offset, uint16_t value)
{
    storeBig16(&bytes.at(offset + 1) - 1, value);
}
void HfsImage::put32(uint64_t offset, uint32_t value)
{
    storeBig32(&bytes.at(offset + 3) - 3, value);
}
