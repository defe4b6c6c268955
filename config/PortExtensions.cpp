#include "config/PortExtensions.h"

#include <cstring>
#include <optional>
#include <string>

#include "config/ImageReader.h"
#include "config/ImageWriter.h"

namespace tarnwick {

namespace {

struct PortSettings {
    std::string listenAddress;
    std::vector<std::string> allowFrom;
};

std::optional<PortSettings> ReadPortSettings(ImageReader& in, std::size_t number) {
    const std::string where = "extension block, port " + std::to_string(number) + ", ";
    PortSettings settings;
    auto listenAddress = in.getString(where + "listenAddress");
    auto count = in.getCount(where + "allowFrom count", 4);
    if (in.failed()) {
        return std::nullopt;
    }
    settings.listenAddress = std::move(*listenAddress);
    for (std::int32_t i = 0; i < *count; ++i) {
        auto entry = in.getString(where + "allowFrom " + std::to_string(i + 1));
        if (!entry) {
            return std::nullopt;
        }
        settings.allowFrom.push_back(std::move(*entry));
    }
    return settings;
}

// A damaged block: the ports stay, without any of its settings.
void LoseExtensions(const ImageReader& in, LoadReport& report) {
    in.report(report);
    report.extensionsLost = true;
}

void ReportTrailingBytes(LoadReport& report, std::size_t offset, std::size_t count,
                         const char* after) {
    report.outcome = LoadReport::Outcome::Incomplete;
    report.offset = offset;
    report.field = "end of file";
    report.reason = std::to_string(count) + " bytes follow the " + after;
}

}  // namespace

void PortExtensions::Append(const PortTable& ports, std::vector<unsigned char>& image) {
    bool used = false;
    for (const auto& port : ports) {
        used = used || port->hasAddressSettings();
    }
    if (!used) {
        return;
    }
    ImageWriter body;
    for (const auto& port : ports) {
        body.putString(port->listenAddress);
        body.putInt(static_cast<std::int32_t>(port->allowFrom.size()));
        for (const std::string& entry : port->allowFrom) {
            body.putString(entry);
        }
    }
    ImageWriter length;
    length.putInt(static_cast<std::int32_t>(body.size()));
    std::vector<unsigned char> lengthBytes = length.take();
    std::vector<unsigned char> bodyBytes = body.take();
    image.insert(image.end(), std::begin(MAGIC), std::end(MAGIC));
    image.insert(image.end(), lengthBytes.begin(), lengthBytes.end());
    image.insert(image.end(), bodyBytes.begin(), bodyBytes.end());
}

void PortExtensions::Read(const unsigned char* data, std::size_t size, std::size_t offset,
                          PortTable& ports, LoadReport& report) {
    if (size - offset < sizeof MAGIC || std::memcmp(data + offset, MAGIC, sizeof MAGIC) != 0) {
        ReportTrailingBytes(report, offset, size - offset, "last port entry");
        return;
    }
    ImageReader header(data, offset + sizeof MAGIC, size, "extension block");
    auto length = header.getInt("extension block length");
    if (length && (*length < 0 || static_cast<std::size_t>(*length) > header.remaining())) {
        header.failAt(offset + sizeof MAGIC, "extension block length",
                      "length " + std::to_string(*length) + " does not fit the " +
                          std::to_string(header.remaining()) + " bytes after it");
    }
    if (header.failed()) {
        LoseExtensions(header, report);
        return;
    }
    const std::size_t end = header.offset() + static_cast<std::size_t>(*length);
    ImageReader in(data, header.offset(), end, "extension block");
    std::vector<PortSettings> settings;
    for (std::size_t i = 0; i < ports.size() && !in.failed(); ++i) {
        if (auto one = ReadPortSettings(in, i + 1)) {
            settings.push_back(std::move(*one));
        }
    }
    if (!in.failed() && in.remaining() > 0) {
        in.fail("extension block",
                std::to_string(in.remaining()) + " bytes follow the last port's settings");
    }
    if (in.failed()) {
        LoseExtensions(in, report);
        return;
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        ports[i]->listenAddress = std::move(settings[i].listenAddress);
        ports[i]->allowFrom = std::move(settings[i].allowFrom);
    }
    if (end < size) {
        ReportTrailingBytes(report, end, size - end, "extension block");
    }
}

}  // namespace tarnwick
