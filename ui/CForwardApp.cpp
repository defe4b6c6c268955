#include "CForwardApp.h"

#include <QApplication>

#include <iostream>

#include "CMainDlg.h"
#include "SingleInstance.h"

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
    window.show();  // stays hidden after a hidden start
    return QApplication::exec();
}

}  // namespace tarnwick
