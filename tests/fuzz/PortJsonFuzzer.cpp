// The JSON import on any bytes: a refused document keeps nothing, and an accepted one
// exports to a document that imports to the same ports with the same warnings.
#include <cstdint>
#include <cstdlib>

#include "config/ConfigImage.h"
#include "qtcore/PortJson.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    PortJson::ImportResult imported = PortJson::Import(json);
    if (!imported.ok()) {
        if (!imported.ports.empty() || !imported.warnings.isEmpty()) {
            std::abort();
        }
        return 0;
    }
    PortJson::ImportResult again = PortJson::Import(PortJson::Export(imported.ports));
    if (!again.ok() || again.warnings != imported.warnings ||
        ConfigImage::Encode(again.ports) != ConfigImage::Encode(imported.ports)) {
        std::abort();
    }
    return 0;
}
