// Saving chosen items under a folder the user chose: folders become directories, files are copied
// from the device through the items' own read. Names come from a disk and are hostile: each is
// made a safe path component and unique within its folder for this save. Every folder and file is
// made relative to an open folder descriptor that refuses symbolic links, so a folder swapped for a
// link during the save cannot lead outside; an existing file is replaced, only when the user says
// so, by writing a new file and renaming it over the old one (a hard link elsewhere stays as it
// was). What cannot be written is skipped and listed; only a cancel or a full target disk ends it.
#include "recovery.h"

#include "cacheddisk.h"
#include "logger.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint32_t kChunkSize = 2048;
// Besides the event before each file, one every this many chunks (and as time passes).
constexpr int kChunksPerProgress = 1000;
// The copy's chunks are gathered into writes of up to this many bytes: one system call per chunk
// costs more than the copy itself.
constexpr size_t kWriteSize = size_t(1) << 20;
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

// Errors after which no further file can be written, so the save ends.
bool targetFull(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

std::pair<uint64_t, uint64_t> identity(const struct stat& info)
{
    return {uint64_t(info.st_dev), uint64_t(info.st_ino)};
}

// The name with suffix put in front of its extension (kept whole when short), its stem cut at a
// character boundary so the whole stays a valid component.
std::string nameWithSuffix(const std::string& name, const std::string& suffix)
{
    std::string extension;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension)
        extension = name.substr(dot);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return stem.substr(0, cutAtCharacter(stem, kMaxNameBytes - extension.size() - suffix.size())) + suffix + extension;
}

std::string numberedName(const std::string& name, int number)
{
    return nameWithSuffix(name, " (" + std::to_string(number) + ")");
}

// Creates a new, empty file under a name no entry of the folder has; its name is put in name.
int createTemporary(int folder, std::string* name)
{
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = ".gleaner-save-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        const int fd = ::openat(folder, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Removes the file this save wrote under name, unless something else has taken the name since.
void removeWritten(int folder, const std::string& name, std::pair<uint64_t, uint64_t> written)
{
    struct stat info;
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && identity(info) == written)
        ::unlinkat(folder, name.c_str(), 0);
}

// How many reads of the disk the item is read from have handed out zeros for unreadable sectors,
// to see whether a copy met damage: the cache gives zeros for those, so the read itself succeeds,
// and a sector that failed before (in a line still cached) is not counted again on the device.
int64_t readErrorCount(CVolumeItem* item)
{
    CDisk* disk = item && item->volume ? item->volume->getDisk() : nullptr;
    if (!disk)
        return 0;
    if (auto* cache = dynamic_cast<CCachedDisk*>(disk))
        return cache->getUnreadableReads();
    return disk->getReadErrorCount();
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
    // HFS Plus stores names decomposed; Linux names are composed (NFC), as a person types them. A
    // name that is no valid UTF-8 stays as it is.
    if (gchar* composed = g_utf8_normalize(safe.data(), gssize(safe.size()), G_NORMALIZE_NFC)) {
        safe = composed;
        g_free(composed);
    }
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    return safe.size() > kMaxNameBytes ? nameWithSuffix(safe, "") : safe;
}

bool CRecovery::save(const std::vector<CVolumeItem*>& items, const std::string& folder)
{
    std::printf("CRecovery::save\n");
    beginOperation();
    progress = 0;
    savedFileCount = 0;
    saveCancelled = false;
    savePace.restart();
    walkPath.clear();
    incompleteFiles.clear();
    saveNames.clear();
    saveCreated.clear();
    saveFolders.clear();
    // The folder the person chose may itself be reached through a link; below it nothing is.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        std::printf("CRecovery::save - error: %s is not a folder\n", folder.c_str());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    saveFolders.push_back({folder, fd, identity(info)});
    setListingPulse(true);
    bool finished = true;
    const size_t count = items.size();
    for (size_t i = 0; i < count; ++i) {
        const bool goOn = saveItem(items[i], folder);
        progress = 100.0 * double(float(i) / float(count));
        if (!goOn) {
            std::printf("canceled during saving item list\n");
            finished = false;
            break;
        }
    }
    setListingPulse(false);
    saveFolders.clear();
    ::close(fd);
    if (!incompleteFiles.empty()) {
        std::printf("CRecovery::save - %zu item(s) not saved whole:\n", incompleteFiles.size());
        for (const std::string& path : incompleteFiles)
            std::printf("  %s\n", path.c_str());
    }
    return finished && incompleteFiles.empty();
}

