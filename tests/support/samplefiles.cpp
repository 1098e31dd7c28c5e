#include "samplefiles.h"

#include "apmimage.h"
#include "hfsfixtures.h"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace {
using Bytes = std::vector<uint8_t>;

// Appends each value as `width` bytes, most significant first (be) or least significant first (le).
void be(Bytes& b, int width, std::initializer_list<uint64_t> values)
{
    for (uint64_t v : values)
        for (int i = width - 1; i >= 0; --i)
            b.push_back(uint8_t(v >> (8 * i)));
}
void le(Bytes& b, int width, std::initializer_list<uint64_t> values)
{
    for (uint64_t v : values)
        for (int i = 0; i < width; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
}
void add(Bytes& b, std::string_view text)
{
    b.insert(b.end(), text.begin(), text.end());
}
void add(Bytes& b, const Bytes& more)
{
    b.insert(b.end(), more.begin(), more.end());
}
Bytes text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

uint32_t crc32(const Bytes& data)
{
    uint32_t crc = ~0u;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void pngChunk(Bytes& png, const char* type, const Bytes& data)
{
    be(png, 4, {data.size()});
    Bytes typed(type, type + 4);
    add(typed, data);
    add(png, typed);
    be(png, 4, {crc32(typed)});
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
        j.insert(j.end(), 16, 0);
    }
    j.insert(j.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0, 0x3F, 0xFF, 0xD9});
    return j;
}

// A 24-bit bottom-up bitmap with a BITMAPINFOHEADER; rows padded to four bytes.
Bytes makeBmp(uint32_t width, uint32_t height)
{
    const uint32_t pixels = (width * 3 + 3) / 4 * 4 * height;
    Bytes b = {'B', 'M'};
    le(b, 4, {54 + pixels, 0, 54, 40, width, height});
    le(b, 2, {1, 24});
    le(b, 4, {0, pixels, 2835, 2835, 0, 0});
    add(b, patternBytes(pixels, 77));
    return b;
}

// One grey pixel, little-endian, in one strip. A SHORT value sits in the first two bytes of its
// four-byte field: little-endian, so writing it as four bytes fits.
Bytes makeTiff()
{
    Bytes t = {'I', 'I', 42, 0};
    le(t, 4, {8});
    le(t, 2, {8});
    const uint32_t pixelAt = 8 + 2 + 8 * 12 + 4;
    const uint32_t tags[8][4] = {{256, 3, 1, 1}, {257, 3, 1, 1},       {258, 3, 1, 8}, {259, 3, 1, 1},
                                 {262, 3, 1, 1}, {273, 4, 1, pixelAt}, {278, 3, 1, 1}, {279, 4, 1, 1}};
    for (const auto& tag : tags) {
        le(t, 2, {tag[0], tag[1]});
        le(t, 4, {tag[2], tag[3]});
    }
    le(t, 4, {0});
    t.push_back(0x80);
    return t;
}

// A catalog without pages: the content type is told by the header line.
Bytes makePdf()
{
    return text(
        "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n");
}

// A ZIP archive of stored (uncompressed) members, with its central directory.
Bytes makeZip(const std::vector<std::pair<std::string, Bytes>>& members)
{
    Bytes zip, directory;
    for (const auto& [name, data] : members) {
        const uint64_t offset = zip.size(), crc = crc32(data), size = data.size();
        le(zip, 4, {0x04034B50});
        le(zip, 2, {20, 0, 0, 0, 0x21});
        le(zip, 4, {crc, size, size});
        le(zip, 2, {name.size(), 0});
        add(zip, name);
        add(zip, data);
        le(directory, 4, {0x02014B50});
        le(directory, 2, {20, 20, 0, 0, 0, 0x21});
        le(directory, 4, {crc, size, size});
        le(directory, 2, {name.size(), 0, 0, 0, 0});
        le(directory, 4, {0, offset});
        add(directory, name);
    }
    const uint64_t directoryAt = zip.size();
    add(zip, directory);
    le(zip, 4, {0x06054B50});
    le(zip, 2, {0, 0, members.size(), members.size()});
    le(zip, 4, {directory.size(), directoryAt});
    le(zip, 2, {0});
    return zip;
}

// An ID3v2.4 tag (ten bytes of padding) before three MPEG-1 Layer III frames of 417 bytes.
Bytes makeMp3()
{
    Bytes m = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 10};
    m.insert(m.end(), 10, 0);
    for (uint32_t frame = 0; frame < 3; ++frame) {
        m.insert(m.end(), {0xFF, 0xFB, 0x90, 0x00});
        add(m, patternBytes(413, 300 + frame));
    }
    return m;
}

// 8-bit mono PCM at 8000 Hz.
Bytes makeWav(uint32_t samples)
{
    Bytes w = text("RIFF");
    le(w, 4, {36 + samples});
    add(w, "WAVEfmt ");
    le(w, 4, {16});
    le(w, 2, {1, 1});
    le(w, 4, {8000, 8000});
    le(w, 2, {1, 8});
    add(w, "data");
    le(w, 4, {samples});
    add(w, patternBytes(samples, 41));
    return w;
}

