// The deleted-files analyser: files carved from free blocks by content type, their folders, names
// and sizes, the size cap, the text filter with its keywords, a cancelled scan, a description file
// that does not load, and deleted files of a real xorriso volume coming back byte for byte.
#include "rawanalyser.h"

#include "recoveryfixture.h"

#include "apmimage.h"
#include "hfsimagebuilder.h"
#include "machelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

namespace {
using Bytes = std::vector<uint8_t>;

// --- Small files of each carved type, written from their formats --------------------------------

void put16be(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void put32be(Bytes& b, uint32_t v)
{
    put16be(b, v >> 16);
    put16be(b, v & 0xFFFF);
}
void put16le(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32le(Bytes& b, uint32_t v)
{
    put16le(b, v & 0xFFFF);
    put16le(b, v >> 16);
}
void putText(Bytes& b, const std::string& text)
{
    b.insert(b.end(), text.begin(), text.end());
}
void putBytes(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void pngChunk(Bytes& png, const char* type, const Bytes& data)
{
    put32be(png, uint32_t(data.size()));
    Bytes typed(type, type + 4);
    putBytes(typed, data);
    putBytes(png, typed);
    put32be(png, crc32(typed.data(), typed.size()));
}

// A 2 x 2 RGB image; the pixels go into a zlib stream of one stored deflate block.
Bytes makePng()
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    put32be(header, 2);
    put32be(header, 2);
    header.insert(header.end(), {8, 2, 0, 0, 0});
    pngChunk(png, "IHDR", header);
    const Bytes raw = {0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 255, 255};
    Bytes zlib = {0x78, 0x01, 0x01};
    put16le(zlib, uint32_t(raw.size()));
    put16le(zlib, uint32_t(~raw.size() & 0xFFFF));
    putBytes(zlib, raw);
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32be(zlib, (b << 16) | a);
    pngChunk(png, "IDAT", zlib);
    pngChunk(png, "IEND", {});
    return png;
}

// An 8 x 8 grey baseline JPEG whose one block is all zero: one-symbol Huffman tables make its
// scan the bits 0 (DC difference 0) and 0 (end of block).
Bytes makeJpeg()
{
    Bytes j = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    j.insert(j.end(), {0xFF, 0xDB, 0x00, 0x43, 0x00});
    j.insert(j.end(), 64, 1);
    j.insert(j.end(), {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 8, 0, 8, 1, 1, 0x11, 0});
    for (uint8_t tableClass : {0x00, 0x10}) {
        j.insert(j.end(), {0xFF, 0xC4, 0x00, 0x14, tableClass, 1});
        j.insert(j.end(), 15, 0);
        j.push_back(0);
    }
    j.insert(j.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0, 0x3F, 0xFF, 0xD9});
    return j;
}

// One white pixel: clear code, index 0, end code, packed as three 3-bit codes.
Bytes makeGif()
{
    const char gif[] = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00"
                       ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;";
    return Bytes(gif, gif + sizeof gif - 1);
}

// A 24-bit bottom-up bitmap with a BITMAPINFOHEADER; rows padded to four bytes.
Bytes makeBmp(uint32_t width, uint32_t height)
{
    const uint32_t row = (width * 3 + 3) / 4 * 4;
    Bytes b = {'B', 'M'};
    put32le(b, 54 + row * height);
    put32le(b, 0);
    put32le(b, 54);
    put32le(b, 40);
    put32le(b, width);
    put32le(b, height);
    put16le(b, 1);
    put16le(b, 24);
    put32le(b, 0);
    put32le(b, row * height);
    put32le(b, 2835);
    put32le(b, 2835);
    put32le(b, 0);
    put32le(b, 0);
    const Bytes pixels = patternBytes(size_t(row) * height, 77);
    putBytes(b, pixels);
    return b;
}

// One grey pixel, little-endian, in one strip.
Bytes makeTiff()
{
    Bytes t = {'I', 'I', 42, 0};
    put32le(t, 8);
    const uint32_t entries = 8;
    const uint32_t pixelAt = 8 + 2 + entries * 12 + 4;
    put16le(t, entries);
    const uint32_t tags[entries][4] = {{256, 3, 1, 1}, {257, 3, 1, 1},       {258, 3, 1, 8}, {259, 3, 1, 1},
                                       {262, 3, 1, 1}, {273, 4, 1, pixelAt}, {278, 3, 1, 1}, {279, 4, 1, 1}};
    for (const auto& tag : tags) {
        put16le(t, tag[0]);
        put16le(t, tag[1]);
        put32le(t, tag[2]);
        put32le(t, tag[3]); // a SHORT value sits in the first two bytes: little-endian, so this fits
    }
    put32le(t, 0);
    t.push_back(0x80);
    return t;
}

// One empty page with a cross-reference table at the right offsets.
Bytes makePdf()
{
    std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    const std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>",
                                              "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 72] >>"};
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 4\n0000000000 65535 f \n";
    for (size_t at : offsets)
        pdf += formatString("%010zu 00000 n \n", at);
    pdf += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return Bytes(pdf.begin(), pdf.end());
}

// A ZIP archive of stored (uncompressed) members, with its central directory.
Bytes makeZip(const std::vector<std::pair<std::string, Bytes>>& members)
{
    Bytes zip;
    Bytes directory;
    for (const auto& [name, data] : members) {
        const uint32_t offset = uint32_t(zip.size());
        const uint32_t crc = crc32(data.data(), data.size());
        put32le(zip, 0x04034B50);
        put16le(zip, 20);
        put16le(zip, 0);
        put16le(zip, 0);
        put16le(zip, 0);
        put16le(zip, 0x21);
        put32le(zip, crc);
        put32le(zip, uint32_t(data.size()));
        put32le(zip, uint32_t(data.size()));
        put16le(zip, uint32_t(name.size()));
        put16le(zip, 0);
        putText(zip, name);
        putBytes(zip, data);

        put32le(directory, 0x02014B50);
        put16le(directory, 20);
        put16le(directory, 20);
        put16le(directory, 0);
        put16le(directory, 0);
        put16le(directory, 0);
        put16le(directory, 0x21);
        put32le(directory, crc);
        put32le(directory, uint32_t(data.size()));
        put32le(directory, uint32_t(data.size()));
        put16le(directory, uint32_t(name.size()));
        put16le(directory, 0);
        put16le(directory, 0);
        put16le(directory, 0);
        put16le(directory, 0);
        put32le(directory, 0);
        put32le(directory, offset);
        putText(directory, name);
    }
    const uint32_t directoryAt = uint32_t(zip.size());
    putBytes(zip, directory);
    put32le(zip, 0x06054B50);
    put16le(zip, 0);
    put16le(zip, 0);
    put16le(zip, uint32_t(members.size()));
    put16le(zip, uint32_t(members.size()));
    put32le(zip, uint32_t(directory.size()));
    put32le(zip, directoryAt);
    put16le(zip, 0);
    return zip;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Text for a block of its own. libmagic drops trailing NULs in pairs (UTF-16 keeps its parity), so
// an odd-length text followed by NUL slack keeps one NUL and reads as binary; these stay even.
Bytes words(std::string s)
{
    if (s.size() % 2)
        s.insert(s.size() - 1, " ");
    return text(s);
}

Bytes makeDocx()
{
    return makeZip({{"[Content_Types].xml",
                     text("<?xml version=\"1.0\"?><Types><Override PartName=\"/word/document.xml\"/></Types>")},
                    {"_rels/.rels", text("<?xml version=\"1.0\"?><Relationships/>")},
                    {"word/document.xml", text("<?xml version=\"1.0\"?><w:document><w:body/></w:document>")}});
}

Bytes makeOdt()
{
    return makeZip({{"mimetype", text("application/vnd.oasis.opendocument.text")},
                    {"content.xml", text("<?xml version=\"1.0\"?><office:document-content/>")},
                    {"META-INF/manifest.xml", text("<?xml version=\"1.0\"?><manifest:manifest/>")}});
}

Bytes makeRtf()
{
    return text("{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}} \\f0\\fs24 Recovered words.\\par }\n");
}

// An ID3v2.4 tag (ten bytes of padding) before three MPEG-1 Layer III frames of 417 bytes.
Bytes makeMp3()
{
    Bytes m = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 10};
    m.insert(m.end(), 10, 0);
    for (uint32_t frame = 0; frame < 3; ++frame) {
        m.insert(m.end(), {0xFF, 0xFB, 0x90, 0x00});
        putBytes(m, patternBytes(413, 300 + frame));
    }
    return m;
}

// 8-bit mono PCM at 8000 Hz.
Bytes makeWav(uint32_t samples)
{
    Bytes w = {'R', 'I', 'F', 'F'};
    put32le(w, 36 + samples);
    putText(w, "WAVEfmt ");
    put32le(w, 16);
    put16le(w, 1);
    put16le(w, 1);
    put32le(w, 8000);
    put32le(w, 8000);
    put16le(w, 1);
    put16le(w, 8);
    putText(w, "data");
    put32le(w, samples);
    putBytes(w, patternBytes(samples, 41));
    return w;
}

// 8-bit mono at 8000 Hz (an 80-bit extended rate: exponent 16383 + 12, mantissa 8000 << 51).
Bytes makeAiff(uint32_t samples)
{
    Bytes a = {'F', 'O', 'R', 'M'};
    put32be(a, 4 + 26 + 16 + samples);
    putText(a, "AIFFCOMM");
    put32be(a, 18);
    put16be(a, 1);
    put32be(a, samples);
    put16be(a, 8);
    a.insert(a.end(), {0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0});
    putText(a, "SSND");
    put32be(a, 8 + samples);
    put32be(a, 0);
    put32be(a, 0);
    putBytes(a, patternBytes(samples, 43));
    return a;
}

// An ISO base media file: "ftyp" with the given major brand, "moov" with a movie header, "mdat".
Bytes makeIsoMedia(const char* brand)
{
    Bytes f;
    put32be(f, 24);
    putText(f, "ftyp");
    putText(f, brand);
    put32be(f, 0x200);
    putText(f, brand);
    putText(f, "isom");
    put32be(f, 8 + 108);
    putText(f, "moov");
    put32be(f, 108);
    putText(f, "mvhd");
    put32be(f, 0);          // version, flags
    put32be(f, 0);          // creation
    put32be(f, 0);          // modification
    put32be(f, 600);        // time scale
    put32be(f, 600);        // duration: one second
    put32be(f, 0x00010000); // rate 1.0
    put16be(f, 0x0100);     // volume 1.0
    f.insert(f.end(), 10, 0);
    for (uint32_t value : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        put32be(f, value);
    f.insert(f.end(), 24, 0);
    put32be(f, 1); // next track ID
    put32be(f, 8 + 64);
    putText(f, "mdat");
    putBytes(f, patternBytes(64, 55));
    return f;
}

// A one-pixel greyscale Photoshop file without layers.
Bytes makePsd()
{
    Bytes p = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    put16be(p, 1);
    put32be(p, 1);
    put32be(p, 1);
    put16be(p, 8);
    put16be(p, 1);
    put32be(p, 0);
    put32be(p, 0);
    put32be(p, 0);
    put16be(p, 0);
    p.push_back(0x80);
    return p;
}

// A read-write disk image of a partitioned disk: driver descriptor and partition map.
Bytes makeDmg()
{
    return makeApmImage(512, 4, {{1, 3, "Apple", "Apple_partition_map"}});
}

struct Sample {
    std::string file; // name in a test volume
    Bytes bytes;
    std::string type; // the content type the description must give
    std::string extension;
};

// Every type the scan carves. The larger ones span several 2048-byte blocks of pattern bytes,
// which no entry of the description takes for a start.
std::vector<Sample> samples()
{
    return {
        {"a01.jpg", makeJpeg(), "image/jpeg", "jpg"},
        {"a02.png", makePng(), "image/png", "png"},
        {"a03.gif", makeGif(), "image/gif", "gif"},
        {"a04.tif", makeTiff(), "image/tiff", "tif"},
        {"a05.bmp", makeBmp(40, 50), "image/bmp", "bmp"},
        {"a06.psd", makePsd(), "image/vnd.adobe.photoshop", "psd"},
        {"a07.pdf", makePdf(), "application/pdf", "pdf"},
        {"a08.zip", makeZip({{"data.bin", patternBytes(5000, 9)}}), "application/zip", "zip"},
        {"a09.docx", makeDocx(), "application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
        {"a10.odt", makeOdt(), "application/vnd.oasis.opendocument.text", "odt"},
        {"a11.rtf", makeRtf(), "application/rtf", "rtf"},
        {"a12.dmg", makeDmg(), "application/x-apple-diskimage", "dmg"},
        {"a13.mp3", makeMp3(), "audio/mpeg", "mp3"},
        {"a14.wav", makeWav(7000), "audio/x-wav", "wav"},
        {"a15.aiff", makeAiff(3000), "audio/x-aiff", "aiff"},
        {"a16.mp4", makeIsoMedia("isom"), "video/mp4", "mp4"},
        {"a17.mov", makeIsoMedia("qt  "), "video/quicktime", "mov"},
    };
}

// "Category folder/subtype" as the scan names the folder of a content type.
std::string folderOf(const std::string& type)
{
    const size_t slash = type.find('/');
    const std::string key = "Category_" + type.substr(0, slash);
    const std::string major = localize(key) != key ? localize(key) : type.substr(0, slash);
    return major + "/" + type.substr(slash + 1);
}

// Every carved file under the result root by "folder/subfolder/name".
std::map<std::string, CRawVolumeItem*> carvedFiles(CVolumeItem* folder, const std::string& prefix = "")
{
    std::map<std::string, CRawVolumeItem*> files;
    if (!folder)
        return files;
    for (CVolumeItem* child : folder->children) {
        const std::string path = prefix + child->getName();
        if (child->isContainer()) {
            const auto inner = carvedFiles(child, path + "/");
            files.insert(inner.begin(), inner.end());
        } else {
            files[path] = dynamic_cast<CRawVolumeItem*>(child);
        }
    }
    return files;
}

Bytes readItem(CVolumeItem* item)
{
    Bytes bytes(size_t(item->getSize()));
    if (!bytes.empty()) {
        EXPECT_EQ(item->read(0, bytes.data(), uint32_t(bytes.size())), bytes.size());
    }
    return bytes;
}

// A deleted-files scan through the engine over a disk held in memory. Bytes without an HFS Plus
// volume are walked in disk blocks, all free.
struct Scan {
    explicit Scan(Bytes bytes, int blockSize = 512) : disk(std::move(bytes), blockSize)
    {
        recovery.setStatusListener(&listener);
        recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    }
    ~Scan()
    {
        quietly([&] { recovery.setDisk(nullptr); });
    }
    std::string run()
    {
        return quietly([&] {
            recovery.setDisk(&disk);
            recovery.setScanType(ScanDeletedFiles);
            recovery.scan();
        });
    }
    std::map<std::string, CRawVolumeItem*> files() { return carvedFiles(recovery.resultRoot); }

    CMemoryDisk disk;
    CRecovery recovery;
    ScriptedListener listener;
};

// Places each piece at the start of its own disk block.
Bytes blocks(const std::vector<Bytes>& pieces, size_t blockSize = 512)
{
    Bytes disk;
    for (const Bytes& piece : pieces) {
        const size_t count = std::max<size_t>(1, (piece.size() + blockSize - 1) / blockSize);
        const size_t at = disk.size();
        disk.resize(at + count * blockSize);
        std::copy(piece.begin(), piece.end(), disk.begin() + long(at));
    }
    return disk;
}

std::string png(uint64_t endBlock)
{
    return folderOf("image/png") + "/" + std::to_string(endBlock) + ".png";
}

std::string textFile(uint64_t endBlock)
{
    return folderOf("text/plain") + "/" + std::to_string(endBlock);
}
} // namespace

// --- The content-type answer ------------------------------------------------------------------------

TEST(RawAnalyserAnswer, SplitReadsTypeBeforeTheFirstTabAndExtensionWithoutFurtherTabs)
{
    std::string type = "old", extension = "old";
    splitMagicAnswer("image/png\tpng", type, extension);
    EXPECT_EQ(type, "image/png");
    EXPECT_EQ(extension, "png");
    splitMagicAnswer("text/plain", type, extension);
    EXPECT_EQ(type, "text/plain");
    EXPECT_EQ(extension, "");
    splitMagicAnswer("a/b\tc\td\t", type, extension);
    EXPECT_EQ(type, "a/b");
    EXPECT_EQ(extension, "cd");
    splitMagicAnswer("", type, extension);
    EXPECT_EQ(type, "");
    EXPECT_EQ(extension, "");
}

// --- Carving ---------------------------------------------------------------------------------------

TEST(RawAnalyserCarving, EveryCarvedTypeLandsInItsCategoryFolderNamedByItsEndBlock)
{
    // Free runs of a real volume with 4096-byte allocation blocks, one file after the other,
    // between two files in use.
    HfsBuildOptions options;
    options.blockSize = 4096;
    HfsImageBuilder builder(options);
    builder.addFile(kHfsRootFolderID, "before.bin", patternBytes(5000, 1));
    const std::vector<Sample> all = samples();
    for (const Sample& sample : all)
        builder.addFreeData(sample.bytes);
    builder.addFile(kHfsRootFolderID, "after.bin", patternBytes(5000, 2));
    const HfsImage image = builder.build();

    Scan scan(image.bytes);
    scan.run();
    ASSERT_EQ(scan.recovery.blocksPerAllocBlock, 8);
    std::map<std::string, CRawVolumeItem*> expected;
    const auto files = scan.files();
    for (size_t i = 0; i < all.size(); ++i) {
        const HfsExtent run = image.freeRuns[i];
        const uint64_t end = uint64_t(run.startBlock + run.blockCount) * 8;
        const std::string path = folderOf(all[i].type) + "/" + std::to_string(end) + "." + all[i].extension;
        ASSERT_EQ(files.count(path), 1u) << all[i].file << " not at " << path;
        CRawVolumeItem* item = files.at(path);
        EXPECT_EQ(item->firstBlock, uint64_t(run.startBlock) * 8) << path;
        EXPECT_EQ(item->getSize(), uint64_t(run.blockCount) * 4096) << path;
        EXPECT_TRUE(item->isDeleted());
        EXPECT_TRUE(item->getParent()->isDeleted());
        EXPECT_TRUE(item->getParent()->getParent()->isDeleted());
        Bytes content = readItem(item);
        content.resize(all[i].bytes.size());
        EXPECT_EQ(content, all[i].bytes) << path;
    }
    EXPECT_EQ(files.size(), all.size());
}

TEST(RawAnalyserCarving, EveryMajorTypeOfTheDescriptionHasACategoryFolderText)
{
    for (const char* major : {"application", "audio", "image", "text", "video"}) {
        const std::string key = std::string("Category_") + major;
        EXPECT_NE(localize(key), key) << key;
    }
}

TEST(RawAnalyserCarving, FileRunsOverUnrecognisedBlocksUntilTheNextStart)
{
    // Block 0 holds no known start and belongs to no file; two PNG starts in a row give two files.
    Scan scan(blocks({patternBytes(512, 5), makePng(), patternBytes(1024, 6), makePng(), makePng(), makeGif()}));
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 4u);
    ASSERT_EQ(files.count(png(4)), 1u);
    EXPECT_EQ(files.at(png(4))->firstBlock, 1u);
    EXPECT_EQ(files.at(png(4))->getSize(), 3u * 512);
    EXPECT_EQ(files.at(png(5))->getSize(), 512u);
    EXPECT_EQ(files.at(png(6))->getSize(), 512u);
    // The last file ends with the scanned range.
    const std::string gif = folderOf("image/gif") + "/7.gif";
    ASSERT_EQ(files.count(gif), 1u);
    EXPECT_EQ(files.at(gif)->firstBlock, 6u);
}

TEST(RawAnalyserCarving, UsedBlockEndsTheFileAfterOneAllocationBlock)
{
    HfsBuildOptions options;
    options.blockSize = 4096;
    HfsImageBuilder builder(options);
    builder.addFreeData(makePng());
    builder.addFile(kHfsRootFolderID, "used.bin", patternBytes(4096, 3));
    builder.addFreeData(patternBytes(8192, 4)); // free but unrecognised, after the used block
    const HfsImage image = builder.build();
    Scan scan(image.bytes);
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->second->getSize(), 4096u);
    EXPECT_EQ(files.begin()->first, png(uint64_t(image.freeRuns[0].startBlock + 1) * 8));
}

