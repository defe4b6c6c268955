#include "app/ConfigCommands.h"

#include <QFile>
#include <QSaveFile>

#include "base/EscapedText.h"
#include "qtcore/PortJson.h"

namespace tarnwick {

const char* const ConfigCommands::HEADER_LINE = "Protocol\tListen On\tForward To\tType\tRunning";

std::string ConfigCommands::RowLine(const ForwardingPort& port, bool running) {
    return port.rowText(running);
}

std::string ConfigCommands::RuleLine(const ForwardingRule& rule) {
    std::string kind = rule.isTls() || rule.isHex() || rule.caseSensitive == 0
                           ? rule.kindName()
                           : "text, case-sensitive";
    return '\t' + EscapedText(rule.ruleName) + '\t' + kind + '\t' + EscapedText(rule.searchData) +
           '\t' + EscapedText(rule.forwardLabel());
}

std::string ConfigCommands::AllowLine(const ForwardingPort& port) {
    std::string line = "\tAllowed clients:";
    for (std::size_t i = 0; i < port.allowFrom.size(); ++i) {
        line += (i == 0 ? " " : ", ") + EscapedText(port.allowFrom[i]);
    }
    return line;
}

std::string ConfigCommands::ProxyLine(const std::string& version, bool accept, bool udp) {
    if (version == "off" && !accept) {
        return "";
    }
    std::string line = "\tPROXY protocol: ";
    if (version != "off") {
        line += "sends " + version + (accept ? ", " : "");
    }
    if (accept) {
        line += "takes headers from clients";
    }
    return udp ? line + " (a UDP port ignores this)" : line;
}

LoadResult ConfigCommands::load() {
    LoadResult loaded = file_.load();
    if (!loaded.report.complete()) {
        err_ << "tarnwick: " << loaded.report.describe() << "\n";
        if (loaded.report.outcome == LoadReport::Outcome::Incomplete) {
            err_ << "tarnwick: the file is left as it is; the next save keeps it first as "
                 << file_.path() << ".bad\n";
        }
    }
    return loaded;
}

int ConfigCommands::list() {
    LoadResult loaded = load();
    out_ << HEADER_LINE << "\n";
    for (const auto& port : loaded.ports) {
        out_ << RowLine(*port, false) << "\n";
        if (!port->allowFrom.empty()) {
            out_ << AllowLine(*port) << "\n";
        }
        std::string proxy = ProxyLine(ProxyProtocolName(port->proxyProtocol),
                                      port->acceptProxyProtocol, !port->isTcp());
        if (!proxy.empty()) {
            out_ << proxy << "\n";
        }
        if (!port->isTcp() && (port->udpIdleSeconds != DEFAULT_UDP_IDLE_SECONDS ||
                               port->udpMaxAssociations != DEFAULT_UDP_MAX_ASSOCIATIONS)) {
            out_ << "\tAssociations: idle after " << port->udpIdleSeconds << " s, at most "
                 << port->udpMaxAssociations << "\n";
        }
        for (const auto& rule : port->rules) {
            out_ << RuleLine(*rule) << "\n";
        }
    }
    out_.flush();
    return loaded.report.complete() ? 0 : 1;
}

int ConfigCommands::exportJson(const QString& path) {
    LoadResult loaded = load();
    QByteArray json = PortJson::Export(loaded.ports);
    if (path.isEmpty()) {
        out_.write(json.constData(), json.size());
        out_.flush();
    } else {
        QSaveFile target(path);
        if (!target.open(QIODevice::WriteOnly) || target.write(json) != json.size() ||
            !target.commit()) {
            err_ << "tarnwick: cannot write " << path.toStdString() << ": "
                 << target.errorString().toStdString() << "\n";
            return 1;
        }
    }
    return loaded.report.complete() ? 0 : 1;
}

int ConfigCommands::importJson(const QString& path) {
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        err_ << "tarnwick: cannot read " << path.toStdString() << ": "
             << source.errorString().toStdString() << "\n";
        return 1;
    }
    PortJson::ImportResult imported = PortJson::Import(source.readAll());
    if (!imported.ok()) {
        err_ << "tarnwick: " << path.toStdString() << ": "
             << EscapedLine(imported.error.toStdString()) << "\nNothing was changed.\n";
        return 1;
    }
    for (const QString& warning : imported.warnings) {
        err_ << "tarnwick: " << path.toStdString() << ": warning: "
             << EscapedLine(warning.toStdString()) << "\n";
    }
    SaveResult saved = file_.save(imported.ports);
    if (!saved.note.empty()) {
        err_ << "tarnwick: " << file_.path() << ": " << saved.note << "\n";
    }
    if (!saved.keptAs.empty()) {
        err_ << "tarnwick: the previous " << file_.path()
             << " could not be read whole; it was kept as " << saved.keptAs << "\n";
    }
    if (!saved.saved) {
        err_ << "tarnwick: " << saved.error << "\nNothing was changed.\n";
        return 1;
    }
    std::size_t rules = 0;
    for (const auto& port : imported.ports) {
        rules += port->rules.size();
    }
    out_ << "Imported " << imported.ports.size() << (imported.ports.size() == 1 ? " port" : " ports")
         << " with " << rules << (rules == 1 ? " rule" : " rules") << " into " << file_.path()
         << "\n";
    for (const auto& port : imported.ports) {
        out_ << RowLine(*port, false) << "\n";
    }
    return 0;
}

}  // namespace tarnwick
