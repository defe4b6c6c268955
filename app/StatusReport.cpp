#include "StatusReport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>

#include <cstring>

#include "ConfigCommands.h"

namespace tarnwick {

namespace {

QString Bytes(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

qint64 Number(std::uint64_t count) {
    return static_cast<qint64>(count);
}

// An errno as a stable name ("ECONNREFUSED") and as the system's message; 0 stands for
// the errors that had no slot of their own.
QJsonObject ErrorObject(int error) {
    if (error == 0) {
        return {{"errno", 0}, {"name", "other"}, {"message", "other errors"}};
    }
    const char* name = ::strerrorname_np(error);
    return {{"errno", error},
            {"name", name != nullptr ? QString(name) : QString("E%1").arg(error)},
            {"message", QString::fromLocal8Bit(std::strerror(error))}};
}

QJsonObject TcpCounters(const PortCounters& counters, const PortCounters::Snapshot& counts) {
    QJsonArray rules;
    for (std::size_t index = 0; index < counts.ruleConnections.size(); ++index) {
        rules.append(QJsonObject{{"rule", static_cast<int>(index) + 1},
                                 {"ruleName", Bytes(counters.ruleName(static_cast<int>(index)))},
                                 {"connections", Number(counts.ruleConnections[index])}});
    }
    QJsonArray failed;
    for (const auto& [error, count] : counts.failedConnects) {
        QJsonObject entry = ErrorObject(error);
        entry["count"] = Number(count);
        failed.append(entry);
    }
    return {{"accepted", Number(counts.accepted)},
            {"open", Number(counts.open)},
            {"bytesFromClients", Number(counts.bytesFromClients)},
            {"bytesToClients", Number(counts.bytesToClients)},
            {"rules", rules},
            {"defaultRoutes", QJsonObject{{"standard", Number(counts.routedStandard)},
                                          {"noMatch", Number(counts.routedNoMatch)},
                                          {"timeout", Number(counts.routedTimeout)},
                                          {"clientClosed", Number(counts.routedClientClosed)}}},
            {"failedConnects", failed},
            {"resets", Number(counts.resets)},
            {"logLinesDropped", Number(counts.logRecordsDropped)}};
}

QJsonObject UdpCounters(const PortCounters& counters, const PortCounters::Snapshot& counts) {
    const bool routed = counts.udpRoute.kind != RouteKind::None;
    return {{"datagramsFromClients", Number(counts.datagramsFromClients)},
            {"bytesFromClients", Number(counts.bytesFromClients)},
            {"datagramsToClients", Number(counts.datagramsToClients)},
            {"bytesToClients", Number(counts.bytesToClients)},
            {"datagramsDropped", Number(counts.datagramsDropped)},
            {"destination", routed ? QJsonValue(Bytes(counts.udpDestination)) : QJsonValue()},
            {"route", routed ? QJsonValue(Bytes(RouteText(counts.udpRoute,
                                                          counters.ruleName(counts.udpRoute.rule))))
                             : QJsonValue()},
            {"logLinesDropped", Number(counts.logRecordsDropped)}};
}

QJsonObject PortObject(const CPortController& controller, std::size_t row) {
    const ForwardingPort& port = *controller.ports()[row];
    const bool running = controller.isRunning(row);
    QJsonObject object{{"row", Bytes(ConfigCommands::RowLine(port, running))},
                       {"protocol", port.isTcp() ? "tcp" : "udp"},
                       {"listenAddress", Bytes(port.listenAddress)},
                       {"listenPort", port.listenPort},
                       {"forwardIp", Bytes(port.forwardIp)},
                       {"forwardPort", port.forwardPort},
                       {"type", port.isSmart() ? "smart" : "standard"},
                       {"running", running},
                       {"openError", port.openError != 0 ? QJsonValue(ErrorObject(port.openError))
                                                         : QJsonValue()},
                       {"counters", QJsonValue()}};
    if (std::shared_ptr<const PortCounters> counters = controller.counters(row)) {
        PortCounters::Snapshot counts = counters->snapshot();
        object["counters"] = port.isTcp() ? TcpCounters(*counters, counts)
                                          : UdpCounters(*counters, counts);
    }
    return object;
}

std::string Count(const QJsonObject& object, const char* key) {
    return std::to_string(object[key].toInteger());
}

std::string TcpText(const QJsonObject& counters) {
    std::string text = "\tconnections: " + Count(counters, "accepted") + " accepted, " +
                       Count(counters, "open") + " open\n" +
                       "\tbytes: " + Count(counters, "bytesFromClients") + " from clients, " +
                       Count(counters, "bytesToClients") + " to clients\n";
    for (const QJsonValue& value : counters["rules"].toArray()) {
        QJsonObject rule = value.toObject();
        text += "\trule " + Count(rule, "rule") + " \"" + rule["ruleName"].toString().toStdString() +
                "\": " + Count(rule, "connections") + " connections\n";
    }
    QJsonObject routes = counters["defaultRoutes"].toObject();
    text += "\tdefault destination: " + Count(routes, "standard") + " standard, " +
            Count(routes, "noMatch") + " no match, " + Count(routes, "timeout") + " timeout, " +
            Count(routes, "clientClosed") + " client closed\n";
    for (const QJsonValue& value : counters["failedConnects"].toArray()) {
        QJsonObject failed = value.toObject();
        text += "\tfailed connects: " + Count(failed, "count") + " " +
                failed["message"].toString().toStdString() + "\n";
    }
    text += "\tresets: " + Count(counters, "resets") + "\n";
    return text;
}

std::string UdpText(const QJsonObject& counters) {
    std::string text = "\tdatagrams: " + Count(counters, "datagramsFromClients") +
                       " from clients (" + Count(counters, "bytesFromClients") + " bytes), " +
                       Count(counters, "datagramsToClients") + " to clients (" +
                       Count(counters, "bytesToClients") + " bytes), " +
                       Count(counters, "datagramsDropped") + " dropped\n";
    if (counters["destination"].isString()) {
        text += "\tdestination: " + counters["destination"].toString().toStdString() + " (" +
                counters["route"].toString().toStdString() + ")\n";
    }
    return text;
}

}  // namespace

QJsonObject StatusReport::Build(const CPortController& controller, const QString& mode,
                                const QString& configDirectory) {
    QJsonArray ports;
    for (std::size_t row = 0; row < controller.rowCount(); ++row) {
        ports.append(PortObject(controller, row));
    }
    return {{"mode", mode},
            {"pid", QCoreApplication::applicationPid()},
            {"configDirectory", QDir(configDirectory).absolutePath()},
            {"ports", ports}};
}

std::string StatusReport::Text(const QJsonObject& status) {
    std::string text = "Tarnwick, " + status["mode"].toString().toStdString() + ", process " +
                       Count(status, "pid") + ", configuration " +
                       status["configDirectory"].toString().toStdString() + "\n" +
                       ConfigCommands::HEADER_LINE + "\n";
    for (const QJsonValue& value : status["ports"].toArray()) {
        QJsonObject port = value.toObject();
        const bool tcp = port["protocol"].toString() == "tcp";
        text += port["row"].toString().toStdString();
        if (port["openError"].isObject()) {
            text += "\tcannot open the port: " +
                    port["openError"].toObject()["message"].toString().toStdString();
        }
        text += "\n";
        if (port["counters"].isObject()) {
            text += tcp ? TcpText(port["counters"].toObject()) : UdpText(port["counters"].toObject());
        }
    }
    return text;
}

}  // namespace tarnwick