TEST(RawAnalyserCarving, ListenerHearsOfTheFolderOfEveryFiledItem)
{
    Scan scan(blocks({makePng(), makeGif()}));
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 2u);
    std::vector<CVolumeItem*> folders;
    for (const auto& [path, item] : files)
        folders.push_back(item->getParent());
    std::vector<CVolumeItem*> heard = scan.listener.changed;
    std::sort(heard.begin(), heard.end());
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(heard, folders);
}

TEST(RawAnalyserCarving, NamesCarryTheExactEndBlockBeyondSinglePrecision)
{
    // 16777217 has no single-precision float: a name made through one would say 16777216 and
    // collide with the file that ends a block earlier.
    HandBuiltResults results;
    CRawAnalyser analyser;
    analyser.setRecovery(&results.recovery);
    for (uint64_t end : {16777216u, 16777217u}) {
        auto* item = new CRawVolumeItem();
        item->volume = results.recovery.volume;
        item->firstBlock = end - 1;
        EXPECT_TRUE(analyser.finishItem(item, int64_t(end), "image/png\tpng"));
    }
    const auto files = carvedFiles(results.recovery.resultRoot);
    EXPECT_EQ(files.count(png(16777216)), 1u);
    EXPECT_EQ(files.count(png(16777217)), 1u);
}

