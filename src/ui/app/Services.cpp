#include "Services.h"

#include "hfsvolume.h"
#include "macdisk.h"
#include "machelpers.h"
#include "recovery.h"
#include "resourcedir.h"
#include "stringstable.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QPushButton>
#include <QTextToSpeech>
#include <QUrl>

#include <chrono>
#include <mutex>

namespace {

class QtAlertService : public AlertService {
public:
    AlertAnswer runAlert(QWidget* parent, const QString& title, const QString& message, const QString& defaultButton,
                         const QString& alternateButton, const QString& otherButton) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        box.setTextFormat(Qt::PlainText);
        box.setText(title);
        box.setInformativeText(message);
        // The message may hold a recovered file's name: the informative label ignores the box's
        // text format, so it is set to plain text itself (no markup, no links).
        if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            informative->setTextFormat(Qt::PlainText);
        box.setIcon(QMessageBox::Warning);
        QPushButton* first = box.addButton(defaultButton, QMessageBox::AcceptRole);
        QPushButton* second =
            alternateButton.isEmpty() ? nullptr : box.addButton(alternateButton, QMessageBox::DestructiveRole);
        QPushButton* third = otherButton.isEmpty() ? nullptr : box.addButton(otherButton, QMessageBox::RejectRole);
        box.setDefaultButton(first);
        // Escape or the close box answers the most cautious button: the last one given.
        box.setEscapeButton(third ? third : (second ? second : first));
        box.exec();
        const QAbstractButton* clicked = box.clickedButton();
        if (clicked == nullptr)
            clicked = box.escapeButton();
        if (clicked == third && third)
            return AlertAnswer::Other;
        if (clicked == second && second)
            return AlertAnswer::Alternate;
        return AlertAnswer::Default;
    }
};

class QtFilePanelService : public FilePanelService {
public:
    QString chooseFolder(QWidget* parent, const QString& title) override
    {
        return QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
    }
    QString chooseSaveFile(QWidget* parent, const QString& title, const QString& suggestedName,
                           const QStringList& extensions) override
    {
        QStringList patterns;
        for (const QString& extension : extensions)
            patterns << QStringLiteral("*.") + extension;
        return QFileDialog::getSaveFileName(parent, title, suggestedName, patterns.join(QLatin1Char(' ')));
    }
};

class QtAboutService : public AboutService {
public:
    void showAbout(QWidget* parent, const QString& appName, const QString& version, const QString& copyright) override
    {
        QMessageBox::about(parent, appName, QStringLiteral("%1 %2\n\n%3").arg(appName, version, copyright));
    }
};

class DesktopFileOpenService : public FileOpenService {
public:
    bool openFile(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

// Made on the first hint spoken: loading a speech engine costs time at start-up, and a machine
// without one simply stays silent.
class QtSpeechService : public SpeechService {
public:
    void speak(const QString& text) override
    {
        if (!ready())
            return;
        engine->say(text);
    }
    void stop() override
    {
        if (engine)
            engine->stop();
    }

private:
    bool ready()
    {
        if (!tried) {
            tried = true;
            if (!QTextToSpeech::availableEngines().isEmpty())
                engine = std::make_unique<QTextToSpeech>();
        }
        return engine && engine->state() != QTextToSpeech::Error;
    }

    bool tried = false;
    std::unique_ptr<QTextToSpeech> engine;
};

class QtSoundService : public SoundService {
public:
    void play(const QString& resourceName) override
    {
        const QString path = resourceFolder() + QLatin1Char('/') + resourceName;
        if (!QFileInfo::exists(path))
            return;
        if (!player) {
            player = std::make_unique<QMediaPlayer>();
            output = std::make_unique<QAudioOutput>();
            player->setAudioOutput(output.get());
        }
        // An unusable backend or file reports an error on the player and plays nothing.
        player->setSource(QUrl::fromLocalFile(path));
        player->play();
    }

private:
    std::unique_ptr<QAudioOutput> output;
    std::unique_ptr<QMediaPlayer> player;
};

class SteadyClockService : public ClockService {
public:
    double now() override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

class QtEventPumpService : public EventPumpService {
public:
    void processEvents() override { QCoreApplication::processEvents(); }
};

// The Info table: Info.strings in the resource folder, overridden per language by
// <lang>.lproj/InfoPlist.strings.
const StringsMap& infoTable()
{
    static StringsMap table;
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        const std::string folder = resourceDirectory();
        loadStringsTable(folder + "/Info.strings", table, nullptr);
        for (const std::string& language : {std::string("en"), userInterfaceLanguage()}) {
            StringsMap localized;
            loadStringsTable(folder + "/" + language + ".lproj/InfoPlist.strings", localized, nullptr);
            for (auto& [key, value] : localized)
                table[key] = value;
        }
    });
    return table;
}

} // namespace

QString infoTableValue(const QString& key)
{
    const StringsMap& table = infoTable();
    if (auto found = table.find(key.toStdString()); found != table.end())
        return QString::fromStdString(found->second);
    // The program's name is known even without its resources.
    if (key == QLatin1String("AppName") || key == QLatin1String("AppNameShort"))
        return QStringLiteral("Gleaner");
    return {};
}

QString localizableTableValue(const QString& key)
{
    return QString::fromStdString(localize(key.toStdString()));
}

QString resourceFolder()
{
    return QString::fromStdString(resourceDirectory());
}

AppServices AppServices::real()
{
    AppServices services;
    services.alerts = std::make_shared<QtAlertService>();
    services.filePanels = std::make_shared<QtFilePanelService>();
    services.about = std::make_shared<QtAboutService>();
    services.fileOpener = std::make_shared<DesktopFileOpenService>();
    services.speech = std::make_shared<QtSpeechService>();
    services.sound = std::make_shared<QtSoundService>();
    services.clock = std::make_shared<SteadyClockService>();
    services.eventPump = std::make_shared<QtEventPumpService>();
    services.makeRecovery = [] { return new CRecovery(); };
    services.makeDiskManager = []() -> CDiskManager* {
        auto* manager = new CMacDiskManager();
        manager->setVolumeNameReader(readHFSVolumeName);
        return manager;
    };
    services.lookupText = localizableTableValue;
    services.lookupInfo = infoTableValue;
    return services;
}
