#include <QCoreApplication>
#ifdef TARNWICK_WITH_GUI
#include <QApplication>

#include "ui/CForwardApp.h"
#endif

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "app/CommandLine.h"
#include "app/ConfigCommands.h"
#include "config/ConfigLocation.h"
#include "app/HeadlessService.h"
#include "app/SignalNotifier.h"
#include "app/StatusCommand.h"
#include "engine/loop/LoopSet.h"
#include "qtcore/InstanceLock.h"

using namespace tarnwick;

namespace {

constexpr int EXIT_USAGE = 2;

// Every relayed connection holds two descriptors: take all the kernel allows this user.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return arguments;
}

std::string ConfigDirectory(const CommandLineOptions& options) {
    return options.configDir.isEmpty() ? DefaultConfigDirectory() : options.configDir.toStdString();
}

// One instance per configuration directory: false, having said who holds it, when this
// one may not run.
bool TakeDirectory(InstanceLock& lock) {
    switch (lock.take("headless")) {
        case InstanceLock::Outcome::Taken:
            return true;
        case InstanceLock::Outcome::Held:
            std::cerr << "tarnwick: " << lock.directory() << " is in use by "
                      << lock.describeHolder()
                      << "; one instance runs per configuration directory\n";
            return false;
        case InstanceLock::Outcome::Failed:
            break;
    }
    std::cerr << "tarnwick: " << lock.error() << "\n";
    return false;
}

int RunHeadless(int argc, char** argv, const CommandLineOptions& options) {
    InstanceLock lock(ConfigDirectory(options));  // held until the service has ended
    if (!TakeDirectory(lock)) {
        return 1;
    }
    SignalNotifier::BlockSignals();  // before any thread exists
    LoopSet::instance().configure(options.loops);  // before the first port starts
    QCoreApplication application(argc, argv);
    HeadlessService service(ConfigFile(ConfigDirectory(options)), options.capturePorts, std::cout,
                            std::cerr);
    service.setLogConnections(options.logConnections);
    return service.run();
}

int RunStatus(int argc, char** argv, const CommandLineOptions& options) {
    QCoreApplication application(argc, argv);
    return RunStatusCommand(QString::fromStdString(ConfigDirectory(options)), options.json,
                            std::cout, std::cerr);
}

int RunConfigCommand(int argc, char** argv, const CommandLineOptions& options) {
    QCoreApplication application(argc, argv);
    ConfigFile file(ConfigDirectory(options));
    ConfigCommands commands(file, std::cout, std::cerr);
    switch (options.mode) {
        case CommandLineOptions::Mode::List:
            return commands.list();
        case CommandLineOptions::Mode::Export:
            return commands.exportJson(options.exportFile);
        case CommandLineOptions::Mode::Import:
            return commands.importJson(options.importFile);
        default:
            break;
    }
    std::cerr << "tarnwick: this mode is not available in this build\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const QStringList arguments = Arguments(argc, argv);
    const QString program = QStringLiteral("tarnwick");
    ParsedCommandLine parsed = ParseCommandLine(arguments);
    switch (parsed.action) {
        case ParsedCommandLine::Action::UsageError:
            std::cerr << "tarnwick: " << parsed.error.toStdString() << "\n"
                      << ShortUsageText(program).toStdString();
            return EXIT_USAGE;
        case ParsedCommandLine::Action::ShowHelp:
            std::cout << UsageText(program).toStdString();
            return 0;
        case ParsedCommandLine::Action::ShowVersion:
            std::cout << VERSION_TEXT << "\n";
            return 0;
        case ParsedCommandLine::Action::Run:
            break;
    }
    if (parsed.options.mode == CommandLineOptions::Mode::Status) {
        return RunStatus(argc, argv, parsed.options);
    }
    RaiseDescriptorLimit();
    std::signal(SIGPIPE, SIG_IGN);  // a peer that went away is an error code, never a signal
    if (parsed.options.mode == CommandLineOptions::Mode::Headless) {
        return RunHeadless(argc, argv, parsed.options);
    }
#ifdef TARNWICK_WITH_GUI
    if (parsed.options.mode == CommandLineOptions::Mode::Gui) {
        SignalNotifier::BlockSignals();  // before any thread exists
        QApplication application(argc, argv);
        // SIGINT, SIGTERM and SIGHUP end the program as "Exit" does.
        SignalNotifier signalNotifier;
        QObject::connect(&signalNotifier, &SignalNotifier::received, &application, [] {
            QCoreApplication::exit(0);
        });
        CForwardApp app(QString::fromStdString(ConfigDirectory(parsed.options)),
                        parsed.options.hiddenStart);
        return app.InitInstance();
    }
#endif
    return RunConfigCommand(argc, argv, parsed.options);
}
