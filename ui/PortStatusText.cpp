#include "ui/PortStatusText.h"

#include <cerrno>
#include <cstring>

#include "ui/ByteText.h"

namespace tarnwick {

namespace {

QString Count(std::uint64_t value) {
    return QString::number(value);
}

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString AllowedClients(const ForwardingPort& port) {
    if (port.allowFrom.empty()) {
        return QStringLiteral("everyone");
    }
    QStringList clients;
    for (const std::string& client : port.allowFrom) {
        clients << ToFieldText(client);
    }
    return clients.join(QStringLiteral(", "));
}

void AddRuleCounts(QList<QPair<QString, QString>>& rows, const PortCounters& counters,
                   const PortCounters::Snapshot& counts) {
    for (std::size_t index = 0; index < counts.ruleConnections.size(); ++index) {
        const std::string& name = counters.ruleName(static_cast<int>(index));
        rows.append({QString("Rule %1 \"%2\"").arg(index + 1).arg(ToFieldText(name)),
                     Count(counts.ruleConnections[index])});
    }
}

QList<QPair<QString, QString>> TcpRows(const ForwardingPort& port, const PortCounters& counters,
                                       const PortCounters::Snapshot& counts) {
    QList<QPair<QString, QString>> rows{
        {"Connections accepted", Count(counts.accepted)},
        {"Connections open", Count(counts.open)},
        {"Bytes from clients", Count(counts.bytesFromClients)},
        {"Bytes to clients", Count(counts.bytesToClients)}};
    AddRuleCounts(rows, counters, counts);
    rows.append({"Default route: standard", Count(counts.routedStandard)});
    rows.append({"Default route: no match", Count(counts.routedNoMatch)});
    rows.append({"Default route: timeout", Count(counts.routedTimeout)});
    rows.append({"Default route: client closed", Count(counts.routedClientClosed)});
    for (const auto& [error, count] : counts.failedConnects) {
        rows.append({"Failed connects: " + (error == 0 ? QString("other errors") : SystemText(error)),
                     Count(count)});
    }
    rows.append({"Resets", Count(counts.resets)});
    rows.append({"Refused clients (connections reset)", Count(counts.refusedClients)});
    if (port.acceptProxyProtocol) {
        rows.append({"PROXY headers missing or not valid", Count(counts.proxyHeaderRefusals)});
        rows.append({"PROXY headers naming a client not allowed", Count(counts.proxyClientRefusals)});
    }
    return rows;
}

QList<QPair<QString, QString>> UdpRows(const PortCounters& counters,
                                       const PortCounters::Snapshot& counts) {
    QString destination = QStringLiteral("none yet");
    if (counts.udpRoute.kind != RouteKind::None) {
        destination = ToFieldText(counts.udpDestination) + " (" +
                      ToFieldText(RouteText(counts.udpRoute, counters.ruleName(counts.udpRoute.rule))) +
                      ")";
    }
    return {{"Datagrams from clients", Count(counts.datagramsFromClients)},
            {"Bytes from clients", Count(counts.bytesFromClients)},
            {"Datagrams to clients", Count(counts.datagramsToClients)},
            {"Bytes to clients", Count(counts.bytesToClients)},
            {"Datagrams dropped", Count(counts.datagramsDropped)},
            {"Latest destination", destination},
            {"Associations open", Count(counts.associationsOpen)},
            {"Associations created", Count(counts.associationsCreated)},
            {"Associations ended idle", Count(counts.associationsEndedIdle)},
            {"Associations ended by the bound", Count(counts.associationsEndedByBound)},
            {"Lookup failures", counts.lastLookupFailure.empty()
                                    ? Count(counts.lookupFailures)
                                    : QString("%1 (last: %2)")
                                          .arg(counts.lookupFailures)
                                          .arg(ToFieldText(counts.lastLookupFailure))},
            {"Refused clients (datagrams dropped)", Count(counts.refusedClients)}};
}

}  // namespace

QString OpenErrorText(const ForwardingPort& port, int error) {
    switch (error) {
        case EADDRINUSE:
            return QStringLiteral("Address already in use");
        case EACCES:
        case EPERM:
            return port.listenPort < 1024
                       ? QStringLiteral("Permission denied: ports below 1024 need privileges")
                       : QStringLiteral("Permission denied");
        case EADDRNOTAVAIL:
            return QString("Cannot assign requested address: %1 is not an address of this machine")
                .arg(ToFieldText(port.listenAddress));
        default:
            return SystemText(error);
    }
}

QString RunStateText(const ForwardingPort& port, bool running) {
    if (running) {
        return QStringLiteral("Running");
    }
    if (port.openError != 0) {
        return "Not running: " + OpenErrorText(port, port.openError);
    }
    return QStringLiteral("Not running");
}

QList<QPair<QString, QString>> SettingRows(const ForwardingPort& port) {
    QList<QPair<QString, QString>> rows{
        {"Protocol", port.protocolLabel()},
        {"Listen On", ToFieldText(port.listenLabel())},
        {"Forward To", ToFieldText(port.forwardLabel())},
        {"Type", port.typeLabel()},
        {"Allowed clients", AllowedClients(port)}};
    if (port.isSmart()) {
        rows.insert(4, {"Timeout", QString("%1 seconds").arg(port.timeoutSeconds)});
    }
    if (port.isTcp()) {
        rows.append({"PROXY protocol to the destination",
                     QString::fromLatin1(ProxyProtocolName(port.proxyProtocol))});
        rows.append({"PROXY protocol from clients",
                     port.acceptProxyProtocol ? QString("required") : QString("no")});
    } else {
        rows.append({"Association idle time", QString("%1 seconds").arg(port.udpIdleSeconds)});
        rows.append({"Associations at most", QString::number(port.udpMaxAssociations)});
    }
    return rows;
}

QList<QPair<QString, QString>> CounterRows(const ForwardingPort& port,
                                           const PortCounters& counters) {
    const PortCounters::Snapshot counts = counters.snapshot();
    return port.isTcp() ? TcpRows(port, counters, counts) : UdpRows(counters, counts);
}

QStringList NewestFirstLines(const std::vector<ConnectionRecord>& records) {
    QStringList lines;
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        lines << ToFieldText(record->FormatLine());
    }
    return lines;
}

}  // namespace tarnwick
