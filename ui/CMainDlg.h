#pragma once

#include <QDialog>
#include <QTimer>

#include <memory>

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

// Command ids of the port list's context menu and the window.
inline constexpr int ID_ABOUT = 16;
inline constexpr int ID_ADD_PORT = 150;
inline constexpr int ID_START_SELECTED = 151;
inline constexpr int ID_STOP_SELECTED = 152;
inline constexpr int ID_EDIT_SELECTED = 153;
inline constexpr int ID_START_ALL = 154;
inline constexpr int ID_STOP_ALL = 155;
inline constexpr int ID_DELETE_SELECTED = 156;

// The main window: the list of forwarding ports with their running state and a context
// menu for every command. Row i of the list shows record i of the controller's port table;
// a column sort reorders the table with it. Add, Edit and Delete save the configuration at
// once. Closing the window hides it into the tray; "Exit" ends the program, which stops
// every worker first.
class CMainDlg : public QDialog, private PortView {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds DELAYED_START{30000};  // timer 10

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

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void setVisible(bool visible) override;

private:
    void setRunning(std::size_t row, bool running, int error) override;

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
    CPortController controller_;
    QTimer delayedStart_;
};

}  // namespace tarnwick
