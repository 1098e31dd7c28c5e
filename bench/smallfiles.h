// A folder of many small files and its HFS Plus image, for the benchmarks that save or scan a
// volume of many files: the same index always gives the same name and bytes. Needs xorriso.
#pragma once

#include "benchtools.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// 64 to 2,047 bytes.
inline std::vector<char> smallFileContent(int index)
{
    Random random;
    random.state += uint64_t(index) * 0x9E3779B97F4A7C15ull;
    std::vector<char> bytes(64 + random.below(1984));
    for (char& byte : bytes)
        byte = char(random.next());
    return bytes;
}

// perFolder files to a folder: "d000/f000000.bin", ...
inline std::string smallFileName(int index, int perFolder = 1000)
{
    char name[32];
    std::snprintf(name, sizeof name, "d%03d/f%06d.bin", index / perFolder, index);
    return name;
}

// Writes the files (perFolder to a folder) under source and makes image of it with the volume name; false on a failure.
inline bool makeSmallFilesImage(const std::filesystem::path& source, const std::filesystem::path& image, int files,
                                const std::string& volumeName, int perFolder = 1000)
{
    for (int i = 0; i < files; ++i) {
        const std::filesystem::path path = source / smallFileName(i, perFolder);
        if (i % perFolder == 0)
            std::filesystem::create_directories(path.parent_path());
        const std::vector<char> bytes = smallFileContent(i);
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out)
            return false;
    }
    return runQuietly({"xorriso", "-as", "mkisofs", "-hfsplus", "-apm-block-size", "512", "-V", volumeName, "-o",
                       image.string(), source.string()}) == 0;
}

// How many of the files under root hold exactly their bytes.
inline int matchingSmallFiles(const std::filesystem::path& root, int files, int perFolder = 1000)
{
    int same = 0;
    for (int i = 0; i < files; ++i) {
        std::ifstream in(root / smallFileName(i, perFolder), std::ios::binary);
        const std::vector<char> read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        same += read == smallFileContent(i);
    }
    return same;
}

} // namespace bench
