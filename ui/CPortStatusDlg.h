#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QTimer>

#include <chrono>

#include "engine/CPortController.h"

QT_BEGIN_NAMESPACE
class QFormLayout;
class QLabel;
class QPlainTextEdit;
class QTreeWidget;
QT_END_NAMESPACE

namespace tarnwick {

// A window that shows one port: its settings, whether it runs (or why it could not
// open), the counts of its current run and its last connections, newest first. It reads
// only what the controller already holds, once a second while it is open, so it never
// waits on a worker. It follows its record wherever a sort moves the row; the main
// window closes it when the port is deleted.
class CPortStatusDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds REFRESH{1000};
    static constexpr int LOG_LINES = 100;

    CPortStatusDlg(CPortController& controller, const ForwardingPort& port,
                   QWidget* parent = nullptr);

    const ForwardingPort* port() const { return port_; }

    // Reads the port's state, counters and connections again while the window is shown
    // (the timer does this).
    void refresh();

    QString stateText() const;
    // The shown value of a counter or setting, or a null string when none has `label`.
    QString valueOf(const QString& label) const;
    QStringList logLines() const;

private:
    void buildLayout();
    void readPort();
    int row() const;
    void showCounters(const QList<QPair<QString, QString>>& rows);

    CPortController& controller_;
    const ForwardingPort* port_;  // the controller's record; not owned
    QTimer timer_;

    // Owned by the window's widget tree.
    QFormLayout* settings_;
    QLabel* stateIcon_;
    QLabel* state_;
    QTreeWidget* counters_;
    QPlainTextEdit* log_;
};

}  // namespace tarnwick
