// The HFS Plus (and HFS) on-disk layout the reader and the analysers use: byte offsets and sizes of
// every field read, named after the format reference, and the shared constants. Nothing here is a
// host-order view of disk bytes: the raw structures are opaque byte arrays, read field by field
// with the explicit big-endian loaders of bigendian.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Volume header location and signatures.
constexpr uint64_t kHFSVolumeHeaderOffset = 1024;
constexpr size_t kHFSVolumeHeaderSize = 512;
constexpr uint16_t kHFSPlusSigWord = 0x482B; // "H+"
constexpr uint16_t kHFSXSigWord = 0x4858;    // "HX"
constexpr uint16_t kHFSSigWord = 0x4244;     // "BD": an HFS master directory block

// HFSPlusVolumeHeader: the fields read.
constexpr size_t kVHSignature = 0;
constexpr size_t kVHFileCount = 32;
constexpr size_t kVHFolderCount = 36;
constexpr size_t kVHBlockSize = 40;
constexpr size_t kVHTotalBlocks = 44;
constexpr size_t kVHAllocationFile = 112;
constexpr size_t kVHExtentsFile = 192;
constexpr size_t kVHCatalogFile = 272;

// HFSMasterDirectoryBlock: the fields read.
constexpr size_t kMDBSigWord = 0;
constexpr size_t kMDBVBMSt = 14;     // u16, first 512-byte sector of the volume bitmap
constexpr size_t kMDBNmAlBlks = 18;  // u16
constexpr size_t kMDBAlBlkSiz = 20;  // u32
constexpr size_t kMDBFilCnt = 84;    // u32
constexpr size_t kMDBDirCnt = 88;    // u32
constexpr uint64_t kHFSSectorSize = 512;

// HFSPlusForkData and its extents.
constexpr size_t kForkDataSize = 80;
constexpr size_t kForkLogicalSize = 0; // u64
constexpr size_t kForkClumpSize = 8;   // u32
constexpr size_t kForkTotalBlocks = 12; // u32
constexpr size_t kForkExtents = 16;
constexpr size_t kExtentDescriptorSize = 8;
constexpr size_t kExtentStartBlock = 0; // u32
constexpr size_t kExtentBlockCount = 4; // u32
constexpr int kExtentsPerRecord = 8;
constexpr size_t kExtentRecordSize = kExtentDescriptorSize * kExtentsPerRecord;

static_assert(kForkExtents + kExtentRecordSize == kForkDataSize);
static_assert(kVHCatalogFile + kForkDataSize <= kHFSVolumeHeaderSize);
static_assert(kMDBDirCnt + 4 <= kHFSVolumeHeaderSize);

// Raw on-disk structures handed between the reader and the analysers. They only say how many bytes
// the pointer vouches for; their fields are read with loadBig16/32/64 at the offsets above.
struct HFSPlusForkData {
    uint8_t bytes[kForkDataSize];
};
struct HFSPlusExtentDescriptor {
    uint8_t bytes[kExtentDescriptorSize];
};
static_assert(sizeof(HFSPlusForkData) == kForkDataSize && alignof(HFSPlusForkData) == 1);
static_assert(sizeof(HFSPlusExtentDescriptor) == kExtentDescriptorSize && alignof(HFSPlusExtentDescriptor) == 1);

// BTNodeDescriptor: at offset 0 of every node.
constexpr size_t kNodeDescriptorSize = 14;
constexpr size_t kNDFLink = 0;       // u32
constexpr size_t kNDBLink = 4;       // u32
constexpr size_t kNDKind = 8;        // i8
constexpr size_t kNDHeight = 9;      // u8
constexpr size_t kNDNumRecords = 10; // u16
constexpr int8_t kBTLeafNode = -1;
constexpr int8_t kBTIndexNode = 0;
constexpr int8_t kBTHeaderNode = 1;
constexpr int8_t kBTMapNode = 2;

