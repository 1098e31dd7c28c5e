// The interface texts: titles come from the string table (a missing text shows its key), the
// application's short name goes into four menu titles, formats take their arguments as data, and
// names and messages are shown as plain text.
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

// The menu bar's titles, each menu's items in brackets after its title ("" for a separator).
QString menuTitles(const QList<QAction*>& actions)
{
    QStringList titles;
    for (QAction* action : actions)
        titles << action->text() + (action->menu()
                                        ? QLatin1Char('[') + menuTitles(action->menu()->actions()) + QLatin1Char(']')
                                        : QString());
    return titles.join(QLatin1Char('|'));
}

TEST(InterfaceTexts, EveryTitleIsItsKeyAndTheShortNameFillsFourMenuItems)
{
    FakeServices fakes;
    fakes.info[QStringLiteral("AppNameShort")] = QStringLiteral("Alpha");
    fakes.texts = {{"AboutApp", "About %@"}, {"HideApp", "Hide %@"}, {"QuitApp", "Quit %@"}, {"AppHelp", "%@ Help"}};
    auto c = loadedController(fakes);
    EXPECT_EQ(menuTitles(c->mainWindow->menuBar()->actions()).toStdString(),
              "Alpha[About Alpha||PreferencesOther||Services||Hide Alpha|HideOthers|ShowAll||Quit Alpha]|&File[Close "
              "Window]|&Edit[Cut|Copy|Paste|Select All]|View[Sort[ByName|BySize]]|Window[Minimize|Zoom||"
              "BringAllToFront]|Help[Alpha Help]");
    QStringList titles = {c->outlineView->model()->headerData(0, Qt::Horizontal).toString()};
    for (int column = 0; column < 5; ++column)
        titles << c->tableView->model()->headerData(column, Qt::Horizontal).toString();
    titles << c->tabView->tabText(0) << c->tabView->tabText(1) << c->speakHintsCheckbox->text()
           << c->readErrorsText->text() << c->scanWindow->windowTitle() << c->limitTextKeywordsCheckbox->text()
           << c->activateTextScanCheckbox->text() << c->scanOptionsStatic->text() << c->scanOptionsHeaderStatic->text()
           << c->scanTextKeywordsStatic->text() << c->startScanButton->text() << c->cancelScanButton->text()
           << c->progressWindow->windowTitle() << c->progressCancelButton->text() << c->viewerWindow->windowTitle();
    EXPECT_EQ(titles.join(QLatin1Char(' ')),
              QStringLiteral("Folders Name Size Type Modified ID Table Thumbnails SpeakHintText ReadErrors "
                             "DeletedFilesScan LimitTextScanByKeywords ActivatePlainTextScanning ScanOptions "
                             "BeforeStartingScanOptionsInfo EnterUniqueContentInfo StartScan Cancel ScanProgress "
                             "Cancel FileViewer"));
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

TEST(InterfaceTexts, EveryControlHasAnAccessibleNameAndLabelsArePlainText)
{
    FakeServices fakes;
    fakes.texts[QStringLiteral("Thumbnails")] = QStringLiteral("Miniatures");
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
