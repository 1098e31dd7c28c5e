// Scripted stand-ins for the interface's platform services, and a controller whose inner state
// the tests may read. Every fake records what it was asked and answers as the test set it up.
#pragma once

#include "AppController.h"
#include "MyStatusListener.h"
#include "Services.h"
#include "diskmanager.h"
#include "recovery.h"

#include <QCoreApplication>
#include <QString>

#include <deque>
#include <map>
#include <memory>
#include <vector>

struct AlertCall {
    QString title, message, defaultButton, alternateButton, otherButton;
};

class ScriptedAlerts : public AlertService {
public:
    AlertAnswer runAlert(QWidget*, const QString& title, const QString& message, const QString& defaultButton,
                         const QString& alternateButton, const QString& otherButton) override
    {
        calls.push_back({title, message, defaultButton, alternateButton, otherButton});
        if (answers.empty())
            return AlertAnswer::Default;
        const AlertAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::vector<AlertCall> calls;
    std::deque<AlertAnswer> answers;
};

class FakeClock : public ClockService {
public:
    double now() override
    {
        const double value = time;
        time += stepPerRead;
        return value;
    }
    double time = 1000.0;   // any start: only differences count
    double stepPerRead = 0; // moves the clock on at every reading
};

class RecordingSpeech : public SpeechService {
public:
    void speak(const QString& text) override { spoken.push_back(text); }
    void stop() override { ++stops; }
    std::vector<QString> spoken;
    int stops = 0;
};

class RecordingSound : public SoundService {
public:
    void play(const QString& name) override { played.push_back(name); }
    std::vector<QString> played;
};

class CountingPump : public EventPumpService {
public:
    void processEvents() override
    {
        ++count;
        if (forward)
            QCoreApplication::processEvents();
    }
    int count = 0;
    bool forward = false; // also handle the events, as the real pump does
};

// A file panel answering as the test set it (empty: cancelled), and an About box and file opener
// that record what they were asked.
class ScriptedPanels : public FilePanelService {
public:
    QString chooseFolder(QWidget*, const QString& title) override
    {
        folderTitles.push_back(title);
        return folderAnswer;
    }
    QString chooseSaveFile(QWidget*, const QString& title, const QString& suggestedName) override
    {
        saveTitles.push_back(title);
        suggestedNames.push_back(suggestedName);
        return saveAnswer;
    }
    QString folderAnswer, saveAnswer;
    std::vector<QString> folderTitles, saveTitles, suggestedNames;
};

class RecordingAbout : public AboutService {
public:
    void showAbout(QWidget*, const QString& name, const QString&, const QString&) override { shown.push_back(name); }
    std::vector<QString> shown;
};

class RecordingOpener : public FileOpenService {
public:
    bool openFile(const QString& path) override
    {
        opened.push_back(path);
        return true;
    }
    std::vector<QString> opened;
};

// Services that show nothing and touch no device: an engine, an empty disk manager, and text and
// Info tables the test fills (empty: every text is its key).
struct FakeServices {
    std::shared_ptr<ScriptedAlerts> alerts = std::make_shared<ScriptedAlerts>();
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<RecordingSpeech> speech = std::make_shared<RecordingSpeech>();
    std::shared_ptr<RecordingSound> sound = std::make_shared<RecordingSound>();
    std::shared_ptr<CountingPump> pump = std::make_shared<CountingPump>();
    std::shared_ptr<ScriptedPanels> panels = std::make_shared<ScriptedPanels>();
    std::shared_ptr<RecordingAbout> about = std::make_shared<RecordingAbout>();
    std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();
    std::shared_ptr<std::map<QString, QString>> texts = std::make_shared<std::map<QString, QString>>();
    std::shared_ptr<std::map<QString, QString>> info = std::make_shared<std::map<QString, QString>>();

    AppServices services() const
    {
        AppServices s;
        s.alerts = alerts;
        s.filePanels = panels;
        s.about = about;
        s.fileOpener = opener;
        s.speech = speech;
        s.sound = sound;
        s.clock = clock;
        s.eventPump = pump;
        s.makeRecovery = [] { return new CRecovery(); };
        s.makeDiskManager = [] { return new CDiskManager(); };
        s.lookupText = [table = texts](const QString& key) {
            auto found = table->find(key);
            return found == table->end() ? QString() : found->second;
        };
        s.lookupInfo = [table = info](const QString& key) {
            auto found = table->find(key);
            return found == table->end() ? QString() : found->second;
        };
        return s;
    }
};

// The controller with its inner state open to the tests.
class TestController : public AppController {
public:
    using AppController::AppController;
    using AppController::busy;
    using AppController::cancelAction;
    using AppController::disk;
    using AppController::diskman;
    using AppController::expandOutlineViewPending;
    using AppController::fadestate;
    using AppController::folder;
    using AppController::helpAlpha;
    using AppController::helpText;
    using AppController::rec;
    using AppController::statusListener;
    using AppController::tableModel;
    using AppController::theLock;
    using AppController::thumbFolder;
    using AppController::timerCounter;
    using AppController::treeModel;
    using AppController::updateOutlineViewPending;
    using AppController::updateTableViewPending;
};

// A controller over the fakes with its windows made and titled.
inline std::unique_ptr<TestController> loadedController(const FakeServices& fakes)
{
    auto controller = std::make_unique<TestController>(fakes.services());
    controller->loadWindowDescription();
    controller->updateUIstrings();
    return controller;
}
