#include "resourcedir.h"

#include "fakesysfs.h"
#include "scopedenvironment.h"

#include <gtest/gtest.h>

#include <string>

// The folder GLEANER_RESOURCES names overrides the built one, when it is a folder. A name is looked
// up as it is, then with the known extensions in turn; only a regular file counts.
TEST(ResourceDirectory, NamedResourceTriesTheNameThenTheKnownExtensionsInTheOverridingFolder)
{
    FakeSysfs folder;
    folder.write("splash.png", "p");
    folder.write("splash.gif", "g"); // the earlier extension wins
    folder.write("find.gif", "g");
    folder.write("complete.aif", "a");
    folder.write("Localizable", "plain");
    folder.write("sub.png/inner", "a folder is not an image");
    ScopedEnvironment environment;
    environment.set("GLEANER_RESOURCES", folder.root().c_str());
    EXPECT_EQ(resourceDirectory(), folder.root());
    // Each name and the file it finds, relative to the folder; empty: none.
    const char* const cases[][2] = {
        {"splash", "splash.png"},
        {"find.gif", "find.gif"},
        {"find", "find.gif"},
        {"complete", "complete.aif"},
        {"Localizable", "Localizable"},
        {"missing", ""},
        {"sub", ""},
        {"", ""},
        {"../splash", ""},
        {"..", ""},
    };
    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(namedResourcePath(name), *file ? folder.root() + "/" + file : std::string());
    }
    environment.set("GLEANER_RESOURCES", (folder.root() + "/splash.png").c_str());
    EXPECT_NE(resourceDirectory(), folder.root() + "/splash.png") << "a file is no override";
    EXPECT_FALSE(resourceDirectory().empty());
}
