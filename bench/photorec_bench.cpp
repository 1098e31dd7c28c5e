// The deleted-files scan and saving every file it carved, timed beside PhotoRec (`photorec`, from
// Debian's testdisk package) carving the same free space, and how many of the files hidden there
// each brings back whole.
//
//   photorec_bench [--free-mib N] [--workers N] [--source DIR]... [--keep] [--verbose]
//
// The volume (made with the test suites' HFS Plus image builder, 2048-byte allocation blocks) holds
// a few kept files of pseudo-random bytes in use, and between them free space (default 400 MiB)
// holding the real JPEG, PNG, GIF and PDF files of this machine (found under /usr/share, or the
// --source folders; each distinct content once, at least 512 bytes) at block starts, with their
// last block's slack zero, between runs of pseudo-random, zero and text blocks (text from the
// licence files under /usr/share/common-licenses). PhotoRec reads the free space alone, the runs
// laid end to end as a file of their own, with its default file types and paranoid checks; it
// writes what it finds as Gleaner does, so both times include writing the files. The image sits
// in TMPDIR (or /tmp) and is fresh in the page cache for both.
//
// A hidden file counts as brought back byte for byte when one recovered file starts with all of its
// bytes. Gleaner carves whole allocation blocks (a file runs on to the next start or used block),
// PhotoRec cuts most formats at their end marker; both are counted the same way. Prints both
// times, their ratio (Gleaner's over PhotoRec's) and both counts. Without photorec on PATH the
// comparison is skipped with a message and Gleaner's figures alone are printed. It never fails on
// timing: a non-zero exit means an I/O error.
#include "benchtools.h"
#include "hfsimagebuilder.h"
#include "logger.h"
#include "macdisk.h"
#include "quietstdout.h"
#include "recovery.h"
#include "resourcedir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using bench::Clock;
using bench::Random;
using bench::secondsSince;
using bench::runQuietly;
using bench::toolOnPath;

constexpr uint32_t kBlock = 2048;
constexpr size_t kKeyBytes = 64; // hidden files are told apart by their first bytes
constexpr size_t kMinFileSize = 512;
constexpr int kKeptFiles = 8;

Bytes readFile(const fs::path& path, size_t limit = SIZE_MAX)
{
    std::ifstream in(path, std::ios::binary);
    Bytes bytes;
    if (!in)
        return bytes;
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    bytes.resize(code ? 0 : size_t(std::min<uintmax_t>(size, limit)));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    return bool(out.flush());
}

std::string key(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.begin() + long(std::min(kKeyBytes, bytes.size())));
}

// The real files to hide, each distinct content once, in a fixed order.
std::vector<Bytes> findRealFiles(const std::vector<std::string>& roots, std::map<std::string, int>& perType)
{
    const std::set<std::string> wanted = {".jpg", ".jpeg", ".png", ".gif", ".pdf"};
    std::vector<fs::path> paths;
    for (const std::string& root : roots) {
        std::error_code code;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, code), end;
             it != end; it.increment(code)) {
            if (code)
                break;
            std::string extension = it->path().extension().string();
            std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
            if (wanted.count(extension) && it->is_regular_file(code) && !it->is_symlink(code))
                paths.push_back(it->path());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Bytes> files;
    std::unordered_set<std::string> seen;
    for (const fs::path& path : paths) {
        Bytes bytes = readFile(path);
        if (bytes.size() < kMinFileSize || !seen.insert(std::string(bytes.begin(), bytes.end())).second)
            continue;
        std::string extension = path.extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        ++perType[extension == ".jpeg" ? ".jpg" : extension];
        files.push_back(std::move(bytes));
    }
    return files;
}

// Text for the text blocks: the licence texts one after the other.
std::string licenceText()
{
    std::string text;
    std::error_code code;
    for (fs::directory_iterator it("/usr/share/common-licenses", code), end; it != end; it.increment(code)) {
        if (code)
            break;
        const Bytes bytes = readFile(it->path(), 1 << 20);
        text.append(bytes.begin(), bytes.end());
    }
    if (text.size() < kBlock)
        text = "the quick brown fox jumps over the lazy dog while recovering lost data\n";
    return text;
}

// Appends `blocks` filler blocks in runs of one kind: pseudo-random, zero or text.
void appendFiller(Bytes& out, uint64_t blocks, Random& random, const std::string& text, size_t& textAt)
{
    while (blocks > 0) {
        const uint64_t run = std::min<uint64_t>(blocks, 1 + random.below(16));
        const uint64_t kind = random.below(10); // 4 random, 3 zero, 3 text
        for (uint64_t b = 0; b < run; ++b) {
            const size_t at = out.size();
            out.resize(at + kBlock, 0);
            if (kind < 4) {
                for (uint32_t i = 0; i < kBlock; i += 8) {
                    const uint64_t value = random.next();
                    std::memcpy(out.data() + at + i, &value, 8);
                }
            } else if (kind >= 7) {
                for (uint32_t i = 0; i < kBlock; ++i, ++textAt)
                    out[at + i] = uint8_t(text[textAt % text.size()]);
            }
        }
        blocks -= run;
    }
}

