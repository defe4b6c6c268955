#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include "engine/loop/LoopSet.h"

namespace tarnwick {

namespace {

constexpr unsigned MAX_LOOPS = LoopSet::MAX_LOOPS;

struct Options {
    QCommandLineOption configDir{"config-dir",
                                 "Directory of Brisel.cfg and Brisel.log for this run.", "DIR"};
    QCommandLineOption headless{"headless",
                                "No window: start every port, run until SIGINT or SIGTERM; "
                                "SIGHUP reloads Brisel.cfg."};
    QCommandLineOption capture{"capture",
                               "With --headless: dump the first packet of the ports listening "
                               "on these ports to Brisel.log, for this run only.",
                               "PORT[,PORT...]"};
    QCommandLineOption logConnections{"log-connections",
                                      "With --headless: print a line for every ended "
                                      "connection and UDP association, and for every client "
                                      "allowFrom turns away, tab-separated."};
    QCommandLineOption loops{"loops",
                             "With --headless: serve every port and connection on N event "
                             "loop threads (default: one per CPU).",
                             "N"};
    QCommandLineOption status{"status",
                              "Ask the running instance (window or headless) for every port's "
                              "state and counters, then exit; 1 when none runs."};
    QCommandLineOption json{"json", "With --status: print one JSON document."};
    QCommandLineOption list{"list", "Print the configured ports and their rules, then exit."};
    QCommandLineOption exportJson{"export",
                                  "Write the configuration as JSON to FILE (standard output "
                                  "without FILE), then exit."};
    QCommandLineOption importJson{"import",
                                  "Check the JSON configuration in FILE and, when every port "
                                  "and rule passes, make it the configuration.",
                                  "FILE"};
    QCommandLineOption hidden{"m", "Start hidden and start every port 30 seconds later (also /m)."};
    QCommandLineOption help{QStringList{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{"version", "Show the version and exit."};

    void addTo(QCommandLineParser& parser) const {
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({configDir, headless, capture, logConnections, loops, status, json,
                           list, exportJson, importJson, hidden, help, version});
        parser.addPositionalArgument("FILE", "With --export: the file to write.", "[FILE]");
    }
};

bool IsHiddenStartSwitch(const QString& argument) {
    return argument.compare("-m", Qt::CaseInsensitive) == 0 ||
           argument.compare("/m", Qt::CaseInsensitive) == 0;
}

bool ParsePortList(const QString& text, QList<int>& ports) {
    for (const QString& item : text.split(',')) {
        bool ok = false;
        int port = item.trimmed().toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            return false;
        }
        ports.append(port);
    }
    return true;
}

ParsedCommandLine UsageError(const QString& error) {
    ParsedCommandLine parsed;
    parsed.action = ParsedCommandLine::Action::UsageError;
    parsed.error = error;
    return parsed;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    ParsedCommandLine parsed;
    QStringList rest;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (i > 0 && IsHiddenStartSwitch(arguments[i])) {
            parsed.options.hiddenStart = true;
        } else {
            rest.append(arguments[i]);
        }
    }

    Options options;
    QCommandLineParser parser;
    options.addTo(parser);
    if (!parser.parse(rest)) {
        return UsageError(parser.errorText());
    }
    if (parser.isSet(options.help)) {
        parsed.action = ParsedCommandLine::Action::ShowHelp;
        return parsed;
    }
    if (parser.isSet(options.version)) {
        parsed.action = ParsedCommandLine::Action::ShowVersion;
        return parsed;
    }

    using Mode = CommandLineOptions::Mode;
    const std::pair<const QCommandLineOption*, Mode> modes[] = {
        {&options.headless, Mode::Headless},
        {&options.list, Mode::List},
        {&options.exportJson, Mode::Export},
        {&options.importJson, Mode::Import},
        {&options.status, Mode::Status},
    };
    int modeCount = 0;
    for (const auto& [option, mode] : modes) {
        if (parser.isSet(*option)) {
            parsed.options.mode = mode;
            ++modeCount;
        }
    }
    if (modeCount > 1) {
        return UsageError("--headless, --status, --list, --export and --import exclude each other");
    }

    const Mode mode = parsed.options.mode;
    const QStringList positional = parser.positionalArguments();
    if (mode == Mode::Export && positional.size() == 1) {
        parsed.options.exportFile = positional[0];
    } else if (!positional.isEmpty()) {
        return UsageError("Unexpected argument '" + positional[0] + "'.");
    }
    if (parser.isSet(options.capture)) {
        if (mode != Mode::Headless) {
            return UsageError("--capture works only with --headless");
        }
        if (!ParsePortList(parser.value(options.capture), parsed.options.capturePorts)) {
            return UsageError("--capture takes port numbers from 1 to 65535, separated by commas");
        }
    }
    if (parser.isSet(options.logConnections) && mode != Mode::Headless) {
        return UsageError("--log-connections works only with --headless");
    }
    if (parser.isSet(options.loops)) {
        if (mode != Mode::Headless) {
            return UsageError("--loops works only with --headless");
        }
        bool ok = false;
        const unsigned loops = parser.value(options.loops).toUInt(&ok);
        if (!ok || loops < 1 || loops > MAX_LOOPS) {
            return UsageError(QString("--loops takes a number of loops from 1 to %1").arg(MAX_LOOPS));
        }
        parsed.options.loops = loops;
    }
    if (parser.isSet(options.json) && mode != Mode::Status) {
        return UsageError("--json works only with --status");
    }
    parsed.options.logConnections = parser.isSet(options.logConnections);
    parsed.options.json = parser.isSet(options.json);
    if (parsed.options.hiddenStart && mode != Mode::Gui) {
        return UsageError("-m starts the window hidden and does not go with --headless, "
                          "--status, --list, --export or --import");
    }
    parsed.options.configDir = parser.value(options.configDir);
    parsed.options.importFile = parser.value(options.importJson);
    return parsed;
}

QString UsageText(const QString& program) {
    Options options;
    QCommandLineParser parser;
    options.addTo(parser);
    parser.setApplicationDescription(
        "Tarnwick forwards TCP and UDP ports, routing each connection by its first data.");
    QString text = parser.helpText();
    text.replace(QRegularExpression("^Usage: \\S+"), "Usage: " + program);
    text += "\nExamples:\n"
            "  " + program + " --headless --config-dir /var/lib/tarnwick\n"
            "  " + program + " --headless --log-connections | grep 'connect failed'\n"
            "  " + program + " --status --json\n"
            "  " + program + " --export ports.json\n"
            "  " + program + " --import ports.json && kill -HUP <pid of the headless instance>\n";
    return text;
}

QString ShortUsageText(const QString& program) {
    return "Usage: " + program +
           " [--config-dir DIR] [-m | --headless [--capture PORT[,PORT...]] [--log-connections] "
           "[--loops N] | "
           "--status [--json] | --list | --export [FILE] | --import FILE]\n"
           "Try '" + program + " --help' for more information.\n";
}

}  // namespace tarnwick
