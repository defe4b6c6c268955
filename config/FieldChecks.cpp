#include "config/FieldChecks.h"

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

}  // namespace tarnwick