TEST(RawAnalyserCarving, TypeWithoutSlashOrCategoryKeepsItsOwnFolderNames)
{
    HandBuiltResults results;
    CRawAnalyser analyser;
    analyser.setRecovery(&results.recovery);
    for (const char* answer : {"weird\text", "model/stl\tstl"}) {
        auto* item = new CRawVolumeItem();
        item->volume = results.recovery.volume;
        item->firstBlock = 1;
        analyser.finishItem(item, 3, answer);
    }
    const auto files = carvedFiles(results.recovery.resultRoot);
    EXPECT_EQ(files.count("weird/3.ext"), 1u);
    EXPECT_EQ(files.count("model/stl/3.stl"), 1u);
    EXPECT_EQ(files.at("weird/3.ext")->getSize(), 2u * 512);
}

// --- Size cap ---------------------------------------------------------------------------------------

TEST(RawAnalyserCap, FileAtTheCapKeepsItsSizeAndOneBlockMoreIsCutWithACorrectionLine)
{
    Scan scan(blocks({makePng(), Bytes(1536, 0), makeGif(), Bytes(2048, 0)}));
    scan.recovery.maxItemSize = 2048;
    const std::string output = scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.count(png(4)), 1u);
    EXPECT_EQ(files.at(png(4))->getSize(), 2048u);
    const std::string gif = folderOf("image/gif") + "/9.gif";
    ASSERT_EQ(files.count(gif), 1u);
    EXPECT_EQ(files.at(gif)->getSize(), 2048u);
    EXPECT_EQ(countOccurrences(output, "correcting item"), 1);
    EXPECT_NE(output.find("correcting item 9.gif, size: 2560 -> 2048\n"), std::string::npos);
}

