// Scripted stand-ins for the interface's services, and a controller whose inner state tests read.
#pragma once

#include "AppController.h"
#include "MyStatusListener.h"
#include "Services.h"
#include "diskmanager.h"
#include "recovery.h"

#include <QCoreApplication>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class FakeClock : public ClockService {
public:
    double now() override
    {
        const double value = time;
        time += stepPerRead;
        return value;
    }
    double time = 1000.0;
    double stepPerRead = 0; // moves the clock on at every reading
};
// Every service in one object, outliving its controllers; alerts answer from the queue, then Default.
class FakeServices : public AlertService,
                     public FilePanelService,
                     public AboutService,
                     public FileOpenService,
                     public SpeechService,
                     public SoundService,
                     public EventPumpService {
public:
    AlertAnswer runAlert(QWidget*, const QString& title, const QString& message, const QString&, const QString&,
                         const QString&) override
    {
        titles.append(title);
        messages.append(message);
        const AlertAnswer answer = answers.empty() ? AlertAnswer::Default : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    }
    QString chooseFolder(QWidget*, const QString& title) override
    {
        folderTitles.push_back(title);
        return folderAnswer;
    }
    QString chooseSaveFile(QWidget*, const QString&, const QString& suggestedName, const QStringList&) override
    {
        suggestedNames.push_back(suggestedName);
        return saveAnswer;
    }
    void showAbout(QWidget*, const QString& name, const QString&, const QString&) override { about.push_back(name); }
    bool openFile(const QString& path) override
    {
        opened.push_back(path);
        return true;
    }
    void speak(const QString& text) override { spoken.push_back(text); }
    void stop() override { ++speechStops; }
    void play(const QString& name) override { played.push_back(name); }
    void processEvents() override
    {
        ++pumped;
        QCoreApplication::processEvents();
    }
    AppServices services()
    {
        const std::shared_ptr<FakeServices> self(std::shared_ptr<FakeServices>(), this); // not owned
        return {.alerts = self,
                .filePanels = self,
                .about = self,
                .fileOpener = self,
                .speech = self,
                .sound = self,
                .clock = clock,
                .eventPump = self,
                .makeRecovery = [] { return new CRecovery(); },
                .makeDiskManager = [] { return new CDiskManager(); },
                .lookupText = [this](const QString& key) { return texts.count(key) ? texts.at(key) : QString(); },
                .lookupInfo = [this](const QString& key) { return info.count(key) ? info.at(key) : QString(); }};
    }
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::map<QString, QString> texts, info;
    QStringList titles, messages; // of the alerts
    std::deque<AlertAnswer> answers;
    QString folderAnswer, saveAnswer;
    std::vector<QString> folderTitles, suggestedNames, about, opened, spoken, played;
    int speechStops = 0, pumped = 0;
};
class TestController : public AppController {
public:
    using AppController::AppController;
    using AppController::cancelAction;
    using AppController::expandOutlineViewPending;
    using AppController::fadestate;
    using AppController::folder;
    using AppController::helpText;
    using AppController::statusListener;
    using AppController::tableModel;
    using AppController::theLock;
    using AppController::thumbFolder;
    using AppController::updateOutlineViewPending;
    using AppController::updateTableViewPending;
};
inline std::unique_ptr<TestController> loadedController(FakeServices& fakes)
{
    auto controller = std::make_unique<TestController>(fakes.services());
    controller->loadWindowDescription();
    controller->updateUIstrings();
    return controller;
}
class FixedDiskManager : public CDiskManager {
public:
    void scanForDisks() override {}
    void scanForPartitions() override {}
};
