#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "qtcore/Version.h"  // VERSION_TEXT, for --version

namespace tarnwick {

// What the program was asked to do.
struct CommandLineOptions {
    enum class Mode { Gui, Headless, List, Export, Import, Status };

    Mode mode = Mode::Gui;
    QString configDir;       // empty: the default directory
    QString exportFile;      // empty: standard output
    QString importFile;
    QList<int> capturePorts;  // listen ports whose first packets are dumped, this run only
    bool hiddenStart = false;
    bool logConnections = false;  // headless: a line per ended connection on stdout
    unsigned loops = 0;           // headless: event loop threads; 0 for one per CPU
    bool json = false;            // status: one JSON document instead of text
};

struct ParsedCommandLine {
    enum class Action { Run, ShowHelp, ShowVersion, UsageError };

    Action action = Action::Run;
    CommandLineOptions options;
    QString error;  // UsageError: one line
};

// `arguments` as main() got them, the program name first. "-m" or "/m" in any case, as an
// argument of its own, asks for the hidden start; a "/m" inside a path does not.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// The usage text of --help, with every option and an example.
QString UsageText(const QString& program);
// Two lines after a usage error: the synopsis and where to find more.
QString ShortUsageText(const QString& program);

}  // namespace tarnwick
