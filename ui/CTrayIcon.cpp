#include "ui/CTrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace tarnwick {

QString CutText(const QString& text, int length) {
    if (text.size() <= length) {
        return text;
    }
    QString cut = text.left(length);
    if (!cut.isEmpty() && cut.back().isHighSurrogate()) {
        cut.chop(1);
    }
    return cut;
}

CTrayIcon::CTrayIcon() : menu_(std::make_unique<QMenu>()) {
    restore_ = menu_->addAction(tr("Restore"));
    exit_ = menu_->addAction(tr("Exit"));
    menu_->setDefaultAction(restore_);  // styles draw the default item in bold
    connect(restore_, &QAction::triggered, this,
            [this] { emit commandRequested(ID_TRAY_RESTORE); });
    connect(exit_, &QAction::triggered, this, [this] { emit commandRequested(ID_TRAY_EXIT); });
}

// The icon goes before its menu.
CTrayIcon::~CTrayIcon() {
    icon_.reset();
}

bool CTrayIcon::CreateTrayIcon(QWidget* window, const QIcon& icon, const QString& tooltip) {
    if (icon.isNull()) {
        return false;
    }
    window_ = window;
    icon_ = std::make_unique<QSystemTrayIcon>(icon);
    icon_->setToolTip(CutText(tooltip, MAX_TIP_LENGTH));
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &CTrayIcon::onActivated);
    icon_->show();
    return true;
}

void CTrayIcon::RemoveIcon() {
    if (icon_) {
        icon_->hide();
    }
}

QString CTrayIcon::toolTip() const {
    return icon_ ? icon_->toolTip() : QString();
}

bool CTrayIcon::isTrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool CTrayIcon::canHideToTray() const {
    return icon_ && icon_->isVisible() && isTrayAvailable();
}

void CTrayIcon::MinimiseToTray() {
    if (!window_) {
        return;
    }
    if (canHideToTray()) {
        window_->hide();
    } else {
        window_->showMinimized();
    }
}

void CTrayIcon::RestoreFromTray() {
    if (!window_) {
        return;
    }
    if (window_->isMinimized()) {
        window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void CTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason) {
    // The context menu opens by itself on a right click; a single click does nothing.
    if (reason == QSystemTrayIcon::DoubleClick) {
        emit commandRequested(ID_TRAY_RESTORE);
    }
}

}  // namespace tarnwick
