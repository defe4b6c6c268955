#include "ui/PortForm.h"

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
    form.proxyProtocol = ShownProxyProtocol(port.proxyProtocol);
    return form;
}

ForwardingPort PortForm::toPort(const ForwardingPort* original) const {
    const std::int32_t shownProtocol = original ? original->protocol : PROTOCOL_UDP;
    ForwardingPort port;
    port.protocol = FlagValue(udp, shownProtocol);
    port.listenPort = ReadNumber(listenPort.toStdString());
    port.forwardPort = ReadNumber(forwardPort.toStdString());
    port.forwardIp = FromFieldText(forwardIp, original ? original->forwardIp : std::string());
    port.timeoutSeconds = ReadNumber(timeoutSeconds.toStdString());
    port.captureFirstPacket = captureFirstPacket ? 1 : 0;
    if (original != nullptr) {
        port.listenAddress = original->listenAddress;  // no field shows them: kept as they are
        port.allowFrom = original->allowFrom;
    }
    port.proxyProtocol = proxyProtocol;
    if (original != nullptr) {
        if (ShownProxyProtocol(original->proxyProtocol) == proxyProtocol) {
            port.proxyProtocol = original->proxyProtocol;
        }
        port.acceptProxyProtocol = original->acceptProxyProtocol;
    }
    return port;
}

std::optional<CheckFailure> CheckPort(const ForwardingPort& port) {
    return CheckPortValues(
        {port.listenPort, port.forwardPort, port.timeoutSeconds, port.forwardIp});
}

}  // namespace tarnwick