// --- The text filter -----------------------------------------------------------------------------------

TEST(RawAnalyserText, TextIsDroppedWithTheSwitchOffOrWithoutKeywords)
{
    for (bool searchText : {false, true}) {
        Scan scan(blocks({words("needle in plain text\n"), makePng()}));
        scan.recovery.enableSearchText = searchText;
        scan.run();
        const auto files = scan.files();
        ASSERT_EQ(files.size(), 1u) << "search text " << searchText;
        EXPECT_EQ(files.begin()->first, png(2));
    }
}

TEST(RawAnalyserText, TextBlocksInARowAreSeparateFilesKeptOnlyWithAKeyword)
{
    Scan scan(blocks({words("first block says hello\n"), words("second block has the needle\n"), words("third\n")}));
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"", "absent", "needle"};
    scan.run();
    const auto files = scan.files();
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files.count(textFile(2)), 1u);
    EXPECT_EQ(files.at(textFile(2))->firstBlock, 1u);
}

TEST(RawAnalyserText, KeywordAcrossTheFirstChunkBoundaryIsFound)
{
    // 4096-byte blocks: the keyword covers bytes 2046 to 2051 of one text file.
    std::string page(4096, 'x');
    for (size_t i = 80; i < page.size(); i += 81)
        page[i] = '\n';
    page.replace(2046, 6, "needle");
    Scan scan(blocks({text(page)}, 4096), 4096);
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"needle"};
    scan.run();
    EXPECT_EQ(scan.files().count(textFile(1)), 1u);
}

