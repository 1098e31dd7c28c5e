// The built resources the window asks for by name, and an English text for every key it looks up.
#include "resourcedir.h"
#include "stringstable.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QImageReader>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How many "%@" a text holds; -1 when it holds any other "%" directive (a stray "%d" or a lone "%"
// would read an argument the caller never passes). "%%" is a literal percent sign.
int objectArguments(const std::string& text)
{
    int count = 0;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 2)) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (next == '@')
            ++count;
        else if (next != '%')
            return -1;
    }
    return count;
}

TEST(InterfaceStrings, EveryKeyHasAnEnglishTextTakingExactlyTheArgumentsItsCallerPasses)
{
    std::istringstream keys(
        "AboutApp PreferencesOther Services HideApp HideOthers ShowAll QuitApp View Sort ByName BySize "
        "Window Minimize Zoom BringAllToFront Help AppHelp SpeakHintText Folders Name Size Type Modified "
        "ID Table Thumbnails ReadErrors FileViewer DeletedFilesScan LimitTextScanByKeywords "
        "ActivatePlainTextScanning ScanOptions BeforeStartingScanOptionsInfo EnterUniqueContentInfo "
        "StartScan Cancel ChooseDisk BrowseVolume LostFilesScan LostVolumesScan Save SaveFileList ViewFile "
        "About Search ChooseDiskToolHint BrowseVolumeToolHint DeletedFilesScanToolHint "
        "LostFilesScanToolHint LostVolumesScanToolHint SaveToolHint SaveFileListToolHint "
        "ToggleViewerToolHint HelpToolHint AboutToolHint ScanProgress OverwriteConfirmation "
        "AskOverwriteFile Yes No OK CloseScanResults AskClearScanResults ChooseDiskHint ErrorOpeningDisk "
        "ErrorOpeningDiskNotice SelectFilesToRecoverHint SelectVolumeToRecoverHint ScanOptionsHint "
        "ScanningLostVolumesPleaseWait ScanningLostFilesPleaseWait ScanningDeletedFilesPleaseWait "
        "EndOfScan EndOfScanNotice SavingFiles ChooseFolderNotice ChooseFolderForFiles SavingPleaseWait "
        "SaveProgress AskSaveOnSourceDisk SaveIncompleteNotice SaveReportFailedNotice ChooseNameFileReport "
        "SavingReportPleaseWait SaveReportProgress AppFileListReportOnDate SearchingFilesPleaseWait "
        "SearchProgress ClearSearch MoreItems");
    // The texts formatted with this many objects; every other text must not look like a format.
    const std::map<std::string, int> formatted = {{"AboutApp", 1},        {"HideApp", 1},
                                                  {"QuitApp", 1},         {"AppHelp", 1},
                                                  {"ChooseDiskHint", 2},  {"AppFileListReportOnDate", 2},
                                                  {"AskOverwriteFile", 1}};
    StringsMap table;
    std::string error;
    ASSERT_TRUE(loadStringsTable(GLEANER_SOURCE_DIR "/resources/en.lproj/Localizable.strings", table, &error)) << error;
    for (std::string key; keys >> key;) {
        SCOPED_TRACE(key);
        const auto found = table.find(key);
        ASSERT_NE(found, table.end()) << "no text for this key";
        EXPECT_FALSE(found->second.empty());
        const auto arguments = formatted.find(key);
        EXPECT_EQ(objectArguments(found->second), arguments == formatted.end() ? 0 : arguments->second)
            << found->second;
    }
}

TEST(BuiltResources, EveryNamedImageLoadsAtItsSize)
{
    // Folder previews, splash, window icon, then the list and toolbar icons, all 32 x 32.
    std::vector<std::pair<QString, QSize>> images = {{"folderclosedbig2.png", {128, 128}},
                                                     {"folderclosedbiglost2.png", {128, 128}},
                                                     {"splash", {600, 320}},
                                                     {"gleaner.png", {256, 256}}};
    for (const QString& icon :
         QStringLiteral("find.gif harddisk.png harddisklost.png removable.png removablelost.png "
                        "volume.png volumelost.png folderclosed2.png folderopen.png "
                        "folderclosedlost2.png folderopenlost.png file2.png filelost2.png "
                        "choosedisk.png browsevolume.png deletedfilesscan.png lostfilesscan.png "
                        "lostvolumesscan.png save.png savereport.png viewer.png help.png about.png")
             .split(' '))
        images.emplace_back(icon, QSize(32, 32));
    for (const auto& [name, size] : images) {
        SCOPED_TRACE(name.toStdString());
        const std::string path = namedResourcePath(GLEANER_RESOURCE_DIR, name.toStdString());
        ASSERT_FALSE(path.empty()) << "not in " << GLEANER_RESOURCE_DIR;
        const QImage loaded(QString::fromStdString(path));
        ASSERT_FALSE(loaded.isNull());
        EXPECT_EQ(loaded.size(), size);
        EXPECT_TRUE(loaded.hasAlphaChannel()); // drawn shapes on a clear ground
    }
    QImageReader gif(QString::fromStdString(namedResourcePath(GLEANER_RESOURCE_DIR, "find.gif")));
    gif.setDecideFormatFromContent(true);
    EXPECT_EQ(gif.format(), "gif");
}

} // namespace