bool CRecovery::saveItem(CVolumeItem* item, const std::string& folder)
{
    if (!item)
        return true;
    std::printf("CRecovery::saveItem: %s\n", escapeControlCharacters(item->getName()).c_str());
    // Folders, and files that are skipped or cannot be read, send no progress of their own.
    if (savePace.due() && saveCancelledAt("saving item"))
        return false;
    // Within a save the folder is the innermost one open on its walk; a call from elsewhere opens
    // it here. A copy: the walk's list grows while the item is saved.
    SaveFolder parent;
    bool ownDescriptor = false;
    if (!saveFolders.empty() && saveFolders.back().path == folder) {
        parent = saveFolders.back();
    } else {
        parent.path = folder;
        parent.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat info;
        if (parent.fd < 0 || ::fstat(parent.fd, &info) != 0) {
            std::printf("CRecovery::saveItem - error: %s is not a folder\n", folder.c_str());
            if (parent.fd >= 0)
                ::close(parent.fd);
            markIncomplete(folder + "/" + safeFileName(item->getName()));
            return true;
        }
        parent.id = identity(info);
        ownDescriptor = true;
    }
    const bool result = item->isContainer() ? saveFolder(item, parent) : saveFile(item, parent);
    if (ownDescriptor)
        ::close(parent.fd);
    return result;
}

void CRecovery::markIncomplete(const std::string& path)
{
    incompleteFiles.push_back(path);
}

bool CRecovery::saveCancelledAt(const char* where)
{
    if (!listener)
        return false;
    bool cancel = false;
    listener->progressEvent(progress, &cancel);
    savePace.restart();
    if (cancel) {
        std::printf("canceled during %s\n", where);
        saveCancelled = true;
    }
    return cancel;
}

