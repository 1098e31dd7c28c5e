#include "hfsfixtures.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

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
    list.push_back({true, path, {}});
    return *this;
}
TreeSpec& TreeSpec::file(const std::string& path, std::vector<uint8_t> content)
{
    list.push_back({false, path, std::move(content)});
    return *this;
}
TreeSpec& TreeSpec::file(const std::string& path, size_t size, uint32_t seed)
{
    return file(path, patternBytes(size, seed));
}
bool TreeSpec::write(const std::string& root, std::string* error) const
{
    for (const Entry& entry : list) {
        const std::filesystem::path path = std::filesystem::path(root) / entry.path;
        std::error_code code;
        std::filesystem::create_directories(entry.folder ? path : path.parent_path(), code);
        if (!code && !entry.folder && !writeFileBytes(path.string(), entry.content))
            code = std::make_error_code(std::errc::io_error);
        if (code) {
            if (error)
                *error = "cannot create " + path.string() + ": " + code.message();
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
    if (result.exitStatus != 0 && error)
        *error = "xorriso failed (" + std::to_string(result.exitStatus) + "): " + result.errors;
    return result.exitStatus == 0;
}
std::optional<ApmEntry> findApmPartition(const std::string& imagePath, const std::string& type)
{
    // The map's entries follow block 0; 256 blocks hold any map a test makes.
    std::ifstream in(imagePath, std::ios::binary);
    std::vector<uint8_t> head(256 * 512);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    for (const ApmEntry& entry : readApmEntries(head, 512))
        if (entry.type == type)
            return entry;
    return std::nullopt;
}
std::optional<std::vector<FlsEntry>> runFls(const std::string& imagePath, uint64_t sectorOffset)
{
    const ToolResult result = runTool({"fls", "-r", "-p", "-o", std::to_string(sectorOffset), imagePath});
    if (result.exitStatus != 0)
        return std::nullopt;
    std::vector<FlsEntry> entries;
    for (size_t start = 0, end = 0; start < result.output.size(); start = end + 1) {
        end = std::min(result.output.find('\n', start), result.output.size());
        const std::string line = result.output.substr(start, end - start);
        const size_t tab = line.find('\t');
        const size_t space = line.find(' ');
        if (tab == std::string::npos || space > tab)
            continue;
        FlsEntry entry{line.substr(0, space), line.compare(space + 1, 2, "* ") == 0, 0, line.substr(tab + 1)};
        // The inode number; other file systems add "-type-id" or "(realloc)" before the colon.
        for (size_t pos = space + (entry.deleted ? 3 : 1); pos < tab && std::isdigit(uint8_t(line[pos])); ++pos)
            entry.inode = entry.inode * 10 + uint64_t(line[pos] - '0');
        entries.push_back(std::move(entry));
    }
    return entries;
}
std::vector<FlsEntry> userEntries(const std::vector<FlsEntry>& entries)
{
    std::vector<FlsEntry> out;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(out), [](const FlsEntry& e) {
        return e.inode >= 16 || e.path.empty() || e.path[0] != '$' || e.path.find('/') != std::string::npos;
    });
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
