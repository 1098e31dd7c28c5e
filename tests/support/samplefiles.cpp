#include "samplefiles.h"

#include "apmimage.h"
#include "hfsfixtures.h"

#include <initializer_list>
#include <string_view>

using namespace std::string_view_literals;

namespace {
using Bytes = std::vector<uint8_t>;

// The header bytes, then pattern bytes up to size: the content type is told by the start.
Bytes sample(std::string_view start, size_t size = 0, uint32_t seed = 1)
{
    Bytes bytes(start.begin(), start.end());
    if (size > bytes.size()) {
        const Bytes rest = patternBytes(size - bytes.size(), seed);
        bytes.insert(bytes.end(), rest.begin(), rest.end());
    }
    return bytes;
}

// A ZIP local file header of a stored member, then its data.
Bytes zipMember(const std::string& name, std::string_view data)
{
    Bytes header = sample("PK\x03\x04\x14\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"sv);
    header.insert(header.end(), {uint8_t(name.size()), 0, 0, 0});
    header.insert(header.end(), name.begin(), name.end());
    header.insert(header.end(), data.begin(), data.end());
    return header;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
} // namespace

// One white pixel: clear code, index 0, end code, packed as three 3-bit codes.
Bytes sampleGif()
{
    return sample("GIF89a\x01\0\x01\0\x80\0\0\xff\xff\xff\0\0\0,\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\0;"sv);
}

// Red, green, blue and white pixels in a zlib stream of one stored deflate block.
Bytes samplePng()
{
    return sample(
        "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x02\0\0\0\x02\x08\x02\0\0\0\xFD\xD4\x9A\x73\0\0\0\x19IDAT\x78\x01"
        "\x01\x0E\0\xF1\xFF\0\xFF\0\0\0\xFF\0\0\0\0\xFF\xFF\xFF\xFF\x1F\xEE\x05\xFB\xDE\xDD\xEC\x2B\0\0\0\0"
        "IEND\xAE\x42\x60\x82"sv);
}

std::vector<Bytes> sampleFiles()
{
    const Bytes docx = join({zipMember("[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>"),
                             zipMember("_rels/.rels", "<?xml version=\"1.0\"?><Relationships/>"),
                             zipMember("word/document.xml", "<?xml version=\"1.0\"?><w:document/>")});
    const Bytes odt = join({zipMember("mimetype", "application/vnd.oasis.opendocument.text"),
                            zipMember("content.xml", "<?xml version=\"1.0\"?><office:document-content/>")});
    // A read-write disk image of a partitioned disk: driver descriptor and partition map.
    const Bytes dmg = makeApmImage(512, 4, {{1, 3, "Apple", "Apple_partition_map"}});
    const std::string_view mp4 = "\0\0\0\x18"
                                 "ftypisom\0\0\x02\0isomisom\0\0\0\x48mdat"sv;
    const std::string_view mov = "\0\0\0\x18"
                                 "ftypqt  \0\0\x02\0qt  isom\0\0\0\x48mdat"sv;
    return {
        sample("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0\xFF\xDB\0\x43\0"sv, 159),
        samplePng(),
        sampleGif(),
        sample("II*\0\x08\0\0\0\x08\0"sv, 111),
        sample("BM\xA6\x17\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x28\0\0\0\x32\0\0\0\x01\0\x18\0"sv, 6054),
        sample("8BPS\0\x01\0\0\0\0\0\0\0\x01\0\0\0\x01\0\0\0\x01\0\x08\0\x01"sv, 41),
        sample("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n%%EOF\n"sv),
        join({zipMember("data.bin", ""), patternBytes(5000, 9)}),
        docx,
        odt,
        sample("{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}} \\f0\\fs24 Recovered words.\\par }\n"sv),
        dmg,
        sample("ID3\x04\0\0\0\0\0\x0A\0\0\0\0\0\0\0\0\0\0\xFF\xFB\x90\0"sv, 1271),
        sample("RIFF\x7C\x1B\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0"sv, 7044),
        sample("FORM\0\0\x0B\xE6"
               "AIFFCOMM\0\0\0\x12\0\x01\0\0\x0B\xB8\0\x08\x40\x0B\xFA"sv,
               3054),
        sample(mp4, 96, 55),
        sample(mov, 96, 55),
    };
}