std::string CRecovery::uniqueSaveName(const SaveFolder& folder, const std::string& name, bool* exists,
                                      struct stat* info)
{
    SaveNames& names = saveNames[folder.id];
    // Taken by this save: a name it gave in this folder, or an entry it made there (on a target
    // that folds case, "A" and "a" are one entry).
    const bool given = names.given.count(name) > 0;
    const bool present = !given && ::fstatat(folder.fd, name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0;
    const bool taken = given || (present && saveCreated.count(identity(*info)) > 0);
    std::string chosen = name;
    *exists = present && !taken;
    if (taken) {
        // A numbered name must be free on the target too: an older file is never replaced for it.
        int& number = names.nextNumber.try_emplace(name, 2).first->second;
        for (;; ++number) {
            chosen = numberedName(name, number);
            if (!names.given.count(chosen) && ::fstatat(folder.fd, chosen.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0)
                break;
        }
        ++number;
    }
    names.given.insert(chosen);
    return chosen;
}

bool CRecovery::saveFolder(CVolumeItem* item, const SaveFolder& parent)
{
    std::printf("isContainer\n");
    if (walkPath.count(item) || walkPath.size() >= kMaxSaveDepth) {
        const std::string path = parent.path + "/" + safeFileName(item->getName());
        std::printf("CRecovery::saveItem - error: folder %s lies inside itself or too deep, not saved\n", path.c_str());
        markIncomplete(path);
        return true;
    }
    struct stat info;
    bool exists = false;
    const std::string name = uniqueSaveName(parent, safeFileName(item->getName()), &exists, &info);
    const std::string path = parent.path + "/" + name;
    bool created = false;
    if (exists) {
        // An existing folder is reused; anything else there (a link among it) is left alone.
        if (!S_ISDIR(info.st_mode)) {
            std::printf("CRecovery::saveItem - error: %s exists and is not a folder, not saved\n", path.c_str());
            markIncomplete(path);
            return true;
        }
    } else {
        std::printf("creating dir: %s\n", path.c_str());
        if (::mkdirat(parent.fd, name.c_str(), 0777) == 0) {
            created = true;
        } else if (errno != EEXIST) {
            const int error = errno;
            std::printf("CRecovery::saveItem - error creating dir %s: %s\n", path.c_str(), std::strerror(error));
            markIncomplete(path);
            return !targetFull(error);
        }
    }
    // O_NOFOLLOW: had the folder been swapped for a link since, this open fails instead of leaving.
    const int fd = ::openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        std::printf("CRecovery::saveItem - error opening dir %s: %s\n", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        markIncomplete(path);
        return true;
    }
    if (created)
        saveCreated.insert(identity(info));
    // A folder whose listing a damaged catalog cut short is saved with what was found, and listed
    // as not saved whole: files of it may be missing.
    if (item->getChildCount(true) == 0 && !item->addChildren()) {
        std::printf("CRecovery::saveItem - error: the listing of %s is incomplete, files of it may be missing\n",
                    path.c_str());
        markIncomplete(path);
    }

    walkPath.insert(item);
    saveFolders.push_back({path, fd, identity(info)});
    bool result = true;
    for (int i = 0; i < item->getChildCount(true); ++i) {
        // The search folder lists items of the volume a second time: it is no part of it.
        if (item->getChild(i, true) == searchFolder)
            continue;
        if (!saveItem(item->getChild(i, true), path)) {
            result = false;
            break;
        }
    }
    saveFolders.pop_back();
    walkPath.erase(item);
    ::close(fd);
    return result;
}

bool CRecovery::saveFile(CVolumeItem* item, const SaveFolder& parent)
{
    struct stat info;
    bool exists = false;
    const std::string name = uniqueSaveName(parent, safeFileName(item->getName()), &exists, &info);
    const std::string path = parent.path + "/" + name;
    std::printf("file: %s\n", path.c_str());
    if (item->isCompressed()) {
        std::printf("CRecovery::saveItem - error: %s is stored compressed, which cannot be read: not saved\n",
                    path.c_str());
        markIncomplete(path);
        return true;
    }
    if (exists) {
        std::printf("file exists\n");
        bool overwrite = false, skip = false, cancel = false;
        if (listener)
            listener->askOverwrite(path, &overwrite, &skip, &cancel);
        else
            skip = true;
        if (cancel) {
            std::printf("Cancel\n");
            saveCancelled = true;
            return false;
        }
        if (skip) {
            std::printf("skip\n");
            return true;
        }
        std::printf("Overwrite\n");
        if (!S_ISREG(info.st_mode)) {
            std::printf("error writing file %s: not a regular file\n", path.c_str());
            markIncomplete(path);
            return true;
        }
    }

    std::printf("saving\n");
    if (listener)
        listener->fileSaving(path);
    // A cancel seen before the copy leaves no file behind: nothing of it was written.
    if (saveCancelledAt("saving file"))
        return false;

    const uint64_t size = item->getSize();
    std::vector<uint8_t> buffer;
    try {
        const uint64_t chunks =
            std::max<uint64_t>(1, (std::min<uint64_t>(size, kWriteSize) + kChunkSize - 1) / kChunkSize);
        buffer.resize(size_t(chunks) * kChunkSize);
    } catch (const std::bad_alloc&) {
        std::printf("error allocating memory for file\n");
        markIncomplete(path);
        return false;
    }

    // The bytes go into a new file: under the name itself, or, replacing an old file, under a
    // temporary name renamed over it at the end, so neither the old file nor a hard link to it is
    // written into and a failed copy leaves the old file whole.
    std::string written = name;
    const int fd = exists
                       ? createTemporary(parent.fd, &written)
                       : ::openat(parent.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int error = errno;
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(error));
        if (fd >= 0)
            ::close(fd);
        markIncomplete(path);
        return !targetFull(error);
    }
    const std::pair<uint64_t, uint64_t> writtenId = identity(info);
    saveCreated.insert(writtenId);

    const int64_t readErrorsBefore = readErrorCount(item);
    uint64_t offset = 0;
    size_t gathered = 0;
    int counter = 0;
    bool cancel = false;
    bool shortRead = false;
    int writeError = 0;
    while (offset < size) {
        // By chunks and by time: a slow or damaged device takes long over a thousand chunks.
        if (counter == kChunksPerProgress || savePace.due()) {
            counter = 0;
            if (saveCancelledAt("write")) {
                cancel = true;
                break;
            }
        }
        // The last chunk is cut to the file's size: a read past its end could fail and cut the
        // file short, or add bytes that are not part of it.
        const uint32_t want = uint32_t(std::min<uint64_t>(kChunkSize, size - offset));
        const uint32_t got = std::min(item->read(offset, buffer.data() + gathered, want), want);
        if (got == 0) {
            std::printf("CRecovery::saveItem - error: read failed in %s at offset %llu: %llu of %llu bytes saved\n",
                        path.c_str(), static_cast<unsigned long long>(offset), static_cast<unsigned long long>(offset),
                        static_cast<unsigned long long>(size));
            shortRead = true;
            break;
        }
        gathered += got;
        offset += got;
        ++counter;
        if (buffer.size() - gathered < kChunkSize) {
            if (!writeAll(fd, buffer.data(), gathered)) {
                writeError = errno;
                break;
            }
            gathered = 0;
        }
    }
    // What was gathered is written also after a cancel: a cancelled new file keeps its bytes so far.
    if (!writeError && gathered > 0 && !writeAll(fd, buffer.data(), gathered))
        writeError = errno;
    if (::close(fd) != 0 && !writeError)
        writeError = errno;

    if (writeError) {
        // A file cut short by the target is not kept: it would pass for a whole one.
        removeWritten(parent.fd, written, writtenId);
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(writeError));
        markIncomplete(path);
        if (targetFull(writeError)) {
            std::printf("CRecovery::save - error: the target disk is full\n");
            return false;
        }
        return true;
    }
    if (cancel) {
        // A replaced file stays as it was; a new one keeps the bytes written so far.
        if (exists)
            removeWritten(parent.fd, written, writtenId);
        else
            markIncomplete(path);
        return false;
    }
    if (exists && ::renameat(parent.fd, written.c_str(), parent.fd, name.c_str()) != 0) {
        const int error = errno;
        removeWritten(parent.fd, written, writtenId);
        std::printf("error writing file %s: %s\n", path.c_str(), std::strerror(error));
        markIncomplete(path);
        return !targetFull(error);
    }
    if (shortRead) {
        markIncomplete(path);
    } else if (item->isDamaged()) {
        std::printf("CRecovery::saveItem - error: the size recorded for %s is damaged: saved as far as its blocks go\n",
                    path.c_str());
        markIncomplete(path);
    } else if (readErrorCount(item) != readErrorsBefore) {
        std::printf(
            "CRecovery::saveItem - error: %s was read over unreadable sectors, saved with zeros in their place\n",
            path.c_str());
        markIncomplete(path);
    } else {
        ++savedFileCount;
    }
    return true;
}
