#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

#include "engine/CPortController.h"
#include "ui/CTrayIcon.h"
#include "config/ConfigFile.h"
#include "qtcore/MailboxPump.h"
#include "engine/PortView.h"

QT_BEGIN_NAMESPACE
class QMenu;
QT_END_NAMESPACE

namespace tarnwick {

class CListCtrlEx;
class CPortStatusDlg;

// Command ids of the port list's context menu and the window.
inline constexpr int ID_ABOUT = 16;
inline constexpr int ID_ADD_PORT = 150;
inline constexpr int ID_START_SELECTED = 151;
inline constexpr int ID_STOP_SELECTED = 152;
inline constexpr int ID_EDIT_SELECTED = 153;
inline constexpr int ID_START_ALL = 154;
inline constexpr int ID_STOP_ALL = 155;
inline constexpr int ID_DELETE_SELECTED = 156;
inline constexpr int ID_PORT_STATUS = 157;
inline constexpr int ID_OPEN_CAPTURE_LOG = 158;
inline constexpr int ID_IMPORT_PORTS = 159;
inline constexpr int ID_EXPORT_PORTS = 160;

// The main window: the list of forwarding ports with their running state and a context
// menu for every command. Row i of the list shows record i of the controller's port table;
// a column sort reorders the table with it. Add, Edit, Delete and Import save the
// configuration at once; a save that fails is said, and the next change tries again.
// A port that could not open shows why beside its "No". Closing the window hides it into
// the tray; "Exit" ends the program, which stops every worker first.
class CMainDlg : public QDialog, private PortView {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds DELAYED_START{30000};  // timer 10
    // How often the ended connections are taken from the workers' queues.
    static constexpr std::chrono::milliseconds LOG_INTERVAL{1000};
    // Opens a file with the desktop's viewer; false when none could.
    using FileOpener = std::function<bool(const QString& path)>;

    // Loads the configuration from `file`. With `hiddenStart` the window stays hidden and
    // every port starts DELAYED_START later, unless the window is restored first.
    CMainDlg(ConfigFile file, bool hiddenStart, QWidget* parent = nullptr);
    ~CMainDlg() override;  // removes the tray icon, then stops and awaits every worker

    // Runs a command id, as the menus, the tray icon and a second instance send them.
    void OnCommand(int command);

    CListCtrlEx* portList() const { return list_; }
    CPortController& controller() { return controller_; }
    CTrayIcon& trayIcon() { return tray_; }
    bool isDelayedStartPending() const { return delayedStart_.isActive(); }
    bool isShowAllowed() const { return showAllowed_; }

    // The context menu for the current selection, as a right click shows it.
    void fillContextMenu(QMenu& menu);

    // What "Import Ports..." and "Export Ports..." do once a file is chosen. Import runs
    // the checks of --import, and replaces the list only when the user confirms; false
    // when the list was left as it was. Problems are shown in message boxes.
    bool importPorts(const QString& path);
    bool exportPorts(const QString& path);
    // The status windows that are open.
    QList<CPortStatusDlg*> statusWindows() const;
    void setFileOpener(FileOpener opener) { openFile_ = std::move(opener); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void setVisible(bool visible) override;

private:
    void setRunning(std::size_t row, bool running, int error) override;
    void showOpenError(int row);
    void stopSelected();
    void stopAll();
    void forgetOpenError(int row);
    void showPortStatus();
    void openCaptureLog();
    void askImport();
    void askExport();
    void replacePorts(PortTable ports);
    void closeStatusWindows(const ForwardingPort* port);  // null: every one

    void addPort();
    void editSelected();
    void deleteSelected();
    void restore();
    void showAbout();
    void openContextMenu(const QPoint& position);
    void appendRow(const ForwardingPort& port);
    void showRow(int row, const ForwardingPort& port);
    void followSort(const QList<int>& oldRows);
    void save();
    int selectedRow() const;

    ConfigFile file_;
    bool showAllowed_ = true;
    CListCtrlEx* list_;  // owned by the window's widget tree
    CTrayIcon tray_;
    MailboxPump pump_;
    std::shared_ptr<CaptureLog> captureLog_;
    CPortController controller_;
    QTimer delayedStart_;
    QTimer logDrain_;
    std::vector<QPointer<CPortStatusDlg>> statusWindows_;  // owned by the window's widget tree
    FileOpener openFile_;
};

}  // namespace tarnwick