TEST(RawAnalyserText, KeywordSearchStopsAtTheCappedSize)
{
    std::string page(4096, 'y');
    page.replace(3000, 6, "needle");
    for (uint64_t cap : {uint64_t(4096), uint64_t(2048)}) {
        Scan scan(blocks({text(page)}, 4096), 4096);
        scan.recovery.enableSearchText = true;
        scan.recovery.keywords = {"needle"};
        scan.recovery.maxItemSize = int64_t(cap);
        scan.run();
        EXPECT_EQ(scan.files().size(), cap > 3000 ? 1u : 0u) << "cap " << cap;
    }
}

TEST(RawAnalyserText, KeywordInAShortTextFileAtTheEndOfTheDiskIsFound)
{
    // The file is one 512-byte block, the last of the disk: a 2048-byte chunk would run off the disk.
    Scan scan(blocks({makePng(), words("the needle is here\n")}));
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"needle"};
    const std::string output = scan.run();
    EXPECT_EQ(scan.files().count(textFile(2)), 1u);
    EXPECT_EQ(output.find("read error"), std::string::npos);
}

// --- Cancel and failures ----------------------------------------------------------------------------------

namespace {
// Its first read at or after slowFrom takes over a second, so the scan reports progress there.
class SlowDisk : public CMemoryDisk {
public:
    using CMemoryDisk::CMemoryDisk;
    bool readBlocks(int64_t block, int count, void* buffer) override
    {
        if (block + count > slowFrom && !slept) {
            slept = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        return CMemoryDisk::readBlocks(block, count, buffer);
    }
    int64_t slowFrom = 0;
    bool slept = false;
};
} // namespace

TEST(RawAnalyserCancel, OpenFileEndsWhereTheCancelledScanStopped)
{
    Bytes bytes = makePng();
    bytes.resize(1200 * 512);
    SlowDisk disk(bytes, 512);
    disk.slowFrom = 512; // the second cache line
    CRecovery recovery;
    ScriptedListener listener;
    listener.cancelFromEvent = 1; // the first event comes before the walk
    recovery.setStatusListener(&listener);
    recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    quietly([&] {
        recovery.setDisk(&disk);
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    });
    const int64_t stopped = recovery.scanEndDiskBlock;
    ASSERT_GT(stopped, 0);
    ASSERT_LT(stopped, 1200);
    const auto files = carvedFiles(recovery.resultRoot);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->first, png(uint64_t(stopped)));
    EXPECT_EQ(files.begin()->second->getSize(), uint64_t(stopped) * 512);
    quietly([&] { recovery.setDisk(nullptr); });
}

