// Fixtures around the third-party tools that make and read HFS volumes: a directory tree described
// in code and written to disk, xorriso images (Apple partition map + HFS Plus), the map's HFS entry,
// The Sleuth Kit's fls and icat as an independent reader, and hfsutils for HFS ("BD") volumes.
// They own nothing beyond what they return; a failure answers false or nothing, with a reason where
// there is a place for one. Tools run without a shell.
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

struct TreeEntry {
    enum class Kind { Folder, File, HardLink, Symlink };
    Kind kind = Kind::File;
    std::string path;             // relative, '/'-separated, UTF-8 bytes used as they are
    std::vector<uint8_t> content; // files
    std::string target;           // hard links: the existing path; symlinks: the link text
};

// A directory tree described in code. Parent folders of every path are made as needed; a folder
// entry is only needed for an empty folder.
class TreeSpec {
public:
    TreeSpec& folder(const std::string& path);
    TreeSpec& file(const std::string& path, std::vector<uint8_t> content);
    TreeSpec& file(const std::string& path, size_t size, uint32_t seed);
    TreeSpec& hardLink(const std::string& path, const std::string& existing);
    TreeSpec& symlink(const std::string& path, const std::string& target);

    const std::vector<TreeEntry>& entries() const { return list; }
    // Writes the tree under root, which must exist.
    bool write(const std::string& root, std::string* error = nullptr) const;

private:
    std::vector<TreeEntry> list;
};

// xorriso -as mkisofs -hfsplus -apm-block-size 512 -V volumeName -o imagePath sourceDir/
bool makeXorrisoImage(const std::string& sourceDir, const std::string& volumeName, const std::string& imagePath,
                      std::string* error = nullptr);

// The first entry of that type in the image file's Apple partition map (512-byte map blocks from
// block 1 on), read from the image itself.
std::optional<ApmEntry> findApmPartition(const std::string& imagePath, const std::string& type = "Apple_HFS");

// One line of `fls -r -p`: "TYPE [* ]INODE:\tPATH".
struct FlsEntry {
    std::string type; // "r/r" file, "d/d" folder, "l/l" symlink
    bool deleted = false;
    uint64_t inode = 0; // on HFS Plus the catalog node ID
    std::string path;   // UTF-8 as the catalog stores it (decomposed), '/'-separated, no leading '/'
    // TSK's own entries for the special files: "$ExtentsFile" (3), "$CatalogFile" (4),
    // "$BadBlockFile" (5), "$AllocationFile" (6), and "$StartupFile"/"$AttributesFile" when present.
    bool isTskMetadata() const;
};

std::vector<FlsEntry> parseFlsOutput(const std::string& text);
// fls -r -p -o sectorOffset image; nothing when fls fails.
std::optional<std::vector<FlsEntry>> runFls(const std::string& imagePath, uint64_t sectorOffset);
// The entries without TSK's metadata entries, sorted by path: what a reader's tree is compared with.
std::vector<FlsEntry> userEntries(const std::vector<FlsEntry>& entries);
// icat -o sectorOffset image inode; nothing when icat fails.
std::optional<std::vector<uint8_t>> runIcat(const std::string& imagePath, uint64_t sectorOffset, uint64_t inode);

// An HFS ("BD") volume made and filled with hfsutils. hfsutils keep their current volume in
// $HOME/.hcwd, so every command runs with HOME pointed at a private folder owned by this object
// (a failure to make it fails every command).
class HfsUtilsVolume {
public:
    // Formats the whole file (partition 0) or the given Apple_HFS partition of an image that has a
    // partition map. With sizeBytes > 0 the file is first written with that many zero bytes: hformat
    // neither creates the file nor accepts one below 800 KiB. The volume becomes current.
    bool format(const std::string& imagePath, const std::string& label, uint64_t sizeBytes, int partition = 0);
    // Copies a host file's bytes into the data fork (raw mode, no translation); paths on the
    // volume use ':' between names, starting with ':' (e.g. ":Docs:Old").
    bool copyIn(const std::string& hostPath, const std::string& hfsPath);
    const std::string& error() const { return lastError; }

private:
    bool run(const std::vector<std::string>& argv);

    ScratchDir home;
    std::string lastError;
};
