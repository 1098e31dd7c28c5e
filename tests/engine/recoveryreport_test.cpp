// The HTML report: its exact frame and rows, folder sections, sizes, escaping of what comes from a
// disk, failures to write, and that it is well-formed HTML listing every chosen item.
#include "recoveryfixture.h"

#include "machelpers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace {
using Bytes = std::vector<uint8_t>;

const std::string kEmptyRow = "<tr><td></td><td></td><td></td><td></td><td></td></tr>";

std::string titleRow()
{
    return "<tr><td>" + localize("Name") + "</td><td>" + localize("Size") + "</td><td>" + localize("Type") +
           "</td><td>" + localize("DateModified") + "</td><td>" + localize("ID") + "</td></tr>";
}

std::string heading(const std::string& name)
{
    std::string text = localize("ContentOfFolder");
    text.replace(text.find("%s"), 2, name);
    return "<tr><td><b>" + text + "</b></td></tr>";
}

std::string fileRow(const std::string& name, const std::string& size, const std::string& date, const std::string& id)
{
    return "<tr> <td><small>" + name + "</small></td><td><small>" + size +
           "</small></td><td><small>File</small></td><td><small>" + date + "</small></td><td><small>" + id +
           "</small></td> </tr>";
}

std::string frame(const std::string& rows)
{
    return "<html><body><h1>Title</h1><small><table border='0'>" + rows +
           "</table></small><br><small>Footer</small></body></html>";
}

bool report(CRecovery& recovery, const std::vector<CVolumeItem*>& items, const std::string& path,
            std::string* text = nullptr)
{
    bool result = false;
    const std::string output = quietly([&] { result = recovery.saveReport(items, path, "Title", "Footer"); });
    if (text)
        *text = output;
    return result;
}

std::string fileText(const std::string& path)
{
    const Bytes bytes = readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Empty when the text is well-formed: every tag closed in order (br excepted), attribute values
// quoted, and no "<", ">" or bare "&" in the text between tags. Otherwise what is wrong.
std::string htmlProblems(const std::string& html)
{
    std::vector<std::string> open;
    size_t i = 0;
    while (i < html.size()) {
        if (html[i] == '<') {
            const size_t end = html.find('>', i);
            if (end == std::string::npos)
                return "unterminated tag at " + std::to_string(i);
            std::string tag = html.substr(i + 1, end - i - 1);
            if (tag.find('<') != std::string::npos)
                return "'<' inside a tag at " + std::to_string(i);
            const bool closing = !tag.empty() && tag[0] == '/';
            const std::string bare = tag.substr(closing ? 1 : 0);
            const std::string name = bare.substr(0, bare.find(' '));
            if (name.empty())
                return "empty tag at " + std::to_string(i);
            if (!closing && tag.find('=') != std::string::npos && tag.find("='") == std::string::npos)
                return "unquoted attribute in <" + tag + ">";
            if (name == "br") {
            } else if (closing) {
                if (open.empty() || open.back() != name)
                    return "</" + name + "> does not close " + (open.empty() ? std::string("anything") : open.back());
                open.pop_back();
            } else {
                open.push_back(name);
            }
            i = end + 1;
        } else if (html[i] == '>') {
            return "'>' in text at " + std::to_string(i);
        } else if (html[i] == '&') {
            const size_t semicolon = html.find(';', i);
            const std::string entity = semicolon == std::string::npos ? "" : html.substr(i, semicolon - i + 1);
            if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;" && entity != "&#39;")
                return "bare '&' at " + std::to_string(i);
            i = semicolon + 1;
        } else {
            ++i;
        }
    }
    return open.empty() ? std::string() : "<" + open.back() + "> left open";
}
} // namespace

TEST(RecoveryReport, EmptyListGivesTheFrameOnly)
{
    HandBuiltResults engine;
    ScratchDir out;
    EXPECT_TRUE(report(engine.recovery, {}, out.file("report.html")));
    EXPECT_EQ(fileText(out.file("report.html")), frame(""));
}

TEST(RecoveryReport, FilesGiveOneRowEachWithoutTitleRow)
{
    HandBuiltResults engine;
    MemoryFileItem* dated = addFile(engine.recovery.resultRoot, "one.jpg", Bytes(1536));
    dated->date = 1700000000;
    dated->id = "4711";
    MemoryFileItem* plain = addFile(engine.recovery.resultRoot, "two", Bytes(500));
    ScratchDir out;
    EXPECT_TRUE(report(engine.recovery, {dated, plain}, out.file("r.html")));
    EXPECT_EQ(fileText(out.file("r.html")),
              frame(fileRow("one.jpg", "2 KB", formatDate(1700000000), "4711") + fileRow("two", "0 KB", "n/a", "n/a")));
}

TEST(RecoveryReport, FolderIsASectionWithItsChildrenInChildOrder)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "outer");
    addFolder(folder, "inner");
    addFile(folder, "file", Bytes(2048));
    ScratchDir out;
    EXPECT_TRUE(report(engine.recovery, {folder}, out.file("r.html")));
    EXPECT_EQ(fileText(out.file("r.html")),
              frame(heading("outer") + titleRow() + heading("inner") + titleRow() + kEmptyRow +
                    fileRow("file", "2 KB", "n/a", "n/a") + kEmptyRow));
}

