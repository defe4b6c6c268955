#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <memory>

QT_BEGIN_NAMESPACE
class QAction;
class QMenu;
class QWidget;
QT_END_NAMESPACE

namespace tarnwick {

// Commands the tray icon sends to the window it serves.
inline constexpr int ID_TRAY_RESTORE = 140;
inline constexpr int ID_TRAY_EXIT = 141;

// The program's icon in the desktop's notification area, the way back to the main window
// while it is hidden: a double-click asks to restore it, and the right-click menu offers
// "Restore" (the default item) and "Exit". A single click does nothing. Qt adds the icon
// again by itself when the desktop's tray comes back (restarted panel or tray host).
//
// Where the desktop has no tray, hiding the window would leave no way back to it, so
// `MinimiseToTray` minimises it instead.
class CTrayIcon : public QObject {
    Q_OBJECT

public:
    static constexpr int MAX_TIP_LENGTH = 127;

    CTrayIcon();
    ~CTrayIcon() override;

    // Shows the icon with its menu. `window` is the window served (it may be null; then
    // MinimiseToTray and RestoreFromTray do nothing). The tooltip is cut to 127
    // characters. Returns false when there is nothing to show the icon with.
    bool CreateTrayIcon(QWidget* window, const QIcon& icon, const QString& tooltip);
    // Takes the icon out of the tray; the window is left as it is.
    void RemoveIcon();

    // Whether a hidden window can be brought back through the icon now: the icon is
    // shown and the desktop has a tray.
    bool canHideToTray() const;
    // Hides the window into the tray, or minimises it when it cannot be hidden there.
    void MinimiseToTray();
    // Shows the window again (restoring it when it was minimised) and brings it to the
    // front.
    void RestoreFromTray();

    QString toolTip() const;
    QSystemTrayIcon* trayIcon() const { return icon_.get(); }  // null before CreateTrayIcon
    QMenu* menu() const { return menu_.get(); }
    QAction* restoreAction() const { return restore_; }
    QAction* exitAction() const { return exit_; }

signals:
    // ID_TRAY_RESTORE or ID_TRAY_EXIT, for the served window.
    void commandRequested(int command);

protected:
    // Whether the desktop has a notification area; tests stand in for the desktop.
    virtual bool isTrayAvailable() const;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QMenu> menu_;
    QAction* restore_;  // owned by menu_
    QAction* exit_;     // owned by menu_
    std::unique_ptr<QSystemTrayIcon> icon_;
    QPointer<QWidget> window_;  // the window served; not owned
};

// `text` cut to at most `length` UTF-16 units, never between the two halves of a
// surrogate pair.
QString CutText(const QString& text, int length);

}  // namespace tarnwick
