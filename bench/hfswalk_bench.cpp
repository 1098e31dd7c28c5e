// Time to browse a large HFS Plus volume: mount, then load every folder of the tree (no file data
// read), through the disk stack the application uses for a partition of an image file: CMacDisk,
// a CPartitionDisk window, the 4 MiB block cache with 256 KiB lines, CHFSVolume. Printed beside
// `fls -r -p -o START IMAGE > /dev/null` (The Sleuth Kit) listing the same volume; the target is
// to be no slower than fls.
//
//   hfswalk_bench [--files N] [--rounds N] [--verbose] [IMAGE]
//
// The volume is made by xorriso from N small files (default 100000) in 100 folders, written to a
// temporary folder in TMPDIR (or /tmp). With IMAGE: an existing image is used as it is (any image
// whose partition map has an Apple_HFS entry), a missing one is made there and kept, so later runs
// reuse it; without IMAGE the image is made in TMPDIR and removed afterwards. As in the tests, the
// window reaches from the entry's first block to the end of the image (in small xorriso images the
// files' data lies past the map entry). Each side runs --rounds times (default 3) on a warm page
// cache; the best and the first round are printed. It never fails on timing: a non-zero exit
// means a missing tool, an I/O error or a walk that did not find every file.
#include "benchtools.h"
#include "cacheddisk.h"
#include "hfsvolume.h"
#include "logger.h"
#include "macdisk.h"
#include "partitiondisk.h"
#include "quietstdout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kCacheSize = 4194304; // the application's cache
constexpr int kReadAhead = 262144;  // and its line size
constexpr int kFolders = 100;

using bench::Clock;
using bench::secondsSince;
using bench::runQuietly;
using bench::toolOnPath;

// The first block of the Apple_HFS entry of the image's partition map (512-byte map blocks).
std::optional<uint32_t> findHfsPartition(const std::string& image)
{
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<uint32_t> start;
    uint8_t entry[512];
    for (uint32_t block = 1; block < 64 && !start; ++block) {
        if (::pread(fd, entry, sizeof entry, off_t(block) * 512) != ssize_t(sizeof entry))
            break;
        if (entry[0] != 'P' || entry[1] != 'M')
            break;
        if (std::strncmp(reinterpret_cast<const char*>(entry + 48), "Apple_HFS", 32) == 0)
            start = uint32_t(entry[8]) << 24 | uint32_t(entry[9]) << 16 | uint32_t(entry[10]) << 8 | entry[11];
    }
    ::close(fd);
    return start;
}

bool writeSmallFile(const std::string& path, uint32_t number)
{
    char text[64];
    const int length = std::snprintf(text, sizeof text, "file %u of the walk benchmark\n", number);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text, size_t(length)) == length;
    return ::close(fd) == 0 && ok;
}

// N files in kFolders folders under a fresh folder of TMPDIR, then the xorriso image.
bool makeImage(const std::string& image, uint32_t files)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hfswalk_bench.XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "cannot make a temporary folder: %s\n", std::strerror(errno));
        return false;
    }
    const std::string tree = pattern + "/tree";
    std::printf("making %u files in %s ...\n", files, tree.c_str());
    std::fflush(stdout);
    bool ok = true;
    for (int folder = 0; folder < kFolders && ok; ++folder)
        ok = std::filesystem::create_directories(tree + "/folder" + std::to_string(folder));
    for (uint32_t i = 0; i < files && ok; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/folder%u/file_%06u.txt", i % kFolders, i);
        ok = writeSmallFile(tree + name, i);
    }
    if (ok) {
        std::printf("xorriso -> %s ...\n", image.c_str());
        std::fflush(stdout);
        const Clock::time_point start = Clock::now();
        ok = runQuietly({"xorriso", "-as", "mkisofs", "-hfsplus", "-apm-block-size", "512", "-V", "WALKBENCH", "-o",
                         image, tree + "/"}) == 0;
        if (ok)
            std::printf("image made in %.1f s\n", secondsSince(start));
        else
            std::fprintf(stderr, "xorriso failed\n");
    } else {
        std::fprintf(stderr, "cannot write the files under %s\n", tree.c_str());
    }
    std::error_code code;
    std::filesystem::remove_all(pattern, code);
    return ok;
}

