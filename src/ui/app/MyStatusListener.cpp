#include "MyStatusListener.h"

#include "AppController.h"

#include <QMainWindow>

#include <cstdio>

MyStatusListener::MyStatusListener(std::shared_ptr<AlertService> alertService,
                                   std::function<QString(const QString&)> textLookup)
    : alerts(std::move(alertService)), text(std::move(textLookup))
{}

QString MyStatusListener::localized(const QString& key) const
{
    const QString value = text ? text(key) : QString();
    return value.isEmpty() ? key : value;
}

void MyStatusListener::progressEvent(double percent, bool* cancel)
{
    if (AppController* delegate = AppController::applicationDelegate())
        delegate->progressEvent(percent, cancel);
}

void MyStatusListener::fileSaving(std::string path)
{
    std::printf("fileSaving\n");
    if (AppController* delegate = AppController::applicationDelegate())
        delegate->_setProgressText(QString::fromUtf8(path.data(), qsizetype(path.size())));
}

void MyStatusListener::askOverwrite(std::string path, bool* overwrite, bool* skip, bool* cancel)
{
    std::printf("ask for: %s\n", path.c_str());
    std::fflush(stdout);
    AppController* delegate = AppController::applicationDelegate();
    const QString message = formatWithObjects(localized(QStringLiteral("AskOverwriteFile")),
                                              {QString::fromUtf8(path.data(), qsizetype(path.size()))});
    AlertAnswer answer = AlertAnswer::Other;
    // Once the window was closed to quit, the save is being cancelled: answer Cancel unasked.
    if (alerts && !(delegate && delegate->isQuitting()))
        answer = alerts->runAlert(
            delegate ? delegate->mainWindow : nullptr, localized(QStringLiteral("OverwriteConfirmation")), message,
            localized(QStringLiteral("Yes")), localized(QStringLiteral("No")), localized(QStringLiteral("Cancel")));
    // Exactly one of the three flags is set; a question nobody could answer cancels the save.
    if (overwrite)
        *overwrite = answer == AlertAnswer::Default;
    if (skip)
        *skip = answer == AlertAnswer::Alternate;
    if (cancel)
        *cancel = answer == AlertAnswer::Other;
}

void MyStatusListener::diskListChanged()
{
    if (AppController* delegate = AppController::applicationDelegate())
        delegate->diskListChangedEvent();
}

void MyStatusListener::itemChanged(CVolumeItem* item)
{
    if (AppController* delegate = AppController::applicationDelegate())
        delegate->itemChangedEvent(item);
}
