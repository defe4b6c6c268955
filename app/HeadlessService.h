#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <ostream>

#include "engine/CPortController.h"
#include "config/ConfigFile.h"
#include "qtcore/MailboxPump.h"
#include "engine/PortView.h"
#include "app/SignalNotifier.h"
#include "qtcore/StatusServer.h"

namespace tarnwick {

struct ReloadPlan;

// Tarnwick without a window: loads the configuration, starts every port and prints a
// row each time a port's "Running" state changes. SIGINT and SIGTERM stop every worker
// and end the run with 0 (call SignalNotifier::BlockSignals first); SIGHUP loads the file
// again and applies the difference, keeping unchanged ports running with their
// connections. A file that does not load whole is not applied. `tarnwick --status` for
// the same configuration directory is answered from the port controller (StatusServer):
// run it while holding the directory's InstanceLock. With `setLogConnections` every ended
// connection and UDP association, and every refused client, is printed as a line between
// the rows (ConnectionRecord::FormatLine).
class HeadlessService : public QObject, private PortView {
    Q_OBJECT

public:
    HeadlessService(ConfigFile file, QList<int> capturePorts, std::ostream& out, std::ostream& err);
    ~HeadlessService() override;

    // Before run: print the connection log to `out`.
    void setLogConnections(bool on);

    // Runs until SIGINT or SIGTERM; the exit code.
    int run();

    // How often the ended connections are taken from the workers and printed.
    static constexpr std::chrono::milliseconds LOG_INTERVAL{250};

private:
    void setRunning(std::size_t row, bool running, int error) override;
    void onSignal(int signalNumber);
    void reload();
    void rebuildTable(const ReloadPlan& plan, PortTable fresh);
    LoadResult loadPorts();
    void printRow(const ForwardingPort& port, bool running);
    void sayWhenEmpty();
    void listenForStatus();
    void printLog();

    ConfigFile file_;
    QList<int> capturePorts_;
    std::ostream& out_;
    std::ostream& err_;
    MailboxPump pump_;
    CPortController controller_;
    std::vector<bool> running_;  // the "Running" cell of each row
    SignalNotifier signalNotifier_;
    StatusServer statusServer_;
    QTimer logTimer_;
    bool stopping_ = false;
};

}  // namespace tarnwick
