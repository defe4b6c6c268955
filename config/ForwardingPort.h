#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/ForwardingRule.h"
#include "config/IpAddress.h"
#include "base/ThreadHandle.h"

namespace tarnwick {

inline constexpr std::int32_t PROTOCOL_TCP = 0;
inline constexpr std::int32_t PROTOCOL_UDP = 1;  // any non-zero value means UDP
inline constexpr std::int32_t DEFAULT_TIMEOUT_SECONDS = 5;
// Whether a TCP port writes a PROXY protocol header to its destinations, and which.
inline constexpr std::int32_t PROXY_PROTOCOL_OFF = 0;
inline constexpr std::int32_t PROXY_PROTOCOL_V1 = 1;  // the text form
inline constexpr std::int32_t PROXY_PROTOCOL_V2 = 2;  // the binary form

// "off", "v1" or "v2": a proxyProtocol value as the JSON and the status name it; any value
// other than PROXY_PROTOCOL_V1 and _V2 is "off", as the engine takes it.
const char* ProxyProtocolName(std::int32_t version);
// A UDP port's client associations: how long one lasts without a datagram either way, and
// how many the port holds at once (the least recently used one ends to make room).
inline constexpr std::int32_t DEFAULT_UDP_IDLE_SECONDS = 60;
inline constexpr std::int32_t MIN_UDP_IDLE_SECONDS = 1;
inline constexpr std::int32_t MAX_UDP_IDLE_SECONDS = 3600;
inline constexpr std::int32_t DEFAULT_UDP_MAX_ASSOCIATIONS = 4096;
inline constexpr std::int32_t MIN_UDP_MAX_ASSOCIATIONS = 1;
inline constexpr std::int32_t MAX_UDP_MAX_ASSOCIATIONS = 65536;

// The stored fields of a port but its rules, which the port owns one by one.
struct StoredPortSettings {
    std::int32_t protocol = PROTOCOL_TCP;  // 0 = TCP, any other value = UDP
    std::int32_t listenPort = 0;
    std::int32_t forwardPort = 0;          // port of the default destination
    std::string forwardIp;                 // host of the default destination
    std::int32_t timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
    // Where the port listens: "" = every local IPv4 address; else an IPv4 or IPv6 address,
    // "::" being every address of both families. Stored after the port entries.
    std::string listenAddress;
    // The clients admitted: addresses or prefixes ("10.0.0.0/8", "::1"); empty = everyone.
    // Stored after the port entries.
    std::vector<std::string> allowFrom;
    // TCP only: the PROXY protocol header written to the destination before the client's
    // first byte (PROXY_PROTOCOL_OFF, _V1 or _V2), and whether each connection must start
    // with one, whose source then stands for the client. Stored after the port entries.
    std::int32_t proxyProtocol = PROXY_PROTOCOL_OFF;
    bool acceptProxyProtocol = false;
    // UDP only: an association ends after this many seconds without a datagram either way
    // (MIN_ to MAX_UDP_IDLE_SECONDS), and the port holds at most udpMaxAssociations at once
    // (MIN_ to MAX_UDP_MAX_ASSOCIATIONS). Stored after the port entries.
    std::int32_t udpIdleSeconds = DEFAULT_UDP_IDLE_SECONDS;
    std::int32_t udpMaxAssociations = DEFAULT_UDP_MAX_ASSOCIATIONS;

    bool operator==(const StoredPortSettings&) const = default;
};

// The run-time fields of a port, never stored in the configuration file.
struct PortRunState {
    MailboxId ownerWindow = 0;        // where the port's worker posts its notices
    ThreadHandle threadHandle;        // worker currently serving the port; null = none
    ThreadId threadId = 0;            // id of that worker; 0 = no worker
    std::int32_t captureFirstPacket = 0;
    int openError = 0;  // errno that kept the last worker from opening its socket; 0 = none
};

// One configured forwarding port: its stored settings, its rules and its run-time state.
// The record owns its rules; a worker runs on a deep copy of it (`deepCopy`) that shares
// nothing with the original.
struct ForwardingPort : StoredPortSettings, PortRunState {
    std::vector<std::unique_ptr<ForwardingRule>> rules;  // in test order, first tested first

    ForwardingPort() = default;
    ForwardingPort(ForwardingPort&&) = default;
    ForwardingPort& operator=(ForwardingPort&&) = default;
    ForwardingPort(const ForwardingPort&) = delete;
    ForwardingPort& operator=(const ForwardingPort&) = delete;
    // Not the settings' comparison, which would leave out the rules: see sameSettings.
    bool operator==(const ForwardingPort&) const = delete;

    StoredPortSettings& settings() { return *this; }
    const StoredPortSettings& settings() const { return *this; }

    // A new record with every field and every rule duplicated, run-time fields included.
    std::unique_ptr<ForwardingPort> deepCopy() const;

    // True when every stored field, rules included and in order, is the same: the two
    // records would be written to the configuration file alike.
    bool sameSettings(const ForwardingPort& other) const;

    // Takes over every stored field and the rules of `other`, and its capture flag; the
    // run-time fields of this record (owner, worker) stay.
    void takeSettings(ForwardingPort&& other);

    void appendRule(std::unique_ptr<ForwardingRule> rule) { rules.push_back(std::move(rule)); }

    bool isTcp() const { return protocol == PROTOCOL_TCP; }
    bool isSmart() const { return !rules.empty(); }
    bool isStarted() const { return threadId != 0; }

    // The texts of the port list's "Protocol" and "Type" columns.
    const char* protocolLabel() const { return isTcp() ? "TCP" : "UDP"; }
    const char* typeLabel() const { return isSmart() ? "Smart" : "Standard"; }
    // True when the port has a listen address or allowed clients: the settings that the
    // original port entry has no room for.
    bool hasAddressSettings() const { return !listenAddress.empty() || !allowFrom.empty(); }
    // True when a UDP setting differs from its default.
    bool hasUdpSettings() const {
        return udpIdleSeconds != DEFAULT_UDP_IDLE_SECONDS ||
               udpMaxAssociations != DEFAULT_UDP_MAX_ASSOCIATIONS;
    }
    // "Listen On" and "Forward To": "localhost:8080", "127.0.0.1:8080", "[::1]:80"; an IPv6
    // address is put in brackets.
    std::string listenLabel() const;
    std::string forwardLabel() const { return HostPortLabel(forwardIp, forwardPort); }
    // The whole row as text, the five columns tab-separated, "Running" as given; the host
    // texts with backslashes and control bytes escaped (EscapedText), so that the row is
    // one line whatever the file holds.
    std::string rowText(bool running) const;
};

// The ordered, owned records of the port list, one per row and in row order.
using PortTable = std::vector<std::unique_ptr<ForwardingPort>>;

}  // namespace tarnwick
