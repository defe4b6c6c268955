// The JSON import on any bytes: a refused document keeps nothing; an accepted one holds
// only what the port and rule dialogs would accept (their field checks, and no control
// byte in a host name), and exports to a document that imports to the same ports with
// the same warnings.
#include <cstdint>
#include <cstdlib>

#include "base/EscapedText.h"
#include "config/ConfigImage.h"
#include "config/FieldChecks.h"
#include "qtcore/PortJson.h"

namespace {

using namespace tarnwick;

void Check(bool holds) {
    if (!holds) std::abort();
}

void CheckFields(const ForwardingPort& port) {
    Check(!CheckPortValues({port.listenPort, port.forwardPort, port.timeoutSeconds, port.forwardIp}));
    Check(!HasControlByte(port.forwardIp) && !HasControlByte(port.listenAddress));
    for (const auto& rule : port.rules) {
        Check(!CheckRuleValues({rule->forwardPort, rule->ruleName, rule->forwardIp, rule->searchData}));
        Check(!HasControlByte(rule->forwardIp));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    PortJson::ImportResult imported = PortJson::Import(json);
    if (!imported.ok()) {
        Check(imported.ports.empty() && imported.warnings.isEmpty());
        return 0;
    }
    for (const auto& port : imported.ports) {
        CheckFields(*port);
    }
    PortJson::ImportResult again = PortJson::Import(PortJson::Export(imported.ports));
    Check(again.ok() && again.warnings == imported.warnings &&
          ConfigImage::Encode(again.ports) == ConfigImage::Encode(imported.ports));
    return 0;
}