// BTHeaderRec: 106 bytes at offset 14 of node 0.
constexpr size_t kBTHeaderRecOffset = kNodeDescriptorSize;
constexpr size_t kBTHeaderRecSize = 106;
constexpr size_t kBTHTreeDepth = 0;      // u16
constexpr size_t kBTHRootNode = 2;       // u32
constexpr size_t kBTHLeafRecords = 6;    // u32
constexpr size_t kBTHFirstLeafNode = 10; // u32
constexpr size_t kBTHLastLeafNode = 14;  // u32
constexpr size_t kBTHNodeSize = 18;      // u16
constexpr size_t kBTHMaxKeyLength = 20;  // u16
constexpr size_t kBTHTotalNodes = 22;    // u32
constexpr size_t kBTHFreeNodes = 26;     // u32
constexpr size_t kBTHReserved1 = 30;     // u16
constexpr size_t kBTHClumpSize = 32;     // u32
constexpr size_t kBTHBtreeType = 36;     // u8
constexpr size_t kBTHKeyCompareType = 37; // u8
constexpr size_t kBTHAttributes = 38;    // u32
constexpr size_t kBTHReserved3 = 42;     // 16 x u32
static_assert(kBTHReserved3 + 16 * 4 == kBTHeaderRecSize);
constexpr uint8_t kHFSCaseFolding = 0xCF;  // HFSX: names compare case-insensitively
constexpr uint8_t kHFSBinaryCompare = 0xBC; // HFSX: names compare as binary units

// Node sizes and the limits of a node's record table.
constexpr int kMinNodeSize = 512;
constexpr int kMaxNodeSize = 32768;
bool IsValidNodeSize(int size);

// HFSPlusExtentKey (Extents Overflow file); offsets from the key's keyLength field.
constexpr size_t kEKForkType = 2;   // u8
constexpr size_t kEKFileID = 4;     // u32
constexpr size_t kEKStartBlock = 8; // u32
constexpr uint16_t kEKMinKeyLength = 10; // bytes after the keyLength field
constexpr uint8_t kDataForkType = 0x00;
constexpr uint8_t kResourceForkType = 0xFF;

// HFSPlusCatalogKey; offsets from the key's keyLength field.
constexpr size_t kCKParentID = 2; // u32
constexpr size_t kCKNodeName = 6; // HFSUniStr255
constexpr uint16_t kCKMinKeyLength = 6; // parentID and the name's length field

// Catalog records.
constexpr size_t kCRRecordType = 0; // i16
constexpr int16_t kHFSPlusFolderRecord = 1;
constexpr int16_t kHFSPlusFileRecord = 2;
constexpr int16_t kHFSPlusFolderThreadRecord = 3;
constexpr int16_t kHFSPlusFileThreadRecord = 4;
constexpr size_t kCatalogFolderSize = 88;
constexpr size_t kCatalogFileSize = 248;
constexpr size_t kCRFolderID = 8;          // u32 (fileID of a file record)
constexpr size_t kCRAttributeModDate = 20; // u32
constexpr size_t kCROwnerFlags = 41;       // u8, the BSD owner flags (permissions.ownerFlags)
constexpr size_t kCRSpecial = 44;          // u32, permissions.special: a hard link's number
constexpr size_t kCRFileType = 48;         // u32, userInfo.fdType
constexpr size_t kCRFileCreator = 52;      // u32, userInfo.fdCreator
constexpr size_t kCRDataFork = 88;
constexpr size_t kCRResourceFork = 168;
static_assert(kCRResourceFork + kForkDataSize == kCatalogFileSize);
static_assert(kCRAttributeModDate + 4 <= kCatalogFolderSize);
static_assert(kCRFileCreator + 4 <= kCRDataFork);

// A hard-linked file's names are file records of type 'hlnk' and creator 'hfs+' whose special field
// holds the link number; the data lies in the file record "iNode" + number in the private folder
// "\0\0\0\0HFS+ Private Data" at the root.
constexpr uint32_t kHardLinkFileType = 0x686C6E6B; // 'hlnk'
constexpr uint32_t kHFSPlusCreator = 0x6866732B;   // 'hfs+'
// The owner flag of a file whose data the file system stored compressed (in the resource fork or
// an extended attribute), leaving the data fork empty.
constexpr uint8_t kUFCompressed = 0x20;

// Reserved catalog node IDs.
constexpr uint32_t kHFSRootParentID = 1;
constexpr uint32_t kHFSRootFolderID = 2;
constexpr uint32_t kHFSExtentsFileID = 3;
constexpr uint32_t kHFSCatalogFileID = 4;
constexpr uint32_t kHFSAllocationFileID = 6;
