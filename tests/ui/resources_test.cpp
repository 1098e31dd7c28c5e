// The build's resource folder holds every resource the window asks for by name, each readable the
// way the program reads it: images by content (find.gif is a real GIF), the sound as 16-bit AIFF,
// the help file named by the Info table.
#include "machelpers.h"
#include "resourcedir.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QImageReader>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {
std::string builtResource(const std::string& name)
{
    return namedResourcePath(GLEANER_RESOURCE_DIR, name);
}
} // namespace

TEST(BuiltResources, EveryNamedImageLoadsAtItsSize)
{
    // The list icons, then the toolbar's, all 32 x 32.
    const char* const icons[] = {"find.gif",           "harddisk.png",
                                 "harddisklost.png",   "removable.png",
                                 "removablelost.png",  "volume.png",
                                 "volumelost.png",     "folderclosed2.png",
                                 "folderopen.png",     "folderclosedlost2.png",
                                 "folderopenlost.png", "file2.png",
                                 "filelost2.png",      "choosedisk.png",
                                 "browsevolume.png",   "deletedfilesscan.png",
                                 "lostfilesscan.png",  "lostvolumesscan.png",
                                 "save.png",           "savereport.png",
                                 "viewer.png",         "help.png",
                                 "about.png"};
    // Folder previews, splash, window icon.
    std::vector<std::pair<const char*, QSize>> images = {{"folderclosedbig2.png", {128, 128}},
                                                         {"folderclosedbiglost2.png", {128, 128}},
                                                         {"splash", {600, 320}},
                                                         {"gleaner.png", {256, 256}}};
    for (const char* icon : icons)
        images.emplace_back(icon, QSize(32, 32));
    for (const auto& [name, size] : images) {
        SCOPED_TRACE(name);
        const std::string path = builtResource(name);
        ASSERT_FALSE(path.empty()) << "not in " << GLEANER_RESOURCE_DIR;
        const QImage loaded(QString::fromStdString(path));
        ASSERT_FALSE(loaded.isNull());
        EXPECT_EQ(loaded.size(), size);
        EXPECT_TRUE(loaded.hasAlphaChannel()); // drawn shapes on a clear ground
    }
    QImageReader gif(QString::fromStdString(builtResource("find.gif")));
    gif.setDecideFormatFromContent(true);
    EXPECT_EQ(gif.format(), "gif");
}

TEST(BuiltResources, EndOfScanSoundIsShortMonoSixteenBitAiff)
{
    std::ifstream file(builtResource("complete.aif"), std::ios::binary);
    ASSERT_TRUE(file) << "complete.aif is not in " << GLEANER_RESOURCE_DIR;
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), {});
    ASSERT_GE(bytes.size(), 54u);
    const auto be = [&](size_t at, int count) {
        unsigned long value = 0;
        for (int i = 0; i < count; ++i)
            value = value << 8 | bytes[at + size_t(i)];
        return value;
    };
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "FORM");
    EXPECT_EQ(be(4, 4) + 8, bytes.size());
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "AIFFCOMM");
    EXPECT_EQ(be(20, 2), 1u);          // mono
    EXPECT_EQ(be(26, 2), 16u);         // bits
    EXPECT_EQ(be(28, 4), 0x400EAC44u); // 44100 Hz as an 80-bit extended number
    const unsigned long frames = be(22, 4);
    EXPECT_GT(frames, 44100u / 4);
    EXPECT_LT(frames, 44100u); // under a second
    EXPECT_EQ(std::string(bytes.begin() + 38, bytes.begin() + 42), "SSND");
    EXPECT_EQ(bytes.size(), 54 + frames * 2);
}

TEST(BuiltResources, HelpFileNamedByTheInfoTableIsThere)
{
    const std::optional<std::string> help = infoValue("HelpFile");
    ASSERT_TRUE(help.has_value());
    std::ifstream file(std::string(GLEANER_RESOURCE_DIR) + "/" + *help);
    ASSERT_TRUE(file) << *help;
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    EXPECT_NE(text.find("<title>Gleaner Help</title>"), std::string::npos);
}