TEST(RawAnalyserFailure, MissingDescriptionClassifiesNothingAndSaysSoOnce)
{
    ScratchDir empty;
    Scan scan(blocks({makePng(), words("needle\n"), makeGif(), words("needle again\n")}));
    scan.recovery.magicFilePath = empty.path();
    scan.recovery.enableSearchText = true;
    scan.recovery.keywords = {"needle"};
    const std::string output = scan.run();
    EXPECT_TRUE(scan.files().empty());
    EXPECT_EQ(countOccurrences(output, "ERROR: "), 1) << output;
    EXPECT_NE(output.find("done\n"), std::string::npos);
    EXPECT_FALSE(scan.recovery.scanFailure.empty()) << "the engine's caller must learn why nothing was found";
}

TEST(RawAnalyserFailure, FailedLoadIsReportedToTheCaller)
{
    ScratchDir empty;
    HandBuiltResults results;
    results.recovery.magicFilePath = empty.path();
    CRawAnalyser analyser;
    analyser.setRecovery(&results.recovery);
    quietly([&] { analyser.scanBegin(); });
    EXPECT_FALSE(analyser.failureText().empty());
    quietly([&] { analyser.scanEnd(); });
    EXPECT_FALSE(analyser.failureText().empty());

    results.recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    quietly([&] { analyser.scanBegin(); });
    EXPECT_EQ(analyser.failureText(), "");
    quietly([&] { analyser.scanEnd(); });
}

