#pragma once

#include <QString>

#include <ostream>

#include "config/ConfigFile.h"

namespace tarnwick {

// The modes that read or replace the configuration and exit. Each returns the process's
// exit code: 0 on success, 1 when something could not be done (and says why on `err`).
class ConfigCommands {
public:
    ConfigCommands(const ConfigFile& file, std::ostream& out, std::ostream& err)
        : file_(file), out_(out), err_(err) {}

    // The header line, then every port as a row with "No", its allowed clients (when it
    // has a list), its PROXY protocol settings (when it uses any) and each rule indented
    // below it.
    int list();
    // The configuration as JSON to `path`, or to `out` when `path` is empty.
    int exportJson(const QString& path);
    // Replaces the configuration by the checked contents of a JSON file, in one save.
    int importJson(const QString& path);

    // One line of the port list: the five columns, tab-separated. Here and in the other
    // lines, texts from the file have backslashes and control bytes escaped as in the
    // connection log, so that every line printed is one line of the listing.
    static std::string RowLine(const ForwardingPort& port, bool running);
    // One rule under its port: indented by a tab, then its fields, tab-separated.
    static std::string RuleLine(const ForwardingRule& rule);
    // A port's allowed clients under it: "\tAllowed clients: 10.0.0.0/8, ::1".
    static std::string AllowLine(const ForwardingPort& port);
    // A port's PROXY protocol settings under it, "" when it uses none:
    // "\tPROXY protocol: sends v2, takes headers from clients"; `version` as the JSON
    // names it ("off", "v1", "v2").
    static std::string ProxyLine(const std::string& version, bool accept, bool udp);
    static const char* const HEADER_LINE;

private:
    LoadResult load();

    const ConfigFile& file_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace tarnwick
