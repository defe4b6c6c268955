#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t MAX_TEXT_LENGTH = 260;          // IP texts and rule names
inline constexpr std::size_t MAX_SEARCH_DATA_LENGTH = 4096;  // a rule's search data

// The most ports a configuration holds, and the most rules one port holds. An import
// beyond them is refused; a file load stops at the first entry beyond them.
inline constexpr int MAX_PORTS = 10000;
inline constexpr int MAX_RULES_PER_PORT = 10000;

// Reads a number field the way atoi does: leading white space, one optional sign, then
// decimal digits up to the first other character; no digits reads as 0, "80abc" as 80.
// A value beyond 32 bits saturates, so that an overlong number fails a range check
// instead of wrapping round into a valid one.
std::int32_t ReadNumber(std::string_view text);

// The first check that a port's or a rule's values fail: which field, and the message
// and caption a person is shown.
struct CheckFailure {
    std::string field;
    std::string message;
    std::string caption;
};

// The values the port dialog reads at OK.
struct PortValues {
    std::int32_t listenPort = 0;
    std::int32_t forwardPort = 0;
    std::int32_t timeoutSeconds = 0;
    std::string forwardIp;
};

// The values the rule dialog reads at OK.
struct RuleValues {
    std::int32_t forwardPort = 0;
    std::string ruleName;
    std::string forwardIp;
    std::string searchData;
};

// The checks of each dialog, in their order; nullopt when all pass. Texts are counted in
// bytes, as they are stored.
std::optional<CheckFailure> CheckPortValues(const PortValues& values);
std::optional<CheckFailure> CheckRuleValues(const RuleValues& values);

// Where a port listens and whom it admits, as --import takes them: "" or an IPv4 or IPv6
// address; each allowed client an address or a prefix ("10.0.0.0/8"). The failure names
// the first bad entry, worded as the port dialog's other messages.
std::optional<CheckFailure> CheckListenAddress(const std::string& address);
std::optional<CheckFailure> CheckAllowedClients(const std::vector<std::string>& clients);

}  // namespace tarnwick
