#include "ListIcons.h"

#include "interfaces.h"
#include "logger.h"
#include "resourcedir.h"

#include <QFile>
#include <QPixmap>

#include <array>
#include <optional>

namespace {

struct IconEntry {
    ImageIndex index;
    const char* resource;
};

constexpr std::array<IconEntry, 13> kIconTable{{
    {FolderClosedImage, "folderclosed2.png"},
    {FolderOpenImage, "folderopen.png"},
    {FileImage, "file2.png"},
    {FileDeletedImage, "filelost2.png"},
    {FolderOpenDeletedImage, "folderopenlost.png"},
    {FolderClosedDeletedImage, "folderclosedlost2.png"},
    {FixedImage, "harddisk.png"},
    {FixedLostImage, "harddisklost.png"},
    {RemovableImage, "removable.png"},
    {RemovableLostImage, "removablelost.png"},
    {VolumeImage, "volume.png"},
    {VolumeLostImage, "volumelost.png"},
    {SearchImage, "find.gif"},
}};

constexpr int kMaxIndex = SearchImage;

std::optional<std::array<QIcon, kMaxIndex + 1>>& loadedIcons()
{
    static std::optional<std::array<QIcon, kMaxIndex + 1>> icons;
    return icons;
}

} // namespace

const char* listIconResourceName(int index)
{
    for (const IconEntry& entry : kIconTable)
        if (entry.index == index)
            return entry.resource;
    return nullptr;
}

void loadListIcons(const QString& dir)
{
    std::array<QIcon, kMaxIndex + 1> icons;
    for (const IconEntry& entry : kIconTable) {
        const QString path = dir + QLatin1Char('/') + QString::fromLatin1(entry.resource);
        // QPixmap::load fails quietly on a missing or damaged file; the index then simply has no icon.
        QPixmap pixmap;
        if (QFile::exists(path) && pixmap.load(path))
            icons[size_t(entry.index)] = QIcon(pixmap);
    }
    loadedIcons() = std::move(icons);
}

QIcon getImageByIdx(int index)
{
    if (!listIconResourceName(index)) {
        GLEANER_LOG("unknown index: %d\n", index);
        return QIcon();
    }
    if (!loadedIcons())
        loadListIcons(QString::fromStdString(resourceDirectory()));
    return (*loadedIcons())[size_t(index)];
}
