// The interface texts: titles come from the string table (a missing text shows its key), the
// application's short name goes into four menu titles, and formats take their arguments as data.
#include "QuilThumbnailView.h"
#include "uifakes.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

namespace {

// Every visible title of the window and its sheets, by where it is shown.
std::map<QString, QString> titlesOf(const AppController& c)
{
    std::map<QString, QString> titles;
    const std::function<void(QMenu*, const QString&)> walk = [&](QMenu* menu, const QString& path) {
        int position = 0;
        for (QAction* action : menu->actions()) {
            const QString where = path + QLatin1Char('/') + QString::number(position++);
            titles[where] = action->text();
            if (action->menu())
                walk(action->menu(), where);
        }
    };
    int position = 0;
    for (QAction* top : c.mainWindow->menuBar()->actions()) {
        const QString where = QStringLiteral("menu ") + QString::number(position++);
        if (top->menu() != c.applicationMenu) // titled with the application's name itself
            titles[where] = top->text();
        walk(top->menu(), where);
    }
    titles[QStringLiteral("outline 0")] = c.outlineView->model()->headerData(0, Qt::Horizontal).toString();
    for (int column = 0; column < 5; ++column)
        titles[QStringLiteral("table ") + QString::number(column)] =
            c.tableView->model()->headerData(column, Qt::Horizontal).toString();
    titles[QStringLiteral("tab 0")] = c.tabView->tabText(0);
    titles[QStringLiteral("tab 1")] = c.tabView->tabText(1);
    titles[QStringLiteral("speak")] = c.speakHintsCheckbox->text();
    titles[QStringLiteral("read errors")] = c.readErrorsText->text();
    titles[QStringLiteral("scan window")] = c.scanWindow->windowTitle();
    titles[QStringLiteral("limit")] = c.limitTextKeywordsCheckbox->text();
    titles[QStringLiteral("activate")] = c.activateTextScanCheckbox->text();
    titles[QStringLiteral("options")] = c.scanOptionsStatic->text();
    titles[QStringLiteral("options header")] = c.scanOptionsHeaderStatic->text();
    titles[QStringLiteral("keywords")] = c.scanTextKeywordsStatic->text();
    titles[QStringLiteral("start")] = c.startScanButton->text();
    titles[QStringLiteral("cancel scan")] = c.cancelScanButton->text();
    titles[QStringLiteral("progress window")] = c.progressWindow->windowTitle();
    titles[QStringLiteral("cancel progress")] = c.progressCancelButton->text();
    titles[QStringLiteral("viewer")] = c.viewerWindow->windowTitle();
    return titles;
}

TEST(InterfaceTexts, WithAnEmptyTableEveryTitleIsItsKey)
{
    FakeServices fakes;
    (*fakes.info)[QStringLiteral("AppNameShort")] = QStringLiteral("Gleaner");
    auto controller = loadedController(fakes);
    struct Case {
        QString where, key;
    };
    const Case cases[] = {
        {"menu 0/0", "AboutApp"},
        {"menu 0/2", "PreferencesOther"},
        {"menu 0/4", "Services"},
        {"menu 0/6", "HideApp"},
        {"menu 0/7", "HideOthers"},
        {"menu 0/8", "ShowAll"},
        {"menu 0/10", "QuitApp"},
        {"menu 3", "View"},
        {"menu 3/0", "Sort"},
        {"menu 3/0/0", "ByName"},
        {"menu 3/0/1", "BySize"},
        {"menu 4", "Window"},
        {"menu 4/0", "Minimize"},
        {"menu 4/1", "Zoom"},
        {"menu 4/3", "BringAllToFront"},
        {"menu 5", "Help"},
        {"menu 5/0", "AppHelp"},
        {"outline 0", "Folders"},
        {"table 0", "Name"},
        {"table 1", "Size"},
        {"table 2", "Type"},
        {"table 3", "Modified"},
        {"table 4", "ID"},
        {"tab 0", "Table"},
        {"tab 1", "Thumbnails"},
        {"speak", "SpeakHintText"},
        {"read errors", "ReadErrors"},
        {"scan window", "DeletedFilesScan"},
        {"limit", "LimitTextScanByKeywords"},
        {"activate", "ActivatePlainTextScanning"},
        {"options", "ScanOptions"},
        {"options header", "BeforeStartingScanOptionsInfo"},
        {"keywords", "EnterUniqueContentInfo"},
        {"start", "StartScan"},
        {"cancel scan", "Cancel"},
        {"progress window", "ScanProgress"},
        {"cancel progress", "Cancel"},
        {"viewer", "FileViewer"},
    };
    const auto titles = titlesOf(*controller);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where.toStdString());
        ASSERT_TRUE(titles.count(c.where));
        EXPECT_EQ(titles.at(c.where), c.key);
    }
}

