#include "config/FieldChecks.h"

#include <algorithm>
#include <limits>

#include "config/AddressPrefix.h"
#include "config/IpAddress.h"

namespace tarnwick {

namespace {

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsPort(std::int32_t value) { return value >= 1 && value <= 65535; }

const char* const INVALID_PORT = "Invalid Port";
const char* const IP_TOO_LONG_CAPTION = "Invalid IP";
const char* const INVALID_ADDRESS = "Invalid Address";

std::string TooLong(const char* what) {
    return std::string(what) + " cannot exceed " + std::to_string(MAX_TEXT_LENGTH) + " characters";
}

}  // namespace

std::int32_t ReadNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), limit);
    }
    value = negative ? -value : std::min(value, limit - 1);
    return static_cast<std::int32_t>(value);
}

std::optional<CheckFailure> CheckPortValues(const PortValues& values) {
    if (!IsPort(values.listenPort)) {
        return CheckFailure{"listenPort",
                            "Invalid Listen Port Entered, value must be between 1-65535",
                            INVALID_PORT};
    }
    if (!IsPort(values.forwardPort)) {
        return CheckFailure{"forwardPort",
                            "Invalid Forward Port Entered, value must be between 1-65535",
                            INVALID_PORT};
    }
    if (values.timeoutSeconds < 1 || values.timeoutSeconds > 30) {
        return CheckFailure{"timeoutSeconds",
                            "Invalid Timeout Value, value must be between 1-30 seconds",
                            "Invalid Timeout Value"};
    }
    if (values.forwardIp.size() > MAX_TEXT_LENGTH) {
        return CheckFailure{"forwardIp", TooLong("IP"), IP_TOO_LONG_CAPTION};
    }
    return std::nullopt;
}

std::optional<CheckFailure> CheckRuleValues(const RuleValues& values) {
    if (!IsPort(values.forwardPort)) {
        return CheckFailure{"forwardPort", "Invalid Port Entered, value must be between 1-65535",
                            INVALID_PORT};
    }
    if (values.ruleName.size() > MAX_TEXT_LENGTH) {
        return CheckFailure{"ruleName", TooLong("Rule Name"), "Rule Name too long"};
    }
    if (values.forwardIp.size() > MAX_TEXT_LENGTH) {
        return CheckFailure{"forwardIp", TooLong("IP"), IP_TOO_LONG_CAPTION};
    }
    if (values.searchData.size() > MAX_SEARCH_DATA_LENGTH) {
        return CheckFailure{"searchData", "Search Data cannot exceed 4096 characters",
                            "Search Data too long"};
    }
    return std::nullopt;
}

std::optional<CheckFailure> CheckListenAddress(const std::string& address) {
    if (address.empty() || IpAddress::Parse(address)) {
        return std::nullopt;
    }
    return CheckFailure{"listenAddress",
                        "Invalid Listen Address Entered, \"" + address +
                            "\" is not an IPv4 or IPv6 address",
                        INVALID_ADDRESS};
}

std::optional<CheckFailure> CheckAllowedClients(const std::vector<std::string>& clients) {
    for (const std::string& client : clients) {
        if (!AddressPrefix::Parse(client)) {
            return CheckFailure{"allowFrom",
                                "Invalid Allowed Client Entered, \"" + client +
                                    "\" is not an address or prefix",
                                INVALID_ADDRESS};
        }
    }
    return std::nullopt;
}

namespace {

constexpr std::size_t MAX_HOST_NAME = 253;
constexpr std::size_t MAX_LABEL = 63;
constexpr std::size_t MAX_ALPN_PROTOCOL = 255;

bool IsLabelByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsHostName(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > MAX_HOST_NAME) {
        return false;
    }
    for (std::size_t begin = 0; begin <= name.size();) {
        const std::size_t end = std::min(name.find('.', begin), name.size());
        const std::string_view label = name.substr(begin, end - begin);
        if (label.empty() || label.size() > MAX_LABEL || label.front() == '-' ||
            label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), IsLabelByte)) {
            return false;
        }
        begin = end + 1;
    }
    return true;
}

}  // namespace

std::optional<CheckFailure> CheckTlsRuleData(RuleKind kind, const std::string& searchData) {
    if (kind == RuleKind::TlsServerName) {
        const std::string_view name(searchData);
        if (!IsHostName(name.starts_with("*.") ? name.substr(2) : name)) {
            return CheckFailure{"searchData",
                                "Server Name must be a host name such as www.example.com, or "
                                "*. and a host name such as *.example.com",
                                "Invalid Server Name"};
        }
    } else if (kind == RuleKind::TlsAlpn) {
        if (searchData.empty() || searchData.size() > MAX_ALPN_PROTOCOL) {
            return CheckFailure{"searchData", "ALPN Protocol must be 1 to 255 characters",
                                "Invalid ALPN Protocol"};
        }
    }
    return std::nullopt;
}

}  // namespace tarnwick
