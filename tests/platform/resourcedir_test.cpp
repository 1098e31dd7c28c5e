#include "resourcedir.h"

#include "fakesysfs.h"
#include "scopedenvironment.h"

#include <gtest/gtest.h>

#include <string>

TEST(ResourceDirectory, NamedResourceTriesTheNameThenTheKnownExtensions)
{
    FakeSysfs folder;
    folder.write("splash.png", "p");
    folder.write("splash.gif", "g"); // the earlier extension wins
    folder.write("find.gif", "g");
    folder.write("complete.aif", "a");
    folder.write("Localizable", "plain");
    folder.write("sub.png/inner", "a folder is not an image");
    const struct {
        const char* name;
        const char* file; // relative to the folder; empty: none
    } cases[] = {{"splash", "splash.png"},
                 {"find.gif", "find.gif"},
                 {"find", "find.gif"},
                 {"complete", "complete.aif"},
                 {"Localizable", "Localizable"},
                 {"missing", ""},
                 {"sub", ""},
                 {"", ""},
                 {"../splash", ""},
                 {"..", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = *c.file ? folder.root() + "/" + c.file : std::string();
        EXPECT_EQ(namedResourcePath(folder.root(), c.name), expected);
    }
}

TEST(ResourceDirectory, EnvironmentOverrideWinsOnlyWhenItIsAFolder)
{
    ScopedEnvironment environment;
    FakeSysfs folder;
    folder.write("splash.png", "p");

    environment.set("GLEANER_RESOURCES", folder.root().c_str());
    EXPECT_EQ(resourceDirectory(), folder.root());
    EXPECT_EQ(namedResourcePath("splash"), folder.root() + "/splash.png");
    environment.set("GLEANER_RESOURCES", (folder.root() + "/splash.png").c_str());
    EXPECT_NE(resourceDirectory(), folder.root() + "/splash.png");
    EXPECT_FALSE(resourceDirectory().empty());
}
