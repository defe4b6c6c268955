#pragma once

#include <QString>

namespace tarnwick {

// The desktop application: one window per user and configuration directory. A second
// start asks the running instance to restore its window and ends at once.
class CForwardApp {
public:
    CForwardApp(QString configDirectory, bool hiddenStart)
        : configDirectory_(std::move(configDirectory)), hiddenStart_(hiddenStart) {}

    // Needs a QApplication. Returns the process's exit code.
    int InitInstance();

private:
    QString configDirectory_;
    bool hiddenStart_;
};

}  // namespace tarnwick
