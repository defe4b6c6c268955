#include "ui/CForwardApp.h"

#include <QApplication>
#include <QJsonDocument>

#include <iostream>

#include "ui/CMainDlg.h"
#include "qtcore/InstanceName.h"
#include "ui/SingleInstance.h"
#include "qtcore/StatusReport.h"
#include "qtcore/StatusServer.h"

namespace tarnwick {

int CForwardApp::InitInstance() {
    SingleInstance instance(configDirectory_);
    if (!instance.becomePrimary()) {
        if (instance.sendToPrimary(ID_TRAY_RESTORE, std::chrono::seconds(5))) {
            return 0;
        }
        std::cerr << "tarnwick: another instance holds " << instance.serverName().toStdString()
                  << " but does not answer\n";
        return 1;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    CMainDlg window(ConfigFile(configDirectory_.toStdString()), hiddenStart_);
    QObject::connect(&instance, &SingleInstance::commandReceived, &window, &CMainDlg::OnCommand);
    StatusServer status(StatusSocketPath(configDirectory_), [&] {
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