// 8-bit mono at 8000 Hz (an 80-bit extended rate: exponent 16383 + 12, mantissa 8000 << 51).
Bytes makeAiff(uint32_t samples)
{
    Bytes a = text("FORM");
    be(a, 4, {4 + 26 + 16 + samples});
    add(a, "AIFFCOMM");
    be(a, 4, {18});
    be(a, 2, {1});
    be(a, 4, {samples});
    be(a, 2, {8});
    a.insert(a.end(), {0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0});
    add(a, "SSND");
    be(a, 4, {8 + samples, 0, 0});
    add(a, patternBytes(samples, 43));
    return a;
}

// An ISO base media file: "ftyp" with the given major brand, then "mdat".
Bytes makeIsoMedia(std::string_view brand)
{
    Bytes f;
    be(f, 4, {24});
    add(f, "ftyp");
    add(f, brand);
    be(f, 4, {0x200});
    add(f, brand);
    add(f, "isom");
    be(f, 4, {8 + 64});
    add(f, "mdat");
    add(f, patternBytes(64, 55));
    return f;
}

// A one-pixel greyscale Photoshop file without layers.
Bytes makePsd()
{
    Bytes p = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    be(p, 2, {1});
    be(p, 4, {1, 1});
    be(p, 2, {8, 1});
    be(p, 4, {0, 0, 0});
    be(p, 2, {0});
    p.push_back(0x80);
    return p;
}
} // namespace

// One white pixel: clear code, index 0, end code, packed as three 3-bit codes.
Bytes sampleGif()
{
    const char gif[] = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00"
                       ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;";
    return Bytes(gif, gif + sizeof gif - 1);
}

// The pixels go into a zlib stream of one stored deflate block.
Bytes samplePng()
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header, zlib = {0x78, 0x01, 0x01};
    be(header, 4, {2, 2});
    header.insert(header.end(), {8, 2, 0, 0, 0});
    pngChunk(png, "IHDR", header);
    const Bytes raw = {0, 255, 0, 0, 0, 255, 0, 0, 0, 0, 255, 255, 255, 255};
    le(zlib, 2, {raw.size(), ~raw.size() & 0xFFFF});
    add(zlib, raw);
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    be(zlib, 4, {(b << 16) | a});
    pngChunk(png, "IDAT", zlib);
    pngChunk(png, "IEND", {});
    return png;
}

std::vector<SampleFile> sampleFiles()
{
    const Bytes docx =
        makeZip({{"[Content_Types].xml",
                  text("<?xml version=\"1.0\"?><Types><Override PartName=\"/word/document.xml\"/></Types>")},
                 {"_rels/.rels", text("<?xml version=\"1.0\"?><Relationships/>")},
                 {"word/document.xml", text("<?xml version=\"1.0\"?><w:document><w:body/></w:document>")}});
    const Bytes odt = makeZip({{"mimetype", text("application/vnd.oasis.opendocument.text")},
                               {"content.xml", text("<?xml version=\"1.0\"?><office:document-content/>")},
                               {"META-INF/manifest.xml", text("<?xml version=\"1.0\"?><manifest:manifest/>")}});
    const Bytes rtf = text("{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}} \\f0\\fs24 Recovered words.\\par }\n");
    // A read-write disk image of a partitioned disk: driver descriptor and partition map.
    const Bytes dmg = makeApmImage(512, 4, {{1, 3, "Apple", "Apple_partition_map"}});
    return {
        {"a01.jpg", makeJpeg(), "image/jpeg", "jpg"},
        {"a02.png", samplePng(), "image/png", "png"},
        {"a03.gif", sampleGif(), "image/gif", "gif"},
        {"a04.tif", makeTiff(), "image/tiff", "tif"},
        {"a05.bmp", makeBmp(40, 50), "image/bmp", "bmp"},
        {"a06.psd", makePsd(), "image/vnd.adobe.photoshop", "psd"},
        {"a07.pdf", makePdf(), "application/pdf", "pdf"},
        {"a08.zip", makeZip({{"data.bin", patternBytes(5000, 9)}}), "application/zip", "zip"},
        {"a09.docx", docx, "application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
        {"a10.odt", odt, "application/vnd.oasis.opendocument.text", "odt"},
        {"a11.rtf", rtf, "application/rtf", "rtf"},
        {"a12.dmg", dmg, "application/x-apple-diskimage", "dmg"},
        {"a13.mp3", makeMp3(), "audio/mpeg", "mp3"},
        {"a14.wav", makeWav(7000), "audio/x-wav", "wav"},
        {"a15.aiff", makeAiff(3000), "audio/x-aiff", "aiff"},
        {"a16.mp4", makeIsoMedia("isom"), "video/mp4", "mp4"},
        {"a17.mov", makeIsoMedia("qt  "), "video/quicktime", "mov"},
    };
}
