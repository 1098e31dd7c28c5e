// A fake sysfs tree in a scratch folder, devices linked from class/block as the kernel lays them out.
#pragma once

#include "scratchdir.h"
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

class FakeSysfs {
public:
    std::string root() const { return scratch.path(); }

    std::string write(const std::string& relative, const std::string& contents) const
    {
        const std::filesystem::path file = std::filesystem::path(root()) / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << contents;
        return file.string();
    }
    void remove(const std::string& path) const { std::filesystem::remove(std::filesystem::path(root()) / path); }

    // A whole disk at devices/<bus>/block/<name>, or a partition inside its disk's folder.
    std::string addDisk(const std::string& name, const std::string& bus, uint64_t sectors, int logicalBlockSize = 512,
                        bool removable = false) const
    {
        const std::string folder = add(name, "devices/" + bus + "/block/" + name, sectors);
        write(folder + "/removable", removable ? "1\n" : "0\n");
        if (logicalBlockSize > 0)
            write(folder + "/queue/logical_block_size", std::to_string(logicalBlockSize) + "\n");
        return folder;
    }
    std::string addPartition(const std::string& diskFolder, const std::string& name, uint64_t sectors) const
    {
        write(add(name, diskFolder + "/" + name, sectors) + "/partition", "1\n");
        return diskFolder + "/" + name;
    }
    void addLoop(const std::string& name, uint64_t sectors, const std::string& backingFile) const
    {
        write(addDisk(name, "virtual", sectors) + "/loop/backing_file", backingFile + "\n");
    }

private:
    std::string add(const std::string& name, const std::string& folder, uint64_t sectors) const
    {
        write(folder + "/size", std::to_string(sectors) + "\n");
        const std::filesystem::path links = std::filesystem::path(root()) / "class/block";
        std::filesystem::create_directories(links);
        std::filesystem::create_directory_symlink("../../" + folder, links / name);
        return folder;
    }

    ScratchDir scratch;
};
inline const char* const kSataBus = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