struct Volume {
    std::string image;    // the HFS Plus volume
    std::string freeOnly; // its free runs end to end, for PhotoRec
    uint64_t freeBytes = 0;
};

// Builds the volume: kept files in use between kKeptFiles + 1 free runs that share the hidden files
// and the filler between them.
bool makeVolume(const std::vector<Bytes>& hidden, uint64_t freeBlocks, const Volume& out)
{
    Random random{0x2545F4914F6CDD1Dull};
    const std::string text = licenceText();
    size_t textAt = 0;
    std::vector<size_t> order(hidden.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    for (size_t i = order.size(); i > 1; --i)
        std::swap(order[i - 1], order[random.below(i)]);

    uint64_t fileBlocks = 0;
    for (const Bytes& file : hidden)
        fileBlocks += (file.size() + kBlock - 1) / kBlock;
    const uint64_t fillerBlocks = freeBlocks > fileBlocks ? freeBlocks - fileBlocks : 0;
    const uint64_t meanGap = hidden.empty() ? fillerBlocks : fillerBlocks / (hidden.size() + 1);

    HfsBuildOptions options;
    options.blockSize = kBlock;
    options.volumeName = "Carving";
    HfsImageBuilder builder(options);
    Bytes run;
    uint64_t fillerLeft = fillerBlocks;
    size_t next = 0;
    const size_t perRun = (hidden.size() + kKeptFiles) / (kKeptFiles + 1);
    for (int part = 0; part <= kKeptFiles; ++part) {
        run.clear();
        const size_t until = part == kKeptFiles ? hidden.size() : std::min(hidden.size(), next + perRun);
        for (; next < until; ++next) {
            const uint64_t gap = std::min(fillerLeft, random.below(2 * meanGap + 1));
            appendFiller(run, gap, random, text, textAt);
            fillerLeft -= gap;
            const Bytes& file = hidden[order[next]];
            run.insert(run.end(), file.begin(), file.end());
            run.resize((run.size() + kBlock - 1) / kBlock * kBlock, 0); // zero slack
        }
        const uint64_t tail = part == kKeptFiles ? fillerLeft : std::min(fillerLeft, meanGap);
        appendFiller(run, tail, random, text, textAt);
        fillerLeft -= tail;
        if (!run.empty())
            builder.addFreeData(run);
        if (part < kKeptFiles) {
            Bytes kept(64 * 1024);
            for (size_t i = 0; i < kept.size(); i += 8) {
                const uint64_t value = random.next();
                std::memcpy(kept.data() + i, &value, 8);
            }
            builder.addFile(kHfsRootFolderID, "kept" + std::to_string(part) + ".bin", std::move(kept));
        }
    }
    Bytes().swap(run);
    const HfsImage image = builder.build();
    if (!writeFile(out.image, image.bytes.data(), image.bytes.size()))
        return false;
    std::ofstream freeOnly(out.freeOnly, std::ios::binary | std::ios::trunc);
    for (const HfsExtent& extent : image.freeRuns)
        freeOnly.write(reinterpret_cast<const char*>(image.bytes.data() + image.blockOffset(extent.startBlock)),
                       std::streamsize(uint64_t(extent.blockCount) * image.blockSize));
    return bool(freeOnly.flush());
}

// How many of the hidden files some file under folder starts with, and how many files it holds.
std::pair<size_t, size_t> countWhole(const std::string& folder, const std::vector<Bytes>& hidden)
{
    std::unordered_map<std::string, std::vector<size_t>> byKey;
    size_t longest = 0;
    for (size_t i = 0; i < hidden.size(); ++i) {
        byKey[key(hidden[i])].push_back(i);
        longest = std::max(longest, hidden[i].size());
    }
    std::vector<bool> found(hidden.size(), false);
    size_t files = 0;
    std::error_code code;
    for (fs::recursive_directory_iterator it(folder, code), end; it != end; it.increment(code)) {
        if (code)
            break;
        if (!it->is_regular_file(code))
            continue;
        ++files;
        const Bytes bytes = readFile(it->path(), longest);
        const auto candidates = byKey.find(key(bytes));
        if (candidates == byKey.end())
            continue;
        for (size_t i : candidates->second)
            if (bytes.size() >= hidden[i].size() && std::memcmp(hidden[i].data(), bytes.data(), hidden[i].size()) == 0)
                found[i] = true;
    }
    return {size_t(std::count(found.begin(), found.end(), true)), files};
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t freeMiB = 400;
    int workers = 0;
    bool keep = false;
    bool verbose = false;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--free-mib" && i + 1 < argc) {
            freeMiB = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--workers" && i + 1 < argc) {
            workers = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--source" && i + 1 < argc) {
            roots.push_back(argv[++i]);
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "usage: photorec_bench [--free-mib N] [--workers N] [--source DIR]... [--keep] "
                                 "[--verbose]\n");
            return 2;
        }
    }
    if (roots.empty())
        roots.push_back("/usr/share");

    std::map<std::string, int> perType;
    const std::vector<Bytes> hidden = findRealFiles(roots, perType);
    uint64_t hiddenBytes = 0;
    for (const Bytes& file : hidden)
        hiddenBytes += file.size();
    std::printf("hidden files: %zu (%.1f MB):", hidden.size(), double(hiddenBytes) / 1e6);
    for (const auto& [type, count] : perType)
        std::printf(" %s %d", type.c_str(), count);
    std::printf("\n");

    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/photorec_bench.XXXXXX";
    if (!::mkdtemp(folder.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    Volume volume{folder + "/volume.img", folder + "/free.img", freeMiB * 1024 * 1024};
    const uint64_t freeBlocks = std::max<uint64_t>(volume.freeBytes / kBlock, 1);
    std::printf("building a volume with %llu MiB of free space in %s ...\n", static_cast<unsigned long long>(freeMiB),
                folder.c_str());
    std::fflush(stdout);
    if (!makeVolume(hidden, freeBlocks, volume)) {
        std::fprintf(stderr, "photorec_bench: cannot write the volume under %s\n", folder.c_str());
        return 1;
    }
    std::error_code code;
    const double freeMB = double(fs::file_size(volume.freeOnly, code)) / 1e6;

    // Gleaner: the deleted-files scan, then every carved file saved.
    const std::string gleanerOut = folder + "/gleaner";
    fs::create_directories(gleanerOut, code);
    double scanSeconds = 0, saveSeconds = 0;
    bool saved = false;
    int effectiveWorkers = workers;
    {
        const QuietStdout quiet(!verbose);
        CLogger::getInstance()->setEnabled(verbose);
        CMacDisk disk(volume.image.c_str());
        CRecovery recovery;
        recovery.setMagicFilePath(resourceDirectory());
        recovery.setScanWorkerCount(workers);
        if (recovery.setDisk(&disk)) {
            recovery.setScanType(ScanDeletedFiles);
            Clock::time_point start = Clock::now();
            recovery.scan();
            scanSeconds = secondsSince(start);
            if (recovery.resultRoot) {
                const std::vector<CVolumeItem*> items = recovery.resultRoot->children;
                start = Clock::now();
                saved = recovery.save(items, gleanerOut);
                saveSeconds = secondsSince(start);
            }
        }
        recovery.setDisk(nullptr);
    }
    if (effectiveWorkers == 0)
        effectiveWorkers = int(std::thread::hardware_concurrency());
    const auto [gleanerWhole, gleanerFiles] = countWhole(gleanerOut, hidden);
    const double gleanerSeconds = scanSeconds + saveSeconds;
    std::printf("Gleaner  (%d workers): scan %.2f s (%.0f MB/s of free space) + save %.2f s = %.2f s, %zu files "
                "written%s, %zu of %zu hidden files byte for byte\n",
                effectiveWorkers, scanSeconds, scanSeconds > 0 ? freeMB / scanSeconds : 0.0, saveSeconds,
                gleanerSeconds, gleanerFiles, saved ? "" : " (the save reported a failure)", gleanerWhole,
                hidden.size());
    fs::remove_all(gleanerOut, code);
    std::fflush(stdout);

    int status = 0;
    if (!toolOnPath("photorec")) {
        std::printf("PhotoRec: skipped, photorec is not on PATH (it comes with Debian's testdisk package)\n");
    } else {
        const std::string photorecOut = folder + "/photorec";
        fs::create_directories(photorecOut, code);
        const Clock::time_point start = Clock::now();
        const int exit = runQuietly({"photorec", "/d", photorecOut + "/recup", "/cmd", volume.freeOnly,
                                     "partition_none,options,paranoid,fileopt,everything,enable,search"},
                                    {.folder = photorecOut, .keepErrors = false, .noInput = true});
        const double photorecSeconds = secondsSince(start);
        const auto [photorecWhole, photorecFiles] = countWhole(photorecOut, hidden);
        if (exit != 0) {
            std::printf("PhotoRec: failed to run (exit %d)\n", exit);
            status = 1;
        } else {
            std::printf("PhotoRec: %.2f s, %zu files written, %zu of %zu hidden files byte for byte\n", photorecSeconds,
                        photorecFiles, photorecWhole, hidden.size());
            std::printf("Gleaner / PhotoRec time: %.2f\n",
                        photorecSeconds > 0 ? gleanerSeconds / photorecSeconds : 0.0);
        }
        fs::remove_all(photorecOut, code);
    }
    if (!keep)
        fs::remove_all(folder, code);
    else
        std::printf("kept %s\n", folder.c_str());
    return status;
}
