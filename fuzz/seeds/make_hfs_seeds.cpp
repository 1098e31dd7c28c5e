// Writes the seed corpus of the HFS Plus reader's fuzz target: small sound volumes, each the bytes
// of a volume alone (header at byte 1024), so that the fuzzer starts from every structure the
// reader walks instead of discovering them. Made at fuzz time rather than kept as binary files.
//
//   make_hfs_seeds OUTDIR
//
// Builder volumes (tests/support/hfsimagebuilder.h): plain HFS Plus, HFSX with binary name order,
// a fragmented file and a catalog continued in the extents overflow file, a catalog several index
// levels deep. An HFS ("BD") master directory block with its bitmap. When xorriso is on PATH, also a small xorriso volume: its Apple_HFS partition from
// the partition's start to the image's end (the file data lies past the map entry's length).
// Exits 1 only when the folder cannot be written; a failing xorriso only leaves its seed out.
#include "hfsfixtures.h"
#include "hfsimagebuilder.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<uint8_t>;

HfsTreeShape treeShape(uint16_t nodeSize, uint32_t maxLeafRecords = 0, uint32_t maxIndexRecords = 0,
                       uint32_t extentCount = 1)
{
    HfsTreeShape shape;
    shape.nodeSize = nodeSize;
    shape.maxLeafRecords = maxLeafRecords;
    shape.maxIndexRecords = maxIndexRecords;
    shape.extentCount = extentCount;
    return shape;
}

// Small blocks and nodes keep the seeds a few kilobytes long.
HfsBuildOptions smallOptions(const std::string& name)
{
    HfsBuildOptions o;
    o.volumeName = name;
    o.blockSize = 512;
    o.catalog = treeShape(512);
    o.extents = treeShape(512);
    o.spareBlocks = 0;
    return o;
}

void addSampleTree(HfsImageBuilder& builder)
{
    const uint32_t docs = builder.addFolder(kHfsRootFolderID, "docs");
    const uint32_t deep = builder.addFolder(docs, "deep");
    builder.addFolder(kHfsRootFolderID, "empty");
    builder.addFile(kHfsRootFolderID, "readme.txt", patternBytes(40, 1));
    builder.addFile(docs, "cafe\xCC\x81.txt", patternBytes(700, 2));
    builder.addFile(deep, "note", patternBytes(5, 3));
    builder.addFile(docs, "zero", Bytes());
}

std::vector<std::pair<std::string, Bytes>> builderSeeds()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    {
        HfsImageBuilder builder(smallOptions("Plain"));
        addSampleTree(builder);
        seeds.emplace_back("plain.hfs", builder.build().bytes);
    }
    {
        HfsBuildOptions o = smallOptions("Cases");
        o.flavor = HfsFlavor::HfsxCaseSensitive;
        HfsImageBuilder builder(o);
        addSampleTree(builder);
        builder.addFile(kHfsRootFolderID, "README.txt", patternBytes(30, 4));
        seeds.emplace_back("hfsx.hfs", builder.build().bytes);
    }
    {
        // A data fork in 12 pieces and a resource fork in 10: both continue in overflow records;
        // the catalog itself lies in 10 pieces, two of them in the overflow file.
        HfsBuildOptions o = smallOptions("Pieces");
        o.catalog = treeShape(512, 0, 0, 10);
        HfsImageBuilder builder(o);
        HfsItemOptions fragmented;
        fragmented.dataExtents = 12;
        fragmented.resourceFork = patternBytes(5120, 5);
        fragmented.resourceExtents = 10;
        builder.addFile(kHfsRootFolderID, "fragmented.bin", patternBytes(12 * 512, 6), fragmented);
        builder.addFile(kHfsRootFolderID, "small", patternBytes(100, 7));
        seeds.emplace_back("fragmented.hfs", builder.build().bytes);
    }
    {
        // Two records a leaf and two an index node: a catalog five or more levels deep.
        HfsBuildOptions o = smallOptions("Levels");
        o.catalog = treeShape(512, 2, 2);
        HfsImageBuilder builder(o);
        const uint32_t sub = builder.addFolder(kHfsRootFolderID, "sub");
        for (int i = 0; i < 12; ++i)
            builder.addFile(i % 3 ? kHfsRootFolderID : sub, "f" + std::to_string(i), patternBytes(size_t(i) * 37, 8));
        seeds.emplace_back("levels.hfs", builder.build().bytes);
    }
    {
        // Two hard links to an iNode in the hidden private folder (its data in 10 pieces), a link
        // to a missing iNode, and a file with the compressed owner flag.
        HfsImageBuilder builder(smallOptions("Links"));
        const uint32_t hidden =
            builder.addFolderUtf16(kHfsRootFolderID, std::u16string(u"\0\0\0\0HFS+ Private Data", 21));
        HfsItemOptions target;
        target.dataExtents = 10;
        builder.addFile(hidden, "iNode40", patternBytes(10 * 512, 9), target);
        HfsItemOptions link;
        link.fileFlags = 0x20;
        link.fileType = 0x686C6E6B;    // 'hlnk'
        link.fileCreator = 0x6866732B; // 'hfs+'
        link.bsdSpecial = 40;
        builder.addFile(kHfsRootFolderID, "one", Bytes(), link);
        builder.addFile(builder.addFolder(kHfsRootFolderID, "sub"), "two", Bytes(), link);
        link.bsdSpecial = 41;
        builder.addFile(kHfsRootFolderID, "missing", Bytes(), link);
        HfsItemOptions compressed;
        compressed.ownerFlags = 0x20;
        builder.addFile(kHfsRootFolderID, "squeezed", Bytes(), compressed);
        seeds.emplace_back("links.hfs", builder.build().bytes);
    }
    return seeds;
}

