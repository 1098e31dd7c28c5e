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
    const struct {
        const char* name;
        int width;
        int height;
    } images[] = {// list icons
                  {"find.gif", 32, 32},
                  {"harddisk.png", 32, 32},
                  {"harddisklost.png", 32, 32},
                  {"removable.png", 32, 32},
                  {"removablelost.png", 32, 32},
                  {"volume.png", 32, 32},
                  {"volumelost.png", 32, 32},
                  {"folderclosed2.png", 32, 32},
                  {"folderopen.png", 32, 32},
                  {"folderclosedlost2.png", 32, 32},
                  {"folderopenlost.png", 32, 32},
                  {"file2.png", 32, 32},
                  {"filelost2.png", 32, 32},
                  // toolbar
                  {"choosedisk.png", 32, 32},
                  {"browsevolume.png", 32, 32},
                  {"deletedfilesscan.png", 32, 32},
                  {"lostfilesscan.png", 32, 32},
                  {"lostvolumesscan.png", 32, 32},
                  {"save.png", 32, 32},
                  {"savereport.png", 32, 32},
                  {"viewer.png", 32, 32},
                  {"help.png", 32, 32},
                  {"about.png", 32, 32},
                  // folder previews, splash, window icon
                  {"folderclosedbig2.png", 128, 128},
                  {"folderclosedbiglost2.png", 128, 128},
                  {"splash", 600, 320},
                  {"gleaner.png", 256, 256}};
    for (const auto& image : images) {
        SCOPED_TRACE(image.name);
        const std::string path = builtResource(image.name);
        ASSERT_FALSE(path.empty()) << "not in " << GLEANER_RESOURCE_DIR;
        const QImage loaded(QString::fromStdString(path));
        ASSERT_FALSE(loaded.isNull());
        EXPECT_EQ(loaded.width(), image.width);
        EXPECT_EQ(loaded.height(), image.height);
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
