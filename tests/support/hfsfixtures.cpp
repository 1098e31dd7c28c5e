#include "hfsfixtures.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {
void setError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

bool makeParents(const std::filesystem::path& path, std::string* error)
{
    std::error_code code;
    std::filesystem::create_directories(path.parent_path(), code);
    if (code) {
        setError(error, "cannot create " + path.parent_path().string() + ": " + code.message());
        return false;
    }
    return true;
}
} // namespace

std::vector<uint8_t> patternBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < size; ++i) {
        // xorshift32: no short period, so a misplaced block never matches by chance
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = uint8_t(state >> 24);
    }
    return bytes;
}

TreeSpec& TreeSpec::folder(const std::string& path)
{
    list.push_back({TreeEntry::Kind::Folder, path, {}, {}});
    return *this;
}

TreeSpec& TreeSpec::file(const std::string& path, std::vector<uint8_t> content)
{
    list.push_back({TreeEntry::Kind::File, path, std::move(content), {}});
    return *this;
}

TreeSpec& TreeSpec::file(const std::string& path, size_t size, uint32_t seed)
{
    return file(path, patternBytes(size, seed));
}

TreeSpec& TreeSpec::hardLink(const std::string& path, const std::string& existing)
{
    list.push_back({TreeEntry::Kind::HardLink, path, {}, existing});
    return *this;
}

TreeSpec& TreeSpec::symlink(const std::string& path, const std::string& target)
{
    list.push_back({TreeEntry::Kind::Symlink, path, {}, target});
    return *this;
}

bool TreeSpec::write(const std::string& root, std::string* error) const
{
    for (const TreeEntry& entry : list) {
        const std::filesystem::path path = std::filesystem::path(root) / entry.path;
        if (!makeParents(path, error))
            return false;
        std::error_code code;
        switch (entry.kind) {
        case TreeEntry::Kind::Folder: std::filesystem::create_directories(path, code); break;
        case TreeEntry::Kind::File:
            if (!writeFileBytes(path.string(), entry.content)) {
                setError(error, "cannot write " + path.string());
                return false;
            }
            break;
        case TreeEntry::Kind::HardLink:
            std::filesystem::create_hard_link(std::filesystem::path(root) / entry.target, path, code);
            break;
        case TreeEntry::Kind::Symlink: std::filesystem::create_symlink(entry.target, path, code); break;
        }
        if (code) {
            setError(error, "cannot create " + path.string() + ": " + code.message());
            return false;
        }
    }
    return true;
}

bool makeXorrisoImage(const std::string& sourceDir, const std::string& volumeName, const std::string& imagePath,
                      std::string* error)
{
    const ToolResult result = runTool({"xorriso", "-as", "mkisofs", "-hfsplus", "-apm-block-size", "512", "-V",
                                       volumeName, "-o", imagePath, sourceDir + "/"});
    if (result.exitStatus != 0) {
        setError(error, "xorriso failed (" + std::to_string(result.exitStatus) + "): " + result.errors);
        return false;
    }
    return true;
}

std::optional<ApmEntry> findApmPartition(const std::string& imagePath, const std::string& type)
{
    // The map's entries follow block 0; 256 blocks hold any map a test makes.
    std::ifstream in(imagePath, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<uint8_t> head(256 * 512);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    for (const ApmEntry& entry : readApmEntries(head, 512))
        if (entry.type == type)
            return entry;
    return std::nullopt;
}

bool FlsEntry::isTskMetadata() const
{
    return inode < 16 && !path.empty() && path[0] == '$' && path.find('/') == std::string::npos;
}

std::vector<FlsEntry> parseFlsOutput(const std::string& text)
{
    std::vector<FlsEntry> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t tab = line.find('\t');
        const size_t space = line.find(' ');
        if (tab == std::string::npos || space == std::string::npos || space > tab)
            continue;
        FlsEntry entry;
        entry.type = line.substr(0, space);
        size_t pos = space + 1;
        if (line.compare(pos, 2, "* ") == 0) {
            entry.deleted = true;
            pos += 2;
        }
        // The inode number; other file systems add "-type-id" or "(realloc)" before the colon.
        while (pos < tab && line[pos] >= '0' && line[pos] <= '9')
            entry.inode = entry.inode * 10 + uint64_t(line[pos++] - '0');
        entry.path = line.substr(tab + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<FlsEntry>> runFls(const std::string& imagePath, uint64_t sectorOffset)
{
    const ToolResult result = runTool({"fls", "-r", "-p", "-o", std::to_string(sectorOffset), imagePath});
    if (result.exitStatus != 0)
        return std::nullopt;
    return parseFlsOutput(result.output);
}

std::vector<FlsEntry> userEntries(const std::vector<FlsEntry>& entries)
{
    std::vector<FlsEntry> out;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(out),
                 [](const FlsEntry& e) { return !e.isTskMetadata(); });
    std::sort(out.begin(), out.end(), [](const FlsEntry& a, const FlsEntry& b) { return a.path < b.path; });
    return out;
}

std::optional<std::vector<uint8_t>> runIcat(const std::string& imagePath, uint64_t sectorOffset, uint64_t inode)
{
    const ToolResult result = runTool({"icat", "-o", std::to_string(sectorOffset), imagePath, std::to_string(inode)});
    if (result.exitStatus != 0)
        return std::nullopt;
    return std::vector<uint8_t>(result.output.begin(), result.output.end());
}

bool HfsUtilsVolume::run(const std::vector<std::string>& argv)
{
    if (home.path().empty()) {
        lastError = "no private HOME folder for hfsutils";
        return false;
    }
    const ToolResult result = runTool(argv, {"HOME=" + home.path()});
    if (result.exitStatus != 0) {
        lastError = argv[0] + " failed (" + std::to_string(result.exitStatus) + "): " + result.errors;
        return false;
    }
    return true;
}

bool HfsUtilsVolume::format(const std::string& imagePath, const std::string& label, uint64_t sizeBytes, int partition)
{
    if (sizeBytes > 0) {
        std::error_code code;
        {
            std::ofstream create(imagePath, std::ios::binary | std::ios::trunc);
        }
        std::filesystem::resize_file(imagePath, sizeBytes, code);
        if (code) {
            lastError = "cannot size " + imagePath + ": " + code.message();
            return false;
        }
    }
    std::vector<std::string> argv{"hformat", "-l", label, imagePath};
    if (partition > 0)
        argv.push_back(std::to_string(partition));
    return run(argv);
}

bool HfsUtilsVolume::copyIn(const std::string& hostPath, const std::string& hfsPath)
{
    return run({"hcopy", "-r", hostPath, hfsPath});
}
