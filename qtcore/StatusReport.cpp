#include "qtcore/StatusReport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>

#include <cstring>

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
                                 {"searchType", Bytes(counters.ruleKind(static_cast<int>(index)))},
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
            {"refusedClients", Number(counts.refusedClients)},
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
            {"associationsOpen", Number(counts.associationsOpen)},
            {"associationsCreated", Number(counts.associationsCreated)},
            {"associationsEndedIdle", Number(counts.associationsEndedIdle)},
            {"associationsEndedByBound", Number(counts.associationsEndedByBound)},
            {"lookupFailures", Number(counts.lookupFailures)},
            {"lastLookupFailure", counts.lastLookupFailure.empty()
                                      ? QJsonValue()
                                      : QJsonValue(Bytes(counts.lastLookupFailure))},
            {"refusedClients", Number(counts.refusedClients)},
            {"logLinesDropped", Number(counts.logRecordsDropped)}};
}

QJsonObject PortObject(const CPortController& controller, std::size_t row) {
    const ForwardingPort& port = *controller.ports()[row];
    const bool running = controller.isRunning(row);
    QJsonObject object{{"row", Bytes(port.rowText(running))},
                       {"protocol", port.isTcp() ? "tcp" : "udp"},
                       {"listenAddress", Bytes(port.listenAddress)},
                       {"listenPort", port.listenPort},
                       {"forwardIp", Bytes(port.forwardIp)},
                       {"forwardPort", port.forwardPort},
                       {"type", port.isSmart() ? "smart" : "standard"},
                       {"proxyProtocol", ProxyProtocolName(port.proxyProtocol)},
                       {"acceptProxyProtocol", port.acceptProxyProtocol},
                       {"running", running},
                       {"openError", port.openError != 0 ? QJsonValue(ErrorObject(port.openError))
                                                         : QJsonValue()},
                       {"counters", QJsonValue()}};
    if (std::shared_ptr<const PortCounters> counters = controller.counters(row)) {
        PortCounters::Snapshot counts = counters->snapshot();
        object["counters"] = port.isTcp() ? TcpCounters(*counters, counts)
                                          : UdpCounters(*counters, counts);
        if (port.isTcp() && port.acceptProxyProtocol) {
            QJsonObject tcp = object["counters"].toObject();
            tcp["proxyHeaderRefusals"] = Number(counts.proxyHeaderRefusals);
            tcp["proxyClientRefusals"] = Number(counts.proxyClientRefusals);
            object["counters"] = tcp;
        }
    }
    return object;
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

}  // namespace tarnwick