// --- Deleted files of a real volume ----------------------------------------------------------------------

namespace {
uint16_t get16(const Bytes& b, size_t at)
{
    return uint16_t(b.at(at) << 8 | b.at(at + 1));
}
uint32_t get32(const Bytes& b, size_t at)
{
    return uint32_t(get16(b, at)) << 16 | get16(b, at + 2);
}
void set16(Bytes& b, size_t at, uint32_t v)
{
    b.at(at) = uint8_t(v >> 8);
    b.at(at + 1) = uint8_t(v);
}
void set32(Bytes& b, size_t at, uint32_t v)
{
    set16(b, at, v >> 16);
    set16(b, at + 2, v & 0xFFFF);
}

struct DeletedFile {
    std::string name;
    uint32_t startBlock = 0; // allocation blocks
    uint32_t blockCount = 0;
};

// The records of the B-tree node at byte `at`, by its offset table.
std::vector<Bytes> nodeRecords(const Bytes& image, size_t at, uint32_t nodeSize)
{
    std::vector<Bytes> records;
    auto offset = [&](uint32_t i) { return get16(image, at + nodeSize - 2 * (i + 1)); };
    for (uint32_t i = 0; i < get16(image, at + 10); ++i)
        records.emplace_back(image.begin() + long(at + offset(i)), image.begin() + long(at + offset(i + 1)));
    return records;
}

// Writes the records back into the node, packed after its descriptor, with a new offset table.
void setNodeRecords(Bytes& image, size_t at, uint32_t nodeSize, const std::vector<Bytes>& records)
{
    std::fill(image.begin() + long(at + 14), image.begin() + long(at + nodeSize), 0);
    set16(image, at + 10, uint32_t(records.size()));
    size_t put = 14;
    for (size_t i = 0; i < records.size(); ++i) {
        set16(image, at + nodeSize - 2 * (i + 1), uint32_t(put));
        std::copy(records[i].begin(), records[i].end(), image.begin() + long(at + put));
        put += records[i].size();
    }
    set16(image, at + nodeSize - 2 * (records.size() + 1), uint32_t(put));
}

// Deletes every file of the HFS Plus volume at byte `volume` of the image the way a file system
// would: the file and file-thread records leave the catalog's leaf nodes (a leaf left empty is
// unlinked, dropped from its index node and freed in the tree's map), the root folder's valence
// and the tree's counts follow, and the files' blocks are marked free in the allocation bitmap.
// Written from the on-disk format for single-extent catalog and allocation files, as xorriso
// writes them. Returns the files that were deleted.
std::vector<DeletedFile> deleteAllFiles(Bytes& image, size_t volume)
{
    std::vector<DeletedFile> deleted;
    const size_t header = volume + 1024;
    const uint32_t blockSize = get32(image, header + 40);
    auto forkStart = [&](size_t fork) {
        EXPECT_EQ(get32(image, fork + 12), get32(image, fork + 16 + 4)) << "fork in more than one extent";
        return volume + size_t(get32(image, fork + 16)) * blockSize;
    };
    const size_t catalog = forkStart(header + 272);
    const size_t bitmap = forkStart(header + 112);
    const size_t treeHeader = catalog + 14; // the header record of node 0
    const uint32_t nodeSize = get16(image, treeHeader + 18);
    const uint32_t totalNodes = get32(image, treeHeader + 22);
    auto nodeAt = [&](uint32_t node) { return catalog + size_t(node) * nodeSize; };

    uint32_t removed = 0;
    std::vector<uint32_t> emptied;
    for (uint32_t node = get32(image, treeHeader + 10); node != 0; node = get32(image, nodeAt(node))) {
        std::vector<Bytes> kept;
        for (Bytes& record : nodeRecords(image, nodeAt(node), nodeSize)) {
            const size_t data = 2 + get16(record, 0);
            const uint16_t type = get16(record, data);
            if (type == 2) { // a file: the first extent of its data fork lies at 88 + 16
                std::string name;
                for (size_t c = 0; c < get16(record, 6); ++c)
                    name.push_back(char(get16(record, 8 + 2 * c)));
                deleted.push_back({name, get32(record, data + 104), get32(record, data + 108)});
                EXPECT_EQ(get32(record, data + 112 + 4), 0u) << name << " is fragmented";
            }
            if (type == 2 || type == 4) {
                ++removed;
                continue;
            }
            if (type == 1 && get32(record, data + 8) == kHfsRootFolderID)
                set32(record, data + 4, 0); // the root folder's valence: it holds no file now
            kept.push_back(std::move(record));
        }
        setNodeRecords(image, nodeAt(node), nodeSize, kept);
        if (kept.empty())
            emptied.push_back(node);
    }

    for (uint32_t node : emptied) {
        const uint32_t next = get32(image, nodeAt(node));
        const uint32_t previous = get32(image, nodeAt(node) + 4);
        if (previous)
            set32(image, nodeAt(previous), next);
        else
            set32(image, treeHeader + 10, next);
        if (next)
            set32(image, nodeAt(next) + 4, previous);
        else
            set32(image, treeHeader + 14, previous);
        // Index records end in the number of the node they point to.
        for (uint32_t index = 1; index < totalNodes; ++index) {
            if (int8_t(image.at(nodeAt(index) + 8)) != 0 || get16(image, nodeAt(index) + 10) == 0)
                continue;
            std::vector<Bytes> records = nodeRecords(image, nodeAt(index), nodeSize);
            const auto before = records.size();
            std::erase_if(records, [&](const Bytes& r) { return get32(r, r.size() - 4) == node; });
            if (records.size() != before) {
                EXPECT_FALSE(records.empty()) << "an index node would be left empty";
                setNodeRecords(image, nodeAt(index), nodeSize, records);
            }
        }
        std::fill(image.begin() + long(nodeAt(node)), image.begin() + long(nodeAt(node) + nodeSize), 0);
        const size_t map = catalog + get16(image, catalog + nodeSize - 6); // header node, record 2
        image.at(map + node / 8) &= uint8_t(~(0x80u >> (node % 8)));
    }
    set32(image, treeHeader + 6, get32(image, treeHeader + 6) - removed);
    set32(image, treeHeader + 26, get32(image, treeHeader + 26) + uint32_t(emptied.size()));

    uint32_t freed = 0;
    for (const DeletedFile& file : deleted)
        for (uint32_t block = file.startBlock; block < file.startBlock + file.blockCount; ++block, ++freed)
            image.at(bitmap + block / 8) &= uint8_t(~(0x80u >> (block % 8)));
    set32(image, header + 48, get32(image, header + 48) + freed);
    return deleted;
}
} // namespace

