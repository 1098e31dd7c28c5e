// Scratch folders for tests and a fake sysfs tree built in one: devices under devices/..., each
// listed in class/block through a relative link, as the kernel lays them out. Everything is
// removed when the object goes. Used by the platform and the engine suites.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

// A namespace of their own keeps these inline classes apart from the support library's helpers.
namespace sysfstest {

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "gleaner-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // Writes a file below the folder (parents made as needed) and returns its full path.
    std::string write(const std::string& relative, const std::string& contents) const
    {
        const std::filesystem::path file = std::filesystem::path(path) / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << contents;
        return file.string();
    }

    std::string path;
};

class FakeSysfs {
public:
    std::string root() const { return scratch.path; }

    // A whole disk at devices/<bus>/block/<name>; returns its folder relative to the root.
    std::string addDisk(const std::string& name, const std::string& bus, uint64_t sectors, int logicalBlockSize = 512,
                        bool removable = false)
    {
        const std::string folder = "devices/" + bus + "/block/" + name;
        scratch.write(folder + "/size", std::to_string(sectors) + "\n");
        scratch.write(folder + "/removable", removable ? "1\n" : "0\n");
        if (logicalBlockSize > 0)
            scratch.write(folder + "/queue/logical_block_size", std::to_string(logicalBlockSize) + "\n");
        list(name, folder);
        return folder;
    }

    // A partition inside the folder of its disk (given relative to the root, as addDisk returns).
    std::string addPartition(const std::string& diskFolder, const std::string& name, uint64_t sectors, int number = 1)
    {
        const std::string folder = diskFolder + "/" + name;
        scratch.write(folder + "/size", std::to_string(sectors) + "\n");
        scratch.write(folder + "/partition", std::to_string(number) + "\n");
        list(name, folder);
        return folder;
    }

    // An attached loop device over backingFile.
    std::string addLoop(const std::string& name, uint64_t sectors, const std::string& backingFile)
    {
        const std::string folder = addDisk(name, "virtual", sectors);
        scratch.write(folder + "/loop/backing_file", backingFile + "\n");
        return folder;
    }

    void write(const std::string& relative, const std::string& contents) const { scratch.write(relative, contents); }

    void remove(const std::string& relative) const
    {
        std::filesystem::remove(std::filesystem::path(scratch.path) / relative);
    }

private:
    void list(const std::string& name, const std::string& folder)
    {
        const std::filesystem::path classBlock = std::filesystem::path(scratch.path) / "class/block";
        std::filesystem::create_directories(classBlock);
        std::filesystem::create_directory_symlink("../../" + folder, classBlock / name);
    }

    ScratchDirectory scratch;
};

} // namespace sysfstest