// An HFS ("BD") volume, of which the reader takes the master directory block and the bitmap:
// 16 sectors, bitmap in sector 3, 12 allocation blocks of 512 bytes, the first four in use.
Bytes hfsSeed()
{
    Bytes volume(16 * 512, 0);
    auto put16 = [&](size_t at, uint16_t value) {
        volume[at] = uint8_t(value >> 8);
        volume[at + 1] = uint8_t(value);
    };
    const size_t mdb = 1024;
    put16(mdb + 0, 0x4244);  // drSigWord
    put16(mdb + 14, 3);      // drVBMSt
    put16(mdb + 18, 12);     // drNmAlBlks
    put16(mdb + 20 + 2, 512); // drAlBlkSiz (u32)
    put16(mdb + 84 + 2, 1);  // drFilCnt (u32)
    put16(mdb + 88 + 2, 1);  // drDirCnt (u32)
    volume[3 * 512] = 0xF0;
    return volume;
}

// The xorriso seed, or nothing (with the reason on standard error).
Bytes xorrisoSeed()
{
    if (!toolAvailable("xorriso")) {
        std::fprintf(stderr, "make_hfs_seeds: xorriso not found, no xorriso seed\n");
        return {};
    }
    ScratchDir scratch;
    if (scratch.path().empty())
        return {};
    const std::string root = scratch.file("tree");
    TreeSpec tree;
    tree.folder("empty").file("readme.txt", 6, 1).file("docs/cafe\xCC\x81.txt", 600, 2);
    tree.file("docs/deep/note", 4, 3).file("docs/big.bin", 5000, 4);
    std::string error;
    const std::string image = scratch.file("volume.iso");
    if (!std::filesystem::create_directories(root) || !tree.write(root, &error) ||
        !makeXorrisoImage(root, "SEED", image, &error)) {
        std::fprintf(stderr, "make_hfs_seeds: no xorriso seed: %s\n", error.c_str());
        return {};
    }
    const std::optional<ApmEntry> entry = findApmPartition(image);
    const Bytes bytes = readFileBytes(image);
    if (!entry || uint64_t(entry->firstBlock) * 512 >= bytes.size()) {
        std::fprintf(stderr, "make_hfs_seeds: no Apple_HFS partition in the xorriso image\n");
        return {};
    }
    return Bytes(bytes.begin() + std::ptrdiff_t(uint64_t(entry->firstBlock) * 512), bytes.end());
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_hfs_seeds OUTDIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::error_code code;
    std::filesystem::create_directories(dir, code);
    std::vector<std::pair<std::string, Bytes>> seeds = builderSeeds();
    seeds.emplace_back("hfs.hfs", hfsSeed());
    Bytes xorriso = xorrisoSeed();
    if (!xorriso.empty())
        seeds.emplace_back("xorriso.hfs", std::move(xorriso));
    for (const auto& [name, bytes] : seeds) {
        if (!writeFileBytes(dir + "/" + name, bytes)) {
            std::fprintf(stderr, "make_hfs_seeds: cannot write %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    std::printf("make_hfs_seeds: %zu seeds in %s\n", seeds.size(), dir.c_str());
    return 0;
}
