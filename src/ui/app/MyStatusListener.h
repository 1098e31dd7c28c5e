// The interface's receiver of the engine's events: progress, the file being saved, the overwrite
// question, disk-list and item changes. It forwards each event to the application's delegate (the
// controller), and does nothing when there is none; the overwrite question is asked all the same.
#pragma once

#include "Services.h"
#include "interfaces.h"

#include <functional>
#include <memory>
#include <string>

class MyStatusListener : public CStatusListener {
public:
    // alerts asks the overwrite question; text looks up its localized texts (a null answer: the key).
    MyStatusListener(std::shared_ptr<AlertService> alerts, std::function<QString(const QString&)> text);

    void progressEvent(double percent, bool* cancel) override;
    void fileSaving(std::string path) override;
    void askOverwrite(std::string path, bool* overwrite, bool* skip, bool* cancel) override;
    void diskListChanged() override;
    void itemChanged(CVolumeItem* item) override;

private:
    QString localized(const QString& key) const;

    std::shared_ptr<AlertService> alerts;
    std::function<QString(const QString&)> text;
};
