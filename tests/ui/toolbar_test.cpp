// The toolbar: its items, the enabling rules by selection, the hover hints and the search field.
#include "commandfixture.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QLineEdit>
#include <QTest>
#include <QToolBar>

namespace {

const char* const kCommandIds[] = {"ChooseDisk", "BrowseVolume", "DeletedFilesScan", "LostFilesScan", "LostVolumesScan",
                                   "Save",       "SaveFileList", "ToggleViewer",     "Help",          "About",
                                   "Search"};

TEST(Toolbar, LaysOutTheCommandsWithTheSearchFieldAtTheRight)
{
    CommandHarness h;
    QToolBar* bar = h.controller->mainToolbar;
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isMovable());
    QStringList shown;
    for (QAction* action : bar->actions())
        shown << (action->isSeparator() ? QStringLiteral("|") : action->objectName());
    EXPECT_EQ(shown.join(QLatin1Char(' ')),
              QStringLiteral("ChooseDisk | BrowseVolume DeletedFilesScan LostFilesScan LostVolumesScan | Save "
                             "SaveFileList ToggleViewer | About Help  Search"));
    auto* field = qobject_cast<QLineEdit*>(h.toolbarView("Search"));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field, h.controller->searchField);
    EXPECT_EQ(field->minimumWidth(), 30);
    EXPECT_EQ(field->maximumWidth(), 400);
    for (const char* id : kCommandIds) {
        SCOPED_TRACE(id);
        QWidget* view = h.toolbarView(id);
        ASSERT_NE(view, nullptr);
        EXPECT_FALSE(view->accessibleName().isEmpty());
    }
    // The viewer's label has a key of its own.
    EXPECT_EQ(h.toolbarView("ToggleViewer")->accessibleName(), QStringLiteral("ViewFile"));
}

TEST(Toolbar, EnablesEachCommandByTheSelection)
{
    CommandHarness h;
    CVolumeItem someFolder(true);
    struct Case {
        const char* state;
        std::function<void()> select;
        const char* enabled; // one letter per command of kCommandIds, '1' on, '0' off
    };
    // ChooseDisk Browse Deleted Lost LostVolumes Save Report Viewer Help About Search
    const Case cases[] = {
        {"nothing selected", [] {}, "10000001110"},
        {"a partition", [&] { h.controller->disk = h.partition; }, "11110001110"},
        {"a whole disk", [&] { h.controller->disk = h.wholeDisk; }, "10111001110"},
        {"a folder", [&] { h.controller->folder = &someFolder; }, "10000111110"},
        {"a result tree",
         [&] {
             quietly([&] { h.controller->recovery()->setDisk(h.partition); });
             h.engine->buildResults(ItemDeleted, "Deleted");
         },
         "10000001111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        h.controller->disk = nullptr;
        h.controller->folder = nullptr;
        c.select();
        h.controller->validateCommands();
        std::string got;
        for (const char* id : kCommandIds)
            got += h.toolbarView(id)->isEnabled() ? '1' : '0';
        EXPECT_EQ(got, c.enabled);
    }
    h.controller->folder = nullptr;
}

TEST(Toolbar, HoverHintsComeFromEnabledButtonsOnceEach)
{
    CommandHarness h;
    h.controller->validateCommands();
    h.controller->helpText = QStringLiteral("before");
    h.controller->fadestate = 0;

    // A disabled button leaves the hint line alone.
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(h.toolbarView("BrowseVolume"), &enter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("before"));
    EXPECT_EQ(h.controller->fadestate, 0);

    QCoreApplication::sendEvent(h.toolbarView("About"), &enter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("AboutToolHint"));
    EXPECT_EQ(h.controller->fadestate, 2) << "a new hint fades the line";
    h.controller->fadestate = 0;
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(h.toolbarView("About"), &leave);
    QCoreApplication::sendEvent(h.toolbarView("About"), &enter);
    EXPECT_EQ(h.controller->fadestate, 0) << "the same hint again does not fade";
    EXPECT_EQ(h.controller->helpText, QStringLiteral("AboutToolHint")) << "leaving keeps the hint";

    // A sheet closing over the button enters it again where the pointer left it: that is no hover,
    // and the hint the command ended with stays.
    h.controller->helpText = QStringLiteral("SelectFilesToRecoverHint");
    QCoreApplication::sendEvent(h.toolbarView("About"), &leave);
    const QPointF still = QCursor::pos();
    QEnterEvent reenter(QPointF(2, 2), still, still);
    QCoreApplication::sendEvent(h.toolbarView("About"), &reenter);
    EXPECT_EQ(h.controller->helpText, QStringLiteral("SelectFilesToRecoverHint"));
}

TEST(Toolbar, SearchFieldSearchesOnlyWhenTheEntryEnds)
{
    CommandHarness h;
    ASSERT_TRUE(h.selectInOutline(h.partition));
    h.controller->browseVolume();
    auto* field = qobject_cast<QLineEdit*>(h.toolbarView("Search"));
    ASSERT_TRUE(field->isEnabled());
    h.engine->calls.clear();
    QTest::keyClicks(field, QStringLiteral("a.t"));
    EXPECT_TRUE(h.engine->calls.empty());
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(h.engine->calls, std::vector<std::string>{"searchItems(a.t)"});
}

} // namespace