TEST(InterfaceTexts, ShortNameChangesTheFourMenuTitlesThatNameTheApplicationAndNothingElse)
{
    FakeServices alpha, beta;
    for (FakeServices* fakes : {&alpha, &beta})
        *fakes->texts = {{"AboutApp", "About %@"}, {"HideApp", "Hide %@"}, {"QuitApp", "Quit %@"},
                         {"AppHelp", "%@ Help"},   {"View", "View"},       {"Folders", "Folders"}};
    (*alpha.info)[QStringLiteral("AppNameShort")] = QStringLiteral("Alpha");
    (*beta.info)[QStringLiteral("AppNameShort")] = QStringLiteral("Beta");
    const auto first = titlesOf(*loadedController(alpha));
    const auto second = titlesOf(*loadedController(beta));

    std::map<QString, QString> changed;
    for (const auto& [where, text] : first)
        if (second.at(where) != text)
            changed[where] = text;
    const std::map<QString, QString> expected = {{"menu 0/0", "About Alpha"},
                                                 {"menu 0/6", "Hide Alpha"},
                                                 {"menu 0/10", "Quit Alpha"},
                                                 {"menu 5/0", "Alpha Help"}};
    EXPECT_EQ(changed, expected);
}

TEST(InterfaceTexts, FormatsTakeTheirArgumentsAsData)
{
    struct Case {
        const char* format;
        QStringList arguments;
        const char* expected;
    };
    const Case cases[] = {
        {"About %@", {"Gleaner"}, "About Gleaner"},
        {"AboutApp", {"Gleaner"}, "AboutApp"}, // a key used as its own format has no placeholder
        {"%2$@ before %1$@", {"one", "two"}, "two before one"},
        {"100%% of %@", {"x"}, "100% of x"},
        {"Replace %@?", {"/a/%1/%@/%2$@"}, "Replace /a/%1/%@/%2$@?"},
        {"%@ and %@", {"only"}, "only and (null)"},
        {"%@", {QString()}, "(null)"},
        {"%9$@ trailing %", {}, "(null) trailing %"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(formatWithObjects(QString::fromUtf8(c.format), c.arguments), QString::fromUtf8(c.expected));
    }
}

TEST(InterfaceTexts, EveryControlHasAnAccessibleName)
{
    FakeServices fakes;
    (*fakes.texts)[QStringLiteral("Thumbnails")] = QStringLiteral("Miniatures");
    auto controller = loadedController(fakes);
    EXPECT_EQ(controller->thumbView->accessibleName(), QStringLiteral("Miniatures"));
    const QList<QWidget*> windows = {controller->mainWindow, controller->scanWindow, controller->progressWindow,
                                     controller->viewerWindow};
    for (QWidget* window : windows) {
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            const bool control = widget->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(widget) ||
                                 qobject_cast<QAbstractItemView*>(widget) || qobject_cast<QTabWidget*>(widget) ||
                                 qobject_cast<QLabel*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                                 qobject_cast<QPlainTextEdit*>(widget) || qobject_cast<QProgressBar*>(widget) ||
                                 qobject_cast<QAbstractScrollArea*>(widget);
            const QString object = widget->objectName();
            // Qt's own parts (tab bars, viewports, extension buttons, an item view's headers and corner
            // button), and the lines whose text is the message itself, set later.
            const bool qtPart = (object.startsWith(QLatin1String("qt_")) && !qobject_cast<QAbstractButton*>(widget)) ||
                                (object.isEmpty() && qobject_cast<QAbstractItemView*>(widget->parentWidget()));
            if (!control || qtPart || object == QLatin1String("helpTextView") ||
                object == QLatin1String("progressText"))
                continue;
            SCOPED_TRACE((object + QLatin1Char(' ') + QLatin1String(widget->metaObject()->className())).toStdString());
            const auto* label = qobject_cast<QLabel*>(widget);
            const auto* button = qobject_cast<QAbstractButton*>(widget);
            const QString name = !widget->accessibleName().isEmpty() ? widget->accessibleName()
                                 : label                             ? label->text()
                                 : button                            ? button->text()
                                                                     : QString();
            if (widget->isHidden() && name.isEmpty() && object == QLatin1String("progressSpinnerText"))
                continue; // hidden for good
            EXPECT_FALSE(name.isEmpty());
            // Labels may show names and paths from the disk: as they are, never as markup.
            if (label) {
                EXPECT_EQ(label->textFormat(), Qt::PlainText);
            }
        }
    }
}

TEST(InterfaceTexts, AlertShowsAMessageWithMarkupAsPlainText)
{
    const QString message = QStringLiteral("<a href=\"https://example.com\">x</a><b>.jpg</b>");
    QList<Qt::TextFormat> formats;
    QStringList texts;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (QLabel* label : box->findChildren<QLabel*>()) {
            if (label->text().isEmpty())
                continue;
            formats.append(label->textFormat());
            texts.append(label->text());
        }
        box->escapeButton()->click();
    });
    EXPECT_EQ(AppServices::real().alerts->runAlert(nullptr, QStringLiteral("<i>title</i>"), message,
                                                   QStringLiteral("OK"), QString(), QString()),
              AlertAnswer::Default);
    EXPECT_TRUE(texts.contains(message));
    EXPECT_EQ(formats, QList<Qt::TextFormat>(formats.size(), Qt::PlainText));
}

} // namespace
