// xorriso, fls and icat around HFS volumes; a failure answers false or nothing.
#pragma once

#include "apmimage.h"
#include "commandrunner.h"
#include "scratchdir.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The same size and seed always give the same bytes; other seeds give other bytes.
std::vector<uint8_t> patternBytes(size_t size, uint32_t seed);
// A directory tree described in code; parent folders are made as needed.
class TreeSpec {
public:
    TreeSpec& folder(const std::string& path);
    TreeSpec& file(const std::string& path, std::vector<uint8_t> content);
    TreeSpec& file(const std::string& path, size_t size, uint32_t seed);
    // Writes the tree under root, which must exist.
    bool write(const std::string& root, std::string* error = nullptr) const;

private:
    struct Entry {
        bool folder = false;
        std::string path; // relative, '/'-separated
        std::vector<uint8_t> content;
    };
    std::vector<Entry> list;
};
// xorriso -as mkisofs -hfsplus -apm-block-size 512 -V volumeName -o imagePath sourceDir/
bool makeXorrisoImage(const std::string& sourceDir, const std::string& volumeName, const std::string& imagePath,
                      std::string* error = nullptr);
// The first entry of that type in the image file's Apple partition map.
std::optional<ApmEntry> findApmPartition(const std::string& imagePath, const std::string& type = "Apple_HFS");
// One line of `fls -r -p`: "TYPE [* ]INODE:\tPATH".
struct FlsEntry {
    std::string type; // "r/r" file, "d/d" folder, "l/l" symlink
    bool deleted = false;
    uint64_t inode = 0; // on HFS Plus the catalog node ID
    std::string path;   // as the catalog stores it (decomposed), no leading '/'
};
// fls -r -p -o sectorOffset image; nothing when fls fails.
std::optional<std::vector<FlsEntry>> runFls(const std::string& imagePath, uint64_t sectorOffset);
// The entries without TSK's own ones for the special files ("$CatalogFile", ...), sorted by path.
std::vector<FlsEntry> userEntries(const std::vector<FlsEntry>& entries);
// icat -o sectorOffset image inode; nothing when icat fails.
std::optional<std::vector<uint8_t>> runIcat(const std::string& imagePath, uint64_t sectorOffset, uint64_t inode);
