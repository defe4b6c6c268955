#include "app/HeadlessService.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "app/ConfigCommands.h"
#include "qtcore/InstanceName.h"
#include "engine/ReloadPlan.h"
#include "qtcore/StatusReport.h"

namespace tarnwick {

namespace {

// What kept a file from loading whole, and where.
std::string LoadProblem(const LoadReport& report) {
    if (report.outcome != LoadReport::Outcome::Incomplete) {
        return report.describe();
    }
    return report.path + ": stops at byte " + std::to_string(report.offset) + " (" +
           report.field + "): " + report.reason;
}

}  // namespace

HeadlessService::HeadlessService(ConfigFile file, QList<int> capturePorts, std::ostream& out,
                                 std::ostream& err)
    : file_(std::move(file)),
      capturePorts_(std::move(capturePorts)),
      out_(out),
      err_(err),
      pump_([this](const Message& message) { controller_.handleNotice(message); }),
      controller_(*this, pump_.id(), std::make_shared<CaptureLog>(file_.directory())),
      statusServer_(StatusSocketPath(QString::fromStdString(file_.directory())), [this] {
          return QJsonDocument(StatusReport::Build(controller_, "headless",
                                                   QString::fromStdString(file_.directory())))
              .toJson(QJsonDocument::Compact);
      }) {}

HeadlessService::~HeadlessService() = default;

// The connection log's records wait in each port's counters and are printed in batches,
// a few times a second, so that the workers never wait on this thread or on stdout.
void HeadlessService::setLogConnections(bool on) {
    if (!on) {
        return;
    }
    controller_.setConnectionLog(
        [this](const ConnectionRecord& record) { out_ << record.FormatLine() << '\n'; });
    logTimer_.setInterval(LOG_INTERVAL);
    connect(&logTimer_, &QTimer::timeout, this, &HeadlessService::printLog);
    logTimer_.start();
}

void HeadlessService::printLog() {
    controller_.drainConnectionLog();
    out_.flush();
}

void HeadlessService::listenForStatus() {
    QString error;
    if (!statusServer_.listen(error)) {
        err_ << "tarnwick: --status cannot reach this instance: " << error.toStdString()
             << std::endl;
    }
}

int HeadlessService::run() {
    if (!signalNotifier_.isValid()) {
        err_ << "tarnwick: cannot receive signals: " << std::strerror(errno) << "\n";
        return 1;
    }
    connect(&signalNotifier_, &SignalNotifier::received, this, &HeadlessService::onSignal);
    listenForStatus();

    LoadResult loaded = loadPorts();
    if (!loaded.report.complete()) {
        err_ << "tarnwick: " << loaded.report.describe() << std::endl;
    }
    controller_.appendPorts(std::move(loaded.ports));
    running_.assign(controller_.rowCount(), false);
    out_ << ConfigCommands::HEADER_LINE << std::endl;
    for (const auto& port : controller_.ports()) {
        printRow(*port, false);
    }
    if (loaded.report.complete()) {
        sayWhenEmpty();
    }
    controller_.startAll();
    return QCoreApplication::exec();
}

LoadResult HeadlessService::loadPorts() {
    LoadResult loaded = file_.load();
    for (auto& port : loaded.ports) {
        port->captureFirstPacket = capturePorts_.contains(port->listenPort) ? 1 : 0;
    }
    return loaded;
}

void HeadlessService::sayWhenEmpty() {
    if (controller_.rowCount() == 0) {
        err_ << "tarnwick: no ports are configured in " << file_.path()
             << ". Add some with 'tarnwick --config-dir " << file_.directory()
             << " --import FILE', then send SIGHUP to process " << ::getpid()
             << " to start them." << std::endl;
    }
}

void HeadlessService::printRow(const ForwardingPort& port, bool running) {
    out_ << ConfigCommands::RowLine(port, running) << std::endl;
}

void HeadlessService::setRunning(std::size_t row, bool running, int error) {
    running_.at(row) = running;
    const ForwardingPort& port = controller_.port(row);
    printRow(port, running);
    if (error != 0) {
        err_ << ConfigCommands::RowLine(port, running) << "\tcannot open the port: "
             << std::strerror(error) << std::endl;
    }
}

void HeadlessService::onSignal(int signalNumber) {
    if (signalNumber == SIGHUP) {
        reload();
    } else if (!stopping_) {
        stopping_ = true;
        logTimer_.stop();
        controller_.shutdown();  // hands the last records to the log
        out_.flush();
        QCoreApplication::exit(0);
    }
}

// Applies the file as it is now (ReloadPlan says what becomes of each port); the rows
// follow the file's order. A file that cannot be read whole (caught in the middle of a
// write, say) is not applied at all: every port goes on as it was.
void HeadlessService::reload() {
    LoadResult loaded = loadPorts();
    if (loaded.report.outcome != LoadReport::Outcome::Loaded) {
        err_ << "tarnwick: not reloaded, every port goes on as it was: "
             << LoadProblem(loaded.report) << std::endl;
        return;
    }
    PortTable fresh = std::move(loaded.ports);
    const ReloadPlan plan = ReloadPlan::Build(controller_.ports(), fresh);
    for (std::size_t row : plan.stops) {
        controller_.stopPort(static_cast<int>(row));  // its late notice finds no row
    }
    rebuildTable(plan, std::move(fresh));
    for (std::size_t row = 0; row < plan.rows.size(); ++row) {
        const ReloadPlan::Action action = plan.rows[row].action;
        if (action == ReloadPlan::Action::Keep) {
            continue;
        }
        printRow(controller_.port(row), false);
        if (action == ReloadPlan::Action::Restart) {
            controller_.requestRestart(static_cast<int>(row));
        } else {
            controller_.startPort(static_cast<int>(row));
        }
    }
    sayWhenEmpty();
}

// The controller's table in the plan's row order; a kept row keeps its "Running" cell.
void HeadlessService::rebuildTable(const ReloadPlan& plan, PortTable fresh) {
    PortTable old = controller_.takePorts();
    PortTable table;
    std::vector<bool> running;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const ReloadPlan::Row& step = plan.rows[i];
        if (!step.oldRow) {
            table.push_back(std::move(fresh[i]));
            running.push_back(false);
            continue;
        }
        std::unique_ptr<ForwardingPort> record = std::move(old[*step.oldRow]);
        if (step.rewritesOld()) {
            record->takeSettings(std::move(*fresh[i]));
        }
        running.push_back(step.action == ReloadPlan::Action::Keep && running_[*step.oldRow]);
        table.push_back(std::move(record));
    }
    controller_.appendPorts(std::move(table));
    running_ = std::move(running);
}

}  // namespace tarnwick