struct WalkCount {
    uint64_t folders = 0;
    uint64_t files = 0;
    bool mounted = false;
};

// Mount and load every folder, keeping the whole tree as a browser that opened every folder would.
WalkCount mountAndWalk(const std::string& image, uint32_t hfsStart)
{
    WalkCount count;
    CMacDisk disk(image.c_str());
    if (!disk.open(false))
        return count;
    {
        CPartitionDisk window(&disk, int64_t(hfsStart), disk.getBlockCount() - 1);
        CCachedDisk cache(&window, kCacheSize, kReadAhead);
        if (cache.open(false)) {
            CHFSVolume volume(&cache);
            count.mounted = volume.mount(true) && volume.getRoot();
            std::vector<CVolumeItem*> pending;
            if (count.mounted)
                pending.push_back(volume.getRoot());
            while (!pending.empty()) {
                CVolumeItem* folder = pending.back();
                pending.pop_back();
                folder->addChildren();
                for (CVolumeItem* child : folder->children) {
                    if (child->isContainer()) {
                        ++count.folders;
                        pending.push_back(child);
                    } else {
                        ++count.files;
                    }
                }
            }
            cache.close();
        }
    }
    disk.close();
    return count;
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t files = 100000;
    int rounds = 3;
    bool verbose = false;
    std::string image;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc) {
            files = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (!arg.empty() && arg[0] != '-' && image.empty()) {
            image = arg;
        } else {
            std::fprintf(stderr, "usage: hfswalk_bench [--files N] [--rounds N] [--verbose] [IMAGE]\n");
            return 2;
        }
    }
    if (!toolOnPath("fls")) {
        std::fprintf(stderr, "hfswalk_bench: fls (The Sleuth Kit) is not installed\n");
        return 1;
    }
    bool removeImage = false, made = false;
    struct stat info;
    if (image.empty() || ::stat(image.c_str(), &info) != 0) {
        if (!toolOnPath("xorriso")) {
            std::fprintf(stderr, "hfswalk_bench: xorriso is not installed\n");
            return 1;
        }
        if (image.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            image = std::string(tmp && *tmp ? tmp : "/tmp") + "/hfswalk_bench_" + std::to_string(::getpid()) + ".iso";
            removeImage = true;
        }
        if (!makeImage(image, files))
            return 1;
        made = true;
    } else {
        std::printf("using %s\n", image.c_str());
    }
    const std::optional<uint32_t> start = findHfsPartition(image);
    if (!start) {
        std::fprintf(stderr, "hfswalk_bench: no Apple_HFS partition in %s\n", image.c_str());
        return 1;
    }

    {
        QuietStdout quiet(!verbose); // the logger announces itself when first used
        CLogger::getInstance()->setEnabled(verbose);
    }
    double engineBest = 1e30, engineFirst = 0, flsBest = 1e30, flsFirst = 0;
    WalkCount count;
    int status = 0;
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point begin = Clock::now();
        {
            QuietStdout quiet(!verbose);
            count = mountAndWalk(image, *start);
        }
        const double engine = secondsSince(begin);
        begin = Clock::now();
        status = runQuietly({"fls", "-r", "-p", "-o", std::to_string(*start), image},
                            {.folder = {}, .keepErrors = true, .noInput = false});
        const double fls = secondsSince(begin);
        if (round == 0) {
            engineFirst = engine;
            flsFirst = fls;
        }
        engineBest = std::min(engineBest, engine);
        flsBest = std::min(flsBest, fls);
    }
    if (removeImage)
        ::unlink(image.c_str());

    std::printf("volume: %s (Apple_HFS from block %u), %llu folders and %llu files found\n", image.c_str(), *start,
                static_cast<unsigned long long>(count.folders), static_cast<unsigned long long>(count.files));
    std::printf("mount + load every folder: %8.3f s best of %d (first %.3f s)\n", engineBest, rounds, engineFirst);
    std::printf("fls -r -p -o %u        : %8.3f s best of %d (first %.3f s)%s\n", *start, flsBest, rounds, flsFirst,
                status == 0 ? "" : "  [fls failed]");
    std::printf("ratio engine / fls: %.2f (target: at most 1.00)\n", engineBest / flsBest);
    if (!count.mounted || (made && count.files != files))
        return 1;
    return 0;
}
