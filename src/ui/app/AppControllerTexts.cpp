// The interface texts: every title comes from the Localizable table, the application's names from
// the Info table; a text that names the application is a format with the name as its argument.
#include "AppController.h"
#include "QuilThumbnailView.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

QString formattedCount(qint64 count)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(count);
}

QString formatWithObjects(const QString& format, const QStringList& arguments)
{
    QString result;
    result.reserve(format.size());
    qsizetype next = 0; // the argument a plain "%@" takes
    const auto argument = [&](qsizetype index) {
        return index >= 0 && index < arguments.size() && !arguments[index].isNull() ? arguments[index]
                                                                                    : QStringLiteral("(null)");
    };
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != QLatin1Char('%') || i + 1 >= format.size()) {
            result += c;
            continue;
        }
        const QChar d = format[i + 1];
        if (d == QLatin1Char('%')) {
            result += QLatin1Char('%');
            ++i;
        } else if (d == QLatin1Char('@')) {
            result += argument(next++);
            ++i;
        } else if (d.isDigit()) {
            // "%n$@": the n-th argument, counted from 1.
            qsizetype j = i + 1;
            qsizetype number = 0;
            while (j < format.size() && format[j].isDigit() && number < 1000)
                number = number * 10 + format[j++].digitValue();
            if (j + 1 < format.size() && format[j] == QLatin1Char('$') && format[j + 1] == QLatin1Char('@')) {
                result += argument(number - 1);
                i = j + 1;
            } else {
                result += c;
            }
        } else {
            result += c;
        }
    }
    return result;
}

QString AppController::localizedString(const QString& key) const
{
    const QString text = services.lookupText ? services.lookupText(key) : QString();
    return text.isEmpty() ? key : text;
}

QString AppController::infoValue(const QString& key) const
{
    if (auto found = localInfoDict.find(key); found != localInfoDict.end())
        return found->second;
    // Before start-up has read the table (and for keys it does not keep) the table is asked directly.
    return services.lookupInfo ? services.lookupInfo(key) : QString();
}

QString AppController::localizedFormat(const QString& key, const QStringList& arguments) const
{
    return formatWithObjects(localizedString(key), arguments);
}

void AppController::updateUIstrings()
{
    if (!mainWindow)
        return;
    const QString appNameShort = infoValue(QStringLiteral("AppNameShort"));
    if (appNameShort.isNull())
        logLine(QStringLiteral("Info value AppNameShort is missing"));
    const auto text = [this](const char* key) { return localizedString(QLatin1String(key)); };
    const auto named = [&](const char* key) { return localizedFormat(QLatin1String(key), {appNameShort}); };

    applicationMenu->setTitle(appNameShort.isEmpty() ? infoValue(QStringLiteral("AppName")) : appNameShort);
    aboutMenuItem->setText(named("AboutApp"));
    preferencesMenuItem->setText(text("PreferencesOther"));
    servicesMenuItem->setText(text("Services"));
    hideMenuItem->setText(named("HideApp"));
    hideOthersMenuItem->setText(text("HideOthers"));
    showAllMenuItem->setText(text("ShowAll"));
    quitMenuItem->setText(named("QuitApp"));
    viewMenu->setTitle(text("View"));
    sortMenu->setTitle(text("Sort"));
    sortByNameMenuItem->setText(text("ByName"));
    sortBySizeMenuItem->setText(text("BySize"));
    windowMenu->setTitle(text("Window"));
    minimizeMenuItem->setText(text("Minimize"));
    zoomMenuItem->setText(text("Zoom"));
    bringAllToFrontMenuItem->setText(text("BringAllToFront"));
    helpMenu->setTitle(text("Help"));
    appHelpMenuItem->setText(named("AppHelp"));

    speakHintsCheckbox->setText(text("SpeakHintText"));
    const QStringList outlineTitles{text("Folders")};
    const QStringList tableTitles{text("Name"), text("Size"), text("Type"), text("Modified"), text("ID")};
    // The views' models answer their headers from these titles; the empty start-up models too.
    for (int column = 0; column < outlineTitles.size(); ++column)
        outlineView->model()->setHeaderData(column, Qt::Horizontal, outlineTitles[column]);
    for (int column = 0; column < tableTitles.size(); ++column)
        tableView->model()->setHeaderData(column, Qt::Horizontal, tableTitles[column]);
    tabView->setTabText(0, text("Table"));
    tabView->setTabText(1, text("Thumbnails"));
    progressSpinnerText->setText(QString());
    progressSpinnerText->hide();
    readErrorsText->setText(text("ReadErrors"));
    // Until an operation reads, the figure says what it counts with nothing counted.
    if (numberErrorsText->text() == QStringLiteral("0"))
        numberErrorsText->setText(localizedFormat(QStringLiteral("ReadErrorsSectors"), {formattedCount(0)}));
    scanWindow->setWindowTitle(text("DeletedFilesScan"));
    limitTextKeywordsCheckbox->setText(text("LimitTextScanByKeywords"));
    activateTextScanCheckbox->setText(text("ActivatePlainTextScanning"));
    scanOptionsStatic->setText(text("ScanOptions"));
    scanOptionsHeaderStatic->setText(text("BeforeStartingScanOptionsInfo"));
    scanTextKeywordsStatic->setText(text("EnterUniqueContentInfo"));
    startScanButton->setText(text("StartScan"));
    cancelScanButton->setText(text("Cancel"));
    progressWindow->setWindowTitle(text("ScanProgress"));
    progressCancelButton->setText(text("Cancel"));
    viewerWindow->setWindowTitle(text("FileViewer"));

    // Controls without a text of their own are named after the label that goes with them.
    outlineView->setAccessibleName(outlineTitles.front());
    tableView->setAccessibleName(text("Table"));
    thumbTab->setAccessibleName(text("Thumbnails"));
    thumbView->setAccessibleName(text("Thumbnails"));
    tabView->setAccessibleName(text("Table") + QStringLiteral(", ") + text("Thumbnails"));
    // Qt's own buttons for the menus and tools that do not fit are controls too.
    for (QWidget* bar : {static_cast<QWidget*>(mainWindow->menuBar()), static_cast<QWidget*>(mainToolbar)}) {
        for (const char* name : {"qt_menubar_ext_button", "qt_toolbar_ext_button"})
            if (auto* more = bar ? bar->findChild<QToolButton*>(QLatin1String(name)) : nullptr)
                more->setAccessibleName(text("MoreItems"));
    }
    // The count's own text is its name; what it counts is its description.
    numberErrorsText->setAccessibleDescription(text("ReadErrors"));
    scanKeywordsTextView->setAccessibleName(text("EnterUniqueContentInfo"));
    progressIndicator->setAccessibleName(text("ScanProgress"));
    imageView->setAccessibleName(text("FileViewer"));
    if (searchField)
        searchField->setAccessibleName(text("Search"));
    progressSpinner->setAccessibleName(text("ScanProgress"));
}

AlertAnswer AppController::showAlert(const QString& titleKey, const QString& messageKey, const QString& defaultKey,
                                     const QString& alternateKey, const QString& otherKey)
{
    const AlertAnswer last = !otherKey.isEmpty()       ? AlertAnswer::Other
                             : !alternateKey.isEmpty() ? AlertAnswer::Alternate
                                                       : AlertAnswer::Default;
    if (quitWhenIdle || !services.alerts)
        return last;
    const auto text = [this](const QString& key) { return key.isEmpty() ? QString() : localizedString(key); };
    return services.alerts->runAlert(mainWindow, text(titleKey), text(messageKey), text(defaultKey), text(alternateKey),
                                     text(otherKey));
}
