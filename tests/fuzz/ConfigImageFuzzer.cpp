// The configuration loader on any bytes: it never fails other than by its report, and
// whatever it keeps is written and read back as the same ports.
#include <cstdint>
#include <cstdlib>

#include "config/ConfigImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    LoadResult loaded = ConfigImage::Decode(data, size);
    if (loaded.report.portsRead != static_cast<int>(loaded.ports.size()) ||
        loaded.report.describe().empty()) {
        std::abort();
    }
    LoadResult again = ConfigImage::Decode(ConfigImage::Encode(loaded.ports));
    if (again.report.outcome != LoadReport::Outcome::Loaded ||
        again.ports.size() != loaded.ports.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < loaded.ports.size(); ++i) {
        if (!again.ports[i]->sameSettings(*loaded.ports[i])) {
            std::abort();
        }
    }
    return 0;
}
