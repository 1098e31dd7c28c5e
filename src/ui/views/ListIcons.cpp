#include "ListIcons.h"

#include "logger.h"
#include "resourcedir.h"

#include <QFile>
#include <QPixmap>

#include <array>
#include <optional>

namespace {

struct IconEntry {
    int index;
    const char* resource;
};

constexpr std::array<IconEntry, 13> kIconTable{{
    {0, "folderclosed2.png"},
    {1, "folderopen.png"},
    {2, "file2.png"},
    {4, "filelost2.png"},
    {6, "folderopenlost.png"},
    {7, "folderclosedlost2.png"},
    {8, "harddisk.png"},
    {9, "harddisklost.png"},
    {10, "removable.png"},
    {11, "removablelost.png"},
    {12, "volume.png"},
    {13, "volumelost.png"},
    {14, "find.gif"},
}};

constexpr int kMaxIndex = 14;

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
