#include "ui/CForwardApp.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>

#include <iostream>

#include "ui/CMainDlg.h"
#include "qtcore/InstanceLock.h"
#include "ui/SingleInstance.h"
#include "qtcore/StatusReport.h"
#include "qtcore/StatusServer.h"

namespace tarnwick {

namespace {

// A later start: restores the window that holds the directory, or says which headless
// instance does. The exit code.
int HandOver(const InstanceLock& lock, const QString& configDirectory) {
    const std::string where = QDir(configDirectory).absolutePath().toStdString();
    if (lock.holderMode() == "headless") {
        std::cerr << "tarnwick: " << where << " is in use by " << lock.describeHolder()
                  << "; one instance runs per configuration directory\n";
        return 1;
    }
    SingleInstance instance(configDirectory);
    if (instance.sendToPrimary(ID_TRAY_RESTORE, std::chrono::seconds(5))) {
        return 0;
    }
    std::cerr << "tarnwick: " << where << " is in use by " << lock.describeHolder()
              << ", which does not answer on " << instance.serverName().toStdString() << "\n";
    return 1;
}

}  // namespace

int CForwardApp::InitInstance() {
    InstanceLock lock(configDirectory_.toStdString());
    switch (lock.take("window")) {
        case InstanceLock::Outcome::Taken:
            break;
        case InstanceLock::Outcome::Held:
            return HandOver(lock, configDirectory_);
        case InstanceLock::Outcome::Failed:
            std::cerr << "tarnwick: " << lock.error() << "\n";
            return 1;
    }
    SingleInstance instance(configDirectory_);
    if (!instance.becomePrimary()) {
        // The directory's lock is ours, so this one is left by an older program.
        std::cerr << "tarnwick: another window holds " << instance.serverName().toStdString()
                  << "\n";
        return 1;
    }
    if (!instance.error().isEmpty()) {
        std::cerr << "tarnwick: a second start cannot restore this window: "
                  << instance.error().toStdString() << "\n";
    }
    QApplication::setQuitOnLastWindowClosed(false);
    CMainDlg window(ConfigFile(configDirectory_.toStdString()), hiddenStart_);
    QObject::connect(&instance, &SingleInstance::commandReceived, &window, &CMainDlg::OnCommand);
    StatusServer status(configDirectory_, [&] {
        return QJsonDocument(StatusReport::Build(window.controller(), "window", configDirectory_))
            .toJson(QJsonDocument::Compact);
    });
    if (QString error; !status.listen(error)) {
        std::cerr << "tarnwick: --status cannot reach this instance: " << error.toStdString() << "\n";
    }
    window.show();  // stays hidden after a hidden start
    return QApplication::exec();
}

}  // namespace tarnwick