TEST(RawAnalyserVolume, DeletedFilesOfAnXorrisoVolumeComeBackByteIdentical)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    const std::vector<Sample> all = samples();
    TreeSpec tree;
    for (const Sample& sample : all)
        tree.file(sample.file, sample.bytes);
    XorrisoDisk x;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&x, tree));
    Bytes image = readFileBytes(x.image);
    const std::vector<DeletedFile> deleted = deleteAllFiles(image, x.hfsStart * 512);
    ASSERT_EQ(deleted.size(), all.size());
    ASSERT_TRUE(writeFileBytes(x.image, image));

    if (toolAvailable("fls")) {
        // An independent reader agrees that the files are gone and the catalog is sound.
        const auto listed = runFls(x.image, x.hfsStart);
        ASSERT_TRUE(listed.has_value());
        EXPECT_TRUE(userEntries(*listed).empty());
    }

    CRecovery recovery;
    recovery.magicFilePath = GLEANER_RESOURCE_DIR;
    quietly([&] {
        ASSERT_TRUE(recovery.setDisk(x.partition));
        recovery.setScanType(ScanDeletedFiles);
        recovery.scan();
    });
    ASSERT_NE(recovery.resultRoot, nullptr);
    const uint32_t allocBlockSize = uint32_t(recovery.blocksPerAllocBlock) * 512;
    ASSERT_GT(allocBlockSize, 0u);
    const auto files = carvedFiles(recovery.resultRoot);
    for (const Sample& sample : all) {
        const auto found =
            std::find_if(deleted.begin(), deleted.end(), [&](const DeletedFile& d) { return d.name == sample.file; });
        ASSERT_NE(found, deleted.end()) << sample.file;
        const uint64_t end = uint64_t(found->startBlock + found->blockCount) * uint64_t(recovery.blocksPerAllocBlock);
        const std::string path = folderOf(sample.type) + "/" + std::to_string(end) + "." + sample.extension;
        ASSERT_EQ(files.count(path), 1u) << sample.file << " not at " << path;
        CRawVolumeItem* item = files.at(path);
        EXPECT_EQ(item->getIdString(),
                  std::to_string(uint64_t(found->startBlock) * uint64_t(recovery.blocksPerAllocBlock)));
        ASSERT_EQ(item->getSize(), uint64_t(found->blockCount) * allocBlockSize) << sample.file;
        const Bytes content = readItem(item);
        EXPECT_TRUE(std::equal(sample.bytes.begin(), sample.bytes.end(), content.begin())) << sample.file;
        EXPECT_TRUE(
            std::all_of(content.begin() + long(sample.bytes.size()), content.end(), [](uint8_t b) { return b == 0; }))
            << sample.file << ": the block tail";
    }
    EXPECT_EQ(files.size(), all.size());
    quietly([&] { recovery.setDisk(nullptr); });
}