TEST(RecoveryReport, NamesIdentifiersTitleAndFooterAreEscaped)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "<script>&");
    MemoryFileItem* file = addFile(folder, "a<b>&\"c'.txt", Bytes(10));
    file->id = "<7>";
    ScratchDir out;
    EXPECT_TRUE(report(engine.recovery, {folder}, out.file("r.html")));
    const std::string html = fileText(out.file("r.html"));
    EXPECT_EQ(html, frame(heading("&lt;script&gt;&amp;") + titleRow() +
                          fileRow("a&lt;b&gt;&amp;&quot;c&#39;.txt", "0 KB", "n/a", "&lt;7&gt;") + kEmptyRow));
    EXPECT_EQ(htmlProblems(html), "");

    quietly([&] { engine.recovery.saveReport({}, out.file("t.html"), "Tom & Jerry <3", "\xC2\xA9 A & B"); });
    EXPECT_EQ(fileText(out.file("t.html")), "<html><body><h1>Tom &amp; Jerry &lt;3</h1><small><table border='0'>"
                                            "</table></small><br><small>\xC2\xA9 A &amp; B</small></body></html>");
}

TEST(RecoveryReport, FailedOpenIsReported)
{
    HandBuiltResults engine;
    ScratchDir out;
    std::string text;
    EXPECT_FALSE(report(engine.recovery, {}, out.file("missing/r.html"), &text));
    EXPECT_NE(text.find("cannot open " + out.file("missing/r.html")), std::string::npos) << text;
}

TEST(RecoveryReport, FailedWriteIsReported)
{
    HandBuiltResults engine;
    for (int i = 0; i < 50; ++i)
        addFile(engine.recovery.resultRoot, "file" + std::to_string(i), Bytes(10));
    std::vector<CVolumeItem*> items(engine.recovery.resultRoot->children.begin(),
                                    engine.recovery.resultRoot->children.end());
    ScratchDir out;
    // A file-size limit makes the write fail as a full disk would.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    bool result = true;
    std::string text;
    {
        OutputCapture capture;
        struct rlimit limited = old;
        limited.rlim_cur = 1024;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        result = engine.recovery.saveReport(items, out.file("r.html"), "Title", "Footer");
        ::setrlimit(RLIMIT_FSIZE, &old);
        text = capture.finish();
    }
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("error writing " + out.file("r.html")), std::string::npos) << text;
}

TEST(RecoveryReport, WritingOverAnOldReportReplacesItWhole)
{
    HandBuiltResults engine;
    ScratchDir out;
    ASSERT_TRUE(writeFileText(out.file("r.html"), std::string(100000, 'x')));
    EXPECT_TRUE(report(engine.recovery, {}, out.file("r.html")));
    EXPECT_EQ(fileText(out.file("r.html")), frame(""));
}

TEST(RecoveryReport, FolderInsideItselfIsListedOnce)
{
    HandBuiltResults engine;
    CVolumeItem* folder = addFolder(engine.recovery.resultRoot, "loop");
    addFile(folder, "x", Bytes(1));
    folder->addChild(folder);
    ScratchDir out;
    EXPECT_TRUE(report(engine.recovery, {folder}, out.file("r.html")));
    EXPECT_EQ(fileText(out.file("r.html")),
              frame(heading("loop") + titleRow() + fileRow("x", "0 KB", "n/a", "n/a") + kEmptyRow));
    folder->children.pop_back();
}

TEST(RecoveryReport, ReportOfAnXorrisoVolumeListsEveryChosenItemAsValidHtml)
{
    RECOVERY_REQUIRE_TOOLS("xorriso");
    TreeSpec tree;
    tree.file("a&b <c>.txt", 3000, 1).file("docs/x.bin", 10, 2).file("docs/sub/y", 0, 3).folder("empty");
    XorrisoDisk xd;
    ASSERT_NO_FATAL_FAILURE(makeXorrisoDisk(&xd, tree));
    CRecovery recovery;
    quietly([&] {
        recovery.setDisk(xd.partition);
        recovery.openExistingVolume();
        recovery.resultRoot->addChildren();
    });
    ASSERT_NE(recovery.resultRoot, nullptr);
    ScratchDir out;
    std::vector<CVolumeItem*> items(recovery.resultRoot->children.begin(), recovery.resultRoot->children.end());
    EXPECT_TRUE(report(recovery, items, out.file("report.html")));
    const std::string html = fileText(out.file("report.html"));
    EXPECT_EQ(htmlProblems(html), "");

    int files = 0, folders = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(xd.source)) {
        const std::string name = htmlEscape(entry.path().filename().string());
        if (entry.is_directory()) {
            ++folders;
            EXPECT_NE(html.find(heading(name)), std::string::npos) << name;
        } else {
            ++files;
            EXPECT_NE(html.find("<tr> <td><small>" + name + "</small>"), std::string::npos) << name;
        }
    }
    EXPECT_EQ(countOccurrences(html, "<tr> <td><small>"), files);
    EXPECT_EQ(countOccurrences(html, "<tr><td><b>"), folders);
    quietly([&] { recovery.setDisk(nullptr); });
}
