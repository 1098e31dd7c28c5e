// Shared by the lost-files and lost-volumes fuzz targets: the disk bytes of one input. An input is laid over a small sound HFS Plus volume (XOR, so an empty
// input leaves the volume intact and mutations flip its fields); bytes beyond it extend the disk.
// That way the fuzzer starts deep inside the header, B-tree and record parsing instead of having to
// discover an HFS Plus volume from nothing.
#pragma once

#include "fuzzsupport.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzzdisk {

inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    put16(b, at, uint16_t(v >> 16));
    put16(b, at + 2, uint16_t(v));
}

// A catalog record (key, pad to even, data) at `at`; returns the offset after it.
inline size_t putRecord(std::vector<uint8_t>& b, size_t at, uint32_t parent, const char* name,
                        const std::vector<uint8_t>& data)
{
    const size_t length = std::strlen(name);
    put16(b, at, uint16_t(6 + 2 * length));
    put32(b, at + 2, parent);
    put16(b, at + 6, uint16_t(length));
    for (size_t i = 0; i < length; ++i)
        put16(b, at + 8 + 2 * i, uint8_t(name[i]));
    at += 8 + 2 * length;
    at += at & 1;
    std::memcpy(b.data() + at, data.data(), data.size());
    return at + data.size() + (data.size() & 1);
}

// A 16-block HFS Plus volume of 512-byte blocks and nodes: header at byte 1024, allocation file in
// block 4, an empty extents tree in block 5, the catalog (header node and one leaf) in blocks 6-7,
// and the file "f" (ID 16, 100 bytes) in block 8, under the root of the volume "V".
inline std::vector<uint8_t> templateVolume()
{
    constexpr uint32_t kBlocks = 16;
    std::vector<uint8_t> v(kBlocks * kBlockSize, 0);
    auto fork = [&](size_t at, uint32_t start, uint32_t count, uint64_t logical) {
        put32(v, at, uint32_t(logical >> 32));
        put32(v, at + 4, uint32_t(logical));
        put32(v, at + 12, count);
        put32(v, at + 16, start);
        put32(v, at + 20, count);
    };
    const size_t h = 1024;
    put16(v, h, 0x482B);
    put16(v, h + 2, 4);
    put32(v, h + 32, 1);  // fileCount
    put32(v, h + 40, kBlockSize);
    put32(v, h + 44, kBlocks);
    fork(h + 112, 4, 1, 2);           // allocation file: 16 bits
    fork(h + 192, 5, 1, kBlockSize);  // extents overflow file
    fork(h + 272, 6, 2, 2 * kBlockSize); // catalog file
    v[4 * kBlockSize] = 0xFF;         // blocks 0-8 in use
    v[4 * kBlockSize + 1] = 0x80;

    auto headerNode = [&](size_t node, uint32_t root, uint32_t leaves, uint32_t nodes, uint32_t depth) {
        v[node + 8] = 1; // header node
        put16(v, node + 10, 3);
        const size_t r = node + 14;
        put16(v, r + 0, uint16_t(depth));
        put32(v, r + 2, root);
        put32(v, r + 6, leaves);
        put32(v, r + 10, root);
        put32(v, r + 14, root);
        put16(v, r + 18, kBlockSize);
        put16(v, r + 20, 516);
        put32(v, r + 22, nodes);
        // Header record, user data record, map record, free space.
        put16(v, node + kBlockSize - 2, 14);
        put16(v, node + kBlockSize - 4, 120);
        put16(v, node + kBlockSize - 6, 248);
        put16(v, node + kBlockSize - 8, 504);
    };
    headerNode(5 * kBlockSize, 0, 0, 1, 0);
    headerNode(6 * kBlockSize, 1, 3, 2, 1);

    const size_t leaf = 7 * kBlockSize;
    v[leaf + 8] = 0xFF;
    v[leaf + 9] = 1;
    put16(v, leaf + 10, 3);
    std::vector<uint8_t> folder(88, 0), thread(20, 0), file(248, 0);
    put16(folder, 0, 1);
    put32(folder, 8, 2);
    put16(thread, 0, 3);
    put32(thread, 4, 1);
    put16(file, 0, 2);
    put32(file, 8, 16);
    put32(file, 20, 3000000000u);
    file[88 + 7] = 100;
    put32(file, 88 + 12, 1);
    put32(file, 88 + 16, 8);
    put32(file, 88 + 20, 1);
    size_t at = leaf + 14;
    put16(v, leaf + kBlockSize - 2, uint16_t(at - leaf));
    at = putRecord(v, at, 1, "V", folder);
    put16(v, leaf + kBlockSize - 4, uint16_t(at - leaf));
    at = putRecord(v, at, 2, "", thread);
    put16(v, leaf + kBlockSize - 6, uint16_t(at - leaf));
    at = putRecord(v, at, 2, "f", file);
    put16(v, leaf + kBlockSize - 8, uint16_t(at - leaf));
    for (int i = 0; i < 100; ++i)
        v[8 * kBlockSize + size_t(i)] = uint8_t('a' + i % 26);
    // A copy of the leaf in a free block, as a lost catalog node would lie.
    std::memcpy(v.data() + 12 * kBlockSize, v.data() + leaf, kBlockSize);
    return v;
}

// The disk of one input: 8 zero blocks, then the template volume with the input XORed over it from
// its first byte on (so short inputs already reach the header and the catalog), and the input's
// excess appended.
inline std::vector<uint8_t> diskBytes(const uint8_t* data, size_t size)
{
    constexpr size_t kVolumeStart = 8 * kBlockSize;
    static const std::vector<uint8_t> base = [] {
        std::vector<uint8_t> bytes(kVolumeStart, 0);
        const std::vector<uint8_t> volume = templateVolume();
        bytes.insert(bytes.end(), volume.begin(), volume.end());
        return bytes;
    }();
    std::vector<uint8_t> disk = base;
    if (kVolumeStart + size > disk.size())
        disk.resize(kVolumeStart + size, 0);
    for (size_t i = 0; i < size; ++i)
        disk[kVolumeStart + i] ^= data[i];
    return disk;
}

} // namespace fuzzdisk
