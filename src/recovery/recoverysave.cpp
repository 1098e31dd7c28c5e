// Saving chosen items under a folder the user chose: folders become directories, files are copied
// from the device through the items' own read. Names come from a disk and are hostile: each is
// made a safe path component, nothing is created through a symbolic link, and an existing file is
// replaced only when the user says so.
#include "recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint32_t kChunkSize = 2048;
constexpr int kChunksPerProgress = 1000;
constexpr size_t kMaxNameBytes = 255;
// Folders nested deeper than this are not saved: no real tree is that deep, a looping catalog is.
constexpr size_t kMaxSaveDepth = 1024;
// An extension longer than this is not kept apart when a long name is cut.
constexpr size_t kMaxKeptExtension = 32;

// Length of the longest prefix of text[0, limit) that ends at a UTF-8 character boundary.
size_t cutAtCharacter(const std::string& text, size_t limit)
{
    if (limit >= text.size())
        return text.size();
    size_t end = limit;
    // Step back over continuation bytes (10xxxxxx) so no character is split.
    while (end > 0 && (uint8_t(text[end]) & 0xC0) == 0x80)
        --end;
    return end;
}

bool writeAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}
} // namespace

std::string safeFileName(const std::string& name)
{
    std::string safe;
    safe.reserve(name.size() + 1);
    for (char c : name) {
        const uint8_t byte = uint8_t(c);
        safe += (c == '/' || byte < 0x20 || byte == 0x7F) ? '_' : c;
    }
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    if (safe.size() > kMaxNameBytes) {
        std::string extension;
        const size_t dot = safe.rfind('.');
        if (dot != std::string::npos && dot > 0 && safe.size() - dot <= kMaxKeptExtension)
            extension = safe.substr(dot);
        const std::string stem = safe.substr(0, safe.size() - extension.size());
        safe = stem.substr(0, cutAtCharacter(stem, kMaxNameBytes - extension.size())) + extension;
    }
    return safe;
}

bool CRecovery::save(const std::vector<CVolumeItem*>& items, const std::string& folder)
{
    std::printf("CRecovery::save\n");
    progress = 0;
    saveIncomplete = false;
    walkPath.clear();
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::printf("CRecovery::save - error: %s is not a folder\n", folder.c_str());
        return false;
    }
    const size_t count = items.size();
    for (size_t i = 0; i < count; ++i) {
        const bool goOn = saveItem(items[i], folder);
        progress = 100.0 * double(float(i) / float(count));
        if (!goOn) {
            std::printf("canceled during saving item list\n");
            return false;
        }
    }
    return !saveIncomplete;
}

bool CRecovery::saveItem(CVolumeItem* item, const std::string& folder)
{
    if (!item)
        return true;
    std::printf("CRecovery::saveItem: %s\n", item->getName().c_str());
    const std::string path = folder + "/" + safeFileName(item->getName());
    if (!item->isContainer())
        return saveFile(item, path);

    std::printf("isContainer\n");
    if (walkPath.count(item) || walkPath.size() >= kMaxSaveDepth) {
        std::printf("CRecovery::saveItem - error: folder %s lies inside itself or too deep, not saved\n",
                    path.c_str());
        saveIncomplete = true;
        return true;
    }
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
        // An existing directory is reused; a link is never followed out of the chosen folder.
        if (!S_ISDIR(info.st_mode)) {
            std::printf("CRecovery::saveItem - error: %s exists and is not a folder\n", path.c_str());
            return false;
        }
    } else {
        std::printf("creating dir: %s\n", path.c_str());
        if (::mkdir(path.c_str(), 0777) != 0) {
            std::printf("CRecovery::saveItem - error creating dir %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (item->getChildCount(true) == 0)
        item->addChildren();

    walkPath.insert(item);
    bool result = true;
    for (int i = 0; i < item->getChildCount(true); ++i) {
        if (!saveItem(item->getChild(i, true), path)) {
            result = false;
            break;
        }
    }
    walkPath.erase(item);
    return result;
}

bool CRecovery::saveFile(CVolumeItem* item, const std::string& path)
{
    std::printf("file: %s\n", path.c_str());
    struct stat info;
    const bool exists = ::lstat(path.c_str(), &info) == 0;
    if (exists) {
        std::printf("file exists\n");
        bool overwrite = false, skip = false, cancel = false;
        if (listener)
            listener->askOverwrite(path, &overwrite, &skip, &cancel);
        else
            skip = true;
        if (cancel) {
            std::printf("Cancel\n");
            return false;
        }
        if (skip) {
            std::printf("skip\n");
            return true;
        }
        std::printf("Overwrite\n");
        if (!S_ISREG(info.st_mode)) {
            std::printf("error writing file %s: not a regular file\n", path.c_str());
            return false;
        }
    }

    std::printf("saving\n");
    if (listener)
        listener->fileSaving(path);

    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kChunkSize);
    } catch (const std::bad_alloc&) {
        std::printf("error allocating memory for file\n");
        return false;
    }

    // A new file must be new (O_EXCL); an old one is replaced in place only if it still is a
    // regular file. Neither open follows a symbolic link.
    const int flags = exists ? (O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                             : (O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (exists && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0)) {
        std::printf("error writing file %s: cannot replace it\n", path.c_str());
        ::close(fd);
        return false;
    }

    const uint64_t size = item->getSize();
    uint64_t offset = 0;
    int counter = kChunksPerProgress;
    bool cancel = false;
    bool writeFailed = false;
    do {
        if (listener && counter == kChunksPerProgress) {
            listener->progressEvent(progress, &cancel);
            counter = 0;
        }
        // The last chunk is cut to the file's size: a read past its end could fail and cut the
        // file short, or add bytes that are not part of it.
        const uint32_t want = uint32_t(std::min<uint64_t>(kChunkSize, size - offset));
        if (want == 0)
            break;
        const uint32_t got = std::min(item->read(offset, buffer.data(), want), want);
        if (got == 0) {
            std::printf("CRecovery::saveItem - error: read failed in %s at offset %llu: %llu of %llu bytes saved\n",
                        path.c_str(), static_cast<unsigned long long>(offset),
                        static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size));
            saveIncomplete = true;
            break;
        }
        if (!writeAll(fd, buffer.data(), got)) {
            writeFailed = true;
            break;
        }
        offset += got;
        ++counter;
    } while (offset < size && !cancel);

    if (writeFailed) {
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (cancel) {
        std::printf("canceled during write\n");
        return false;
    }
    return true;
}
