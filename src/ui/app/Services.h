// The platform services the interface calls on: alerts, file panels, the About panel, opening a
// file, speech, sound, the clock and the event pump. Each is a small interface with the real Qt
// implementation behind it, so tests script them; a real service whose backend is missing (no
// speech engine, no audio output) stays silent instead of failing.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QWidget;
class CRecovery;
class CDiskManager;

// Answers of an alert, in the order the buttons are given: default, alternate, other.
enum class AlertAnswer { Default, Alternate, Other };

class AlertService {
public:
    virtual ~AlertService() = default;
    // A modal alert with a title, a message and one to three buttons (empty labels are left out).
    // Closing the alert without a button answers the last button given (the cancelling one).
    virtual AlertAnswer runAlert(QWidget* parent, const QString& title, const QString& message,
                                 const QString& defaultButton, const QString& alternateButton = {},
                                 const QString& otherButton = {}) = 0;
};

class FilePanelService {
public:
    virtual ~FilePanelService() = default;
    // An existing folder, or an empty text when the panel was cancelled.
    virtual QString chooseFolder(QWidget* parent, const QString& title) = 0;
    // A path to write, or an empty text when the panel was cancelled. The panel offers only files
    // with one of the extensions (without dots) of the one file type allowed.
    virtual QString chooseSaveFile(QWidget* parent, const QString& title, const QString& suggestedName,
                                   const QStringList& extensions) = 0;
};

class AboutService {
public:
    virtual ~AboutService() = default;
    virtual void showAbout(QWidget* parent, const QString& appName, const QString& version,
                           const QString& copyright) = 0;
};

class FileOpenService {
public:
    virtual ~FileOpenService() = default;
    // Opens the file with the desktop's default application; false when that failed.
    virtual bool openFile(const QString& path) = 0;
};

class SpeechService {
public:
    virtual ~SpeechService() = default;
    virtual void speak(const QString& text) = 0;
    virtual void stop() = 0;
};

class SoundService {
public:
    virtual ~SoundService() = default;
    // Plays a sound resource by file name ("complete.aif"); returns at once.
    virtual void play(const QString& resourceName) = 0;
};

class ClockService {
public:
    virtual ~ClockService() = default;
    // Seconds on a monotonic clock; only differences mean anything.
    virtual double now() = 0;
};

class EventPumpService {
public:
    virtual ~EventPumpService() = default;
    // Handles the pending events once (the modal session's step).
    virtual void processEvents() = 0;
};

// The set the application controller and the splash use; every member is set.
struct AppServices {
    std::shared_ptr<AlertService> alerts;
    std::shared_ptr<FilePanelService> filePanels;
    std::shared_ptr<AboutService> about;
    std::shared_ptr<FileOpenService> fileOpener;
    std::shared_ptr<SpeechService> speech;
    std::shared_ptr<SoundService> sound;
    std::shared_ptr<ClockService> clock;
    std::shared_ptr<EventPumpService> eventPump;
    // The engine and the disk manager the controller makes at start; tests put their own in.
    std::function<CRecovery*()> makeRecovery;
    std::function<CDiskManager*()> makeDiskManager;
    // Texts of the Localizable table and of the Info table; a missing text is a null QString.
    std::function<QString(const QString&)> lookupText;
    std::function<QString(const QString&)> lookupInfo;

    // The real services: Qt dialogs, QDesktopServices, QTextToSpeech, QtMultimedia, steady_clock,
    // QCoreApplication::processEvents, a CRecovery and a CMacDiskManager, the resource tables.
    static AppServices real();
};

// The Info table value for key ("AppName", "AppNameShort", "HelpFile", ...), a null QString when
// the table lacks it. The one place that knows where the Info table lives.
QString infoTableValue(const QString& key);
// The Localizable table's text for key, a null QString when there is none.
QString localizableTableValue(const QString& key);
// The resource folder the program reads its files from.
QString resourceFolder();
