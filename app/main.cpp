#include <QCoreApplication>

#include <cstdio>
#include <iostream>

#include "CommandLine.h"
#include "ConfigCommands.h"
#include "ConfigLocation.h"

using namespace tarnwick;

namespace {

constexpr int EXIT_USAGE = 2;

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return arguments;
}

int RunConfigCommand(const CommandLineOptions& options) {
    std::string directory = options.configDir.isEmpty() ? DefaultConfigDirectory()
                                                        : options.configDir.toStdString();
    ConfigFile file(directory);
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
    QCoreApplication application(argc, argv);
    return RunConfigCommand(parsed.options);
}
