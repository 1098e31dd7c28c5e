// The HTML report: its exact frame and rows, folder sections, escaping of what comes from a disk,
// failures to write, and that it lists every chosen item of a real volume.
#include "recoveryfixture.h"

#include "machelpers.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
using Bytes = std::vector<uint8_t>;

const std::string kEmptyRow = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";

// A folder's heading and title row.
std::string section(const std::string& name)
{
    std::string text = localize("ContentOfFolder");
    text.replace(text.find("%s"), 2, name);
    return "<tr><td><b>" + text + "</b></td></tr><tr><td>" + localize("Name") + "</td><td>" + localize("Size") +
           "</td><td>" + localize("Type") + "</td><td>" + localize("DateModified") + "</td><td>" + localize("ID") +
           "</td></tr>";
}

std::string fileRow(const std::string& name, const std::string& size, const std::string& date = "n/a",
                    const std::string& id = "n/a")
{
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size +
           "</small></td><td><small>File</small></td><td><small>" + date + "</small></td><td><small>" + id +
           "</small></td> </tr>";
}

std::string frame(const std::string& rows, const std::string& title = "Title", const std::string& footer = "Footer")
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body><h1>" + title +
           "</h1><small><table border='0'>" + rows + "</table></small><br><small>" + footer + "</small></body></html>";
}

// Items built by hand under the engine's result root, reported to path.
class RecoveryReport : public ::testing::Test {
protected:
    // The report written, or what was printed when writing it failed.
    std::string write(CRecovery& recovery, const std::vector<CVolumeItem*>& items, const std::string& title = "Title",
                      const std::string& footer = "Footer")
    {
        bool result = false;
        const std::string output = quietly([&] { result = recovery.saveReport(items, path, title, footer); });
        const Bytes bytes = readFileBytes(path);
        return result ? std::string(bytes.begin(), bytes.end()) : "failed: " + output;
    }
    std::string write(const std::vector<CVolumeItem*>& items, const std::string& title = "Title",
                      const std::string& footer = "Footer")
    {
        return write(engine.recovery, items, title, footer);
    }

    HandBuiltResults engine;
    CVolumeItem* root = engine.recovery.resultRoot;
    ScratchDir out;
    std::string path = out.file("r.html");
};
} // namespace

// Written over an old, longer report, which it replaces whole.
TEST_F(RecoveryReport, FilesAreRowsAndFoldersSectionsInListOrder)
{
    ASSERT_TRUE(writeFileText(path, std::string(100000, 'x')));
    MemoryFileItem* dated = addFile(root, "one.jpg", Bytes(1536));
    dated->date = 1700000000;
    dated->id = "4711";
    CVolumeItem* folder = addFolder(root, "outer");
    addFolder(folder, "inner");
    addFile(folder, "file", Bytes(500));
    EXPECT_EQ(write({dated, folder}),
              frame(fileRow("one.jpg", "2 KB", formatDate(1700000000), "4711") + section("outer") + section("inner") +
                    kEmptyRow + fileRow("file", "0 KB") + kEmptyRow));
}

TEST_F(RecoveryReport, NamesIdentifiersTitleAndFooterAreEscaped)
{
    CVolumeItem* folder = addFolder(root, "<script>&");
    addFile(folder, "a<b>&\"c'.txt")->id = "<7>";
    EXPECT_EQ(write({folder}, "Tom & Jerry <3", "\xC2\xA9 A & B"),
              frame(section("&lt;script&gt;&amp;") +
                        fileRow("a&lt;b&gt;&amp;&quot;c&#39;.txt", "0 KB", "n/a", "&lt;7&gt;") + kEmptyRow,
                    "Tom &amp; Jerry &lt;3", "\xC2\xA9 A &amp; B"));
}

TEST_F(RecoveryReport, ControlCharactersAndNoCharactersBecomeReplacementCharacters)
{
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"tab\tnl\ncr\resc\x1b[31m", "tab" + r + "nl" + r + "cr" + r + "esc" + r + "[31m"},
        {"del\x7f c1\xC2\x85\xC2\x9F", "del" + r + " c1" + r + r},
        {"nonchar\xEF\xBF\xBF\xEF\xBF\xBE", "nonchar" + r + r},
        {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7 \xC2\xA0",
         "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7 \xC2\xA0"},
        {"bad\xFF\xC3(\xE6\x97", "bad" + r + r + "(" + r + r}, // stray, cut-off and unfinished
        {"over\xC0\xAF\xED\xA0\x80\xF8\x88\x80\x80\x80", "over" + r + r + r + r + r + r + r + r + r + r},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(htmlEscape(text), shown) << text;

    addFile(root, "a\x01"
                  "b\xEF\xBF\xBF.txt");
    EXPECT_EQ(write({root->children.back()}), frame(fileRow("a" + r + "b" + r + ".txt", "0 KB")));
}

TEST_F(RecoveryReport, FolderInsideItselfIsListedOnce)
{
    CVolumeItem* folder = addFolder(root, "loop");
    addFile(folder, "x", Bytes(1));
    folder->addChild(folder);
    const std::string html = write({folder});
    folder->children.pop_back();
    EXPECT_EQ(html, frame(section("loop") + fileRow("x", "0 KB") + kEmptyRow));
}

TEST_F(RecoveryReport, FailedOpenOrWriteIsAFailure)
{
    path = out.file("missing/r.html");
    const std::string failed = write({});
    EXPECT_EQ(failed.rfind("failed: ", 0), 0u) << failed;
    EXPECT_NE(failed.find("cannot open " + path), std::string::npos) << failed;

    for (int i = 0; i < 50; ++i)
        addFile(root, "file" + std::to_string(i), Bytes(10));
    path = out.file("r.html");
    bool result = true;
    const std::string text = withFileSizeLimit(1024, [&] {
        result = engine.recovery.saveReport({root->children.begin(), root->children.end()}, path, "T", "F");
    });
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("error writing " + path), std::string::npos) << text;
}

TEST_F(RecoveryReport, ReportOfAnXorrisoVolumeListsEveryChosenItem)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("a&b <c>.txt", 3000, 1).file("docs/x.bin", 10, 2).file("docs/sub/y", 0, 3).folder("empty");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    BrowsedRecovery recovery(xd.partition);
    ASSERT_NE(recovery.resultRoot, nullptr);
    quietly([&] { recovery.resultRoot->addChildren(); });
    const std::string html =
        write(recovery, {recovery.resultRoot->children.begin(), recovery.resultRoot->children.end()});

    int files = 0, folders = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(xd.source)) {
        const std::string name = htmlEscape(entry.path().filename().string());
        const bool folder = entry.is_directory();
        ++(folder ? folders : files);
        EXPECT_NE(html.find(folder ? section(name) : "<tr> <td><small>" + name + "</small>"), std::string::npos)
            << name;
    }
    EXPECT_EQ(countOccurrences(html, "<tr> <td><small>"), files);
    EXPECT_EQ(countOccurrences(html, "<tr><td><b>"), folders);
}
