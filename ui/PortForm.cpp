#include "ui/PortForm.h"

#include <QStringList>

#include "ui/ByteText.h"
#include "ui/FormFields.h"

namespace tarnwick {

namespace {

// A stored value other than the known versions shows as off, as the engine takes it.
std::int32_t ShownProxyProtocol(std::int32_t stored) {
    return stored == PROXY_PROTOCOL_V1 || stored == PROXY_PROTOCOL_V2 ? stored
                                                                      : PROXY_PROTOCOL_OFF;
}

}  // namespace

PortForm PortForm::FromPort(const ForwardingPort& port) {
    PortForm form;
    form.udp = !port.isTcp();
    form.listenPort = UnsignedText(port.listenPort);
    form.captureFirstPacket = port.captureFirstPacket != 0;
    form.timeoutSeconds = UnsignedText(port.timeoutSeconds);
    form.forwardIp = ToFieldText(port.forwardIp);
    form.forwardPort = UnsignedText(port.forwardPort);
    form.listenAddress = ToFieldText(port.listenAddress);
    QStringList clients;
    for (const std::string& client : port.allowFrom) {
        clients << ToFieldText(client);
    }
    form.allowFrom = clients.join('\n');
    form.proxyProtocol = ShownProxyProtocol(port.proxyProtocol);
    return form;
}

ForwardingPort PortForm::toPort(const ForwardingPort* original) const {
    const std::int32_t shownProtocol = original ? original->protocol : PROTOCOL_UDP;
    ForwardingPort port;
    if (original != nullptr) {
        port.settings() = original->settings();
    }
    port.protocol = FlagValue(udp, shownProtocol);
    port.listenPort = ReadNumber(listenPort.toStdString());
    port.forwardPort = ReadNumber(forwardPort.toStdString());
    port.forwardIp = FromFieldText(forwardIp, original ? original->forwardIp : std::string());
    port.timeoutSeconds = ReadNumber(timeoutSeconds.toStdString());
    port.captureFirstPacket = captureFirstPacket ? 1 : 0;
    port.listenAddress = listenAddress.trimmed().toStdString();
    port.allowFrom.clear();
    for (const QString& line : allowFrom.split('\n')) {
        if (!line.trimmed().isEmpty()) {
            port.allowFrom.push_back(line.trimmed().toStdString());
        }
    }
    if (original == nullptr || ShownProxyProtocol(original->proxyProtocol) != proxyProtocol) {
        port.proxyProtocol = proxyProtocol;
    }
    return port;
}

std::optional<CheckFailure> CheckPort(const ForwardingPort& port) {
    if (auto failure = CheckPortValues(
            {port.listenPort, port.forwardPort, port.timeoutSeconds, port.forwardIp})) {
        return failure;
    }
    if (auto failure = CheckListenAddress(port.listenAddress)) {
        return failure;
    }
    return CheckAllowedClients(port.allowFrom);
}

}  // namespace tarnwick
