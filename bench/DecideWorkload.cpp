#include "bench/DecideWorkload.h"

#include <algorithm>
#include <cstdlib>

namespace tarnwick::bench {

namespace {

constexpr std::size_t MIN_TEXT = 4;
constexpr std::size_t MAX_TEXT = 30;
constexpr const char* HEX_DIGITS = "0123456789abcdef";

void Append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

void AppendU16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

// Sets the 16-bit length at `at` to the bytes that follow it.
void PatchU16(Bytes& out, std::size_t at) {
    const std::size_t length = out.size() - at - 2;
    out[at] = static_cast<unsigned char>(length >> 8);
    out[at + 1] = static_cast<unsigned char>(length);
}

std::unique_ptr<ForwardingRule> MakeRule(std::string pattern, bool hex, bool caseSensitive,
                                         std::size_t index) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->searchType = hex ? 1 : 0;
    rule->caseSensitive = caseSensitive ? 1 : 0;
    rule->searchData = std::move(pattern);
    rule->ruleName = "rule" + std::to_string(index + 1);
    rule->forwardIp = "127.0.0.1";
    rule->forwardPort = static_cast<std::int32_t>(10000 + index % 50000);
    return rule;
}

}  // namespace

std::string DecideWorkload::token(std::size_t length) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_/";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(alphabet[below(sizeof alphabet - 1)]);
    }
    return text;
}

std::string DecideWorkload::hostName() {
    static const char* const prefixes[] = {"",      "www.",  "api.", "cdn.",    "mail.",
                                           "shop.", "auth.", "img.", "static.", "eu-west-1."};
    static const char* const suffixes[] = {".com", ".net",     ".org",   ".io",
                                           ".de",  ".example", ".co.uk", ".internal"};
    std::string name = prefixes[below(std::size(prefixes))];
    const std::size_t letters = 3 + below(10);
    for (std::size_t i = 0; i < letters; ++i) {
        name.push_back(static_cast<char>('a' + below(26)));
    }
    if (below(3) == 0) {
        name += "-" + std::to_string(below(100));
    }
    return name + suffixes[below(std::size(suffixes))];
}

std::string DecideWorkload::textRule(bool host) {
    for (;;) {
        std::string text = host ? hostName() : token(MIN_TEXT + below(MAX_TEXT - MIN_TEXT + 1));
        if (text.size() >= MIN_TEXT && text.size() <= MAX_TEXT && used_.insert(text).second) {
            return text;
        }
    }
}

// Units of random bytes (zero and small values more often, as in binary headers), a fifth
// of them XX; or a run of XX and then a literal tail; or literals each between XX. At
// least four literal bytes each, so that random data rarely matches one by chance.
std::string DecideWorkload::hexRule() {
    for (;;) {
        std::vector<int> units;  // -1: XX
        auto literal = [&] {
            const std::size_t kind = below(8);
            return kind == 0   ? 0
                   : kind == 1 ? static_cast<int>(below(16))
                               : static_cast<int>(below(256));
        };
        switch (below(10)) {
            case 0:
            case 1: {  // many XX in front, as "XX XX ... 01 02 03 04"
                const std::size_t wildcards = 8 + below(33), tail = 4 + below(5);
                units.assign(wildcards, -1);
                for (std::size_t i = 0; i < tail; ++i)
                    units.push_back(literal());
                break;
            }
            case 2: {  // single literals between wildcards
                const std::size_t literals = 4 + below(3);
                for (std::size_t i = 0; i < literals; ++i) {
                    if (i > 0)
                        units.insert(units.end(), 1 + below(3), -1);
                    units.push_back(literal());
                }
                break;
            }
            default: {
                const std::size_t count = 4 + below(21);
                for (std::size_t i = 0; i < count; ++i)
                    units.push_back(below(5) == 0 ? -1 : literal());
                break;
            }
        }
        if (std::count(units.begin(), units.end(), -1) + 4 > static_cast<long>(units.size())) {
            continue;
        }
        std::string text;
        const bool spaced = below(4) != 0, upper = below(2) == 0;
        for (int unit : units) {
            if (spaced && !text.empty())
                text.push_back(' ');
            if (unit < 0) {
                text += upper ? "XX" : "xx";
            } else {
                text.push_back(HEX_DIGITS[unit >> 4]);
                text.push_back(HEX_DIGITS[unit & 15]);
            }
        }
        if (upper) {
            std::transform(text.begin(), text.end(), text.begin(), ::toupper);
        }
        if (used_.insert(text).second) {
            return text;
        }
    }
}

RuleSet DecideWorkload::ruleSet(const std::string& kind, std::size_t rules) {
    auto port = std::make_shared<ForwardingPort>();
    port->forwardIp = "127.0.0.1";
    port->forwardPort = 9;
    for (std::size_t i = 0; i < rules; ++i) {
        const bool hex = kind == "hex" || (kind == "mix" && i % 2 == 1);
        if (hex) {
            port->appendRule(MakeRule(hexRule(), true, false, i));
        } else {
            // Host names mostly without case, tokens mostly with it.
            const bool host = below(2) == 0;
            const bool caseSensitive = host ? below(5) == 0 : below(5) != 0;
            port->appendRule(MakeRule(textRule(host), false, caseSensitive, i));
        }
    }
    return {kind, std::move(port)};
}

Bytes DecideWorkload::randomBytes(std::size_t count) {
    Bytes bytes(count);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random_());
    }
    return bytes;
}

Bytes DecideWorkload::httpRequest(const std::string& host, std::size_t size) {
    std::string text = "GET /" + token(12) + "/index.html?id=" + std::to_string(below(100000)) +
                       " HTTP/1.1\r\nHost: " + host +
                       "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) "
                       "Gecko/20100101 Firefox/128.0\r\n"
                       "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"
                       "\r\nAccept-Language: en-US,en;q=0.5\r\n"
                       "Accept-Encoding: gzip, deflate, br\r\nConnection: keep-alive\r\n"
                       "Cookie: session=";
    while (text.size() + 4 < size) {
        text.push_back(HEX_DIGITS[below(16)]);
    }
    text += "\r\n\r\n";
    return Bytes(text.begin(), text.end());
}

// A ClientHello in a TLS record: random, session id, cipher suites, and the extensions a
// browser sends (server name, groups, signature algorithms, ALPN, versions, key share),
// padded to `size` bytes. The larger one carries a post-quantum key share as browsers do.
Bytes DecideWorkload::clientHello(const std::string& host, std::size_t size) {
    Bytes out = {0x16, 0x03, 0x01, 0, 0, 0x01, 0, 0, 0, 0x03, 0x03};
    const Bytes random = randomBytes(32), session = randomBytes(32);
    out.insert(out.end(), random.begin(), random.end());
    out.push_back(32);
    out.insert(out.end(), session.begin(), session.end());
    const Bytes suites = {0x13, 0x01, 0x13, 0x03, 0x13, 0x02, 0xc0, 0x2b, 0xc0, 0x2f,
                          0xcc, 0xa9, 0xcc, 0xa8, 0xc0, 0x2c, 0xc0, 0x30, 0xc0, 0x13,
                          0xc0, 0x14, 0x00, 0x9c, 0x00, 0x9d, 0x00, 0x2f, 0x00, 0x35};
    AppendU16(out, suites.size());
    out.insert(out.end(), suites.begin(), suites.end());
    out.insert(out.end(), {0x01, 0x00});
    const std::size_t extensions = out.size();
    AppendU16(out, 0);
    // server_name
    out.insert(out.end(), {0x00, 0x00});
    AppendU16(out, host.size() + 5);
    AppendU16(out, host.size() + 3);
    out.push_back(0);
    AppendU16(out, host.size());
    Append(out, host);
    out.insert(out.end(), {0x00, 0x17, 0x00, 0x00, 0xff, 0x01, 0x00, 0x01, 0x00});
    // supported_groups, ec_point_formats, signature_algorithms, ALPN, supported_versions
    out.insert(out.end(), {0x00, 0x0a, 0x00, 0x0e, 0x00, 0x0c, 0x11, 0xec, 0x00, 0x1d, 0x00, 0x17,
                           0x00, 0x18, 0x01, 0x00, 0x01, 0x01});
    out.insert(out.end(), {0x00, 0x0b, 0x00, 0x02, 0x01, 0x00});
    out.insert(out.end(), {0x00, 0x0d, 0x00, 0x12, 0x00, 0x10, 0x04, 0x03, 0x08, 0x04, 0x04,
                           0x01, 0x05, 0x03, 0x08, 0x05, 0x05, 0x01, 0x08, 0x06, 0x06, 0x01});
    out.insert(out.end(), {0x00, 0x10, 0x00, 0x0e, 0x00, 0x0c, 0x02, 'h', '2', 0x08, 'h', 't', 't',
                           'p', '/', '1', '.', '1'});
    out.insert(out.end(), {0x00, 0x2b, 0x00, 0x05, 0x04, 0x03, 0x04, 0x03, 0x03});
    // key_share: x25519, and X25519MLKEM768 when there is room for it
    const bool hybrid = size >= 1600;
    const std::size_t shareSize = hybrid ? 1216 : 32;
    out.insert(out.end(), {0x00, 0x33});
    AppendU16(out, shareSize + 6);
    AppendU16(out, shareSize + 4);
    out.insert(out.end(), {hybrid ? std::uint8_t{0x11} : std::uint8_t{0x00},
                           hybrid ? std::uint8_t{0xec} : std::uint8_t{0x1d}});
    AppendU16(out, shareSize);
    const Bytes share = randomBytes(shareSize);
    out.insert(out.end(), share.begin(), share.end());
    // padding up to the size asked for
    if (out.size() + 4 < size) {
        out.insert(out.end(), {0x00, 0x15});
        AppendU16(out, size - out.size() - 2);
        out.resize(size, 0);
    }
    PatchU16(out, extensions);
    PatchU16(out, 3);
    const std::size_t handshake = out.size() - 9;
    out[6] = static_cast<unsigned char>(handshake >> 16);
    out[7] = static_cast<unsigned char>(handshake >> 8);
    out[8] = static_cast<unsigned char>(handshake);
    return out;
}

std::vector<FirstData> DecideWorkload::clientData() {
    const std::string host = "portal-" + token(6) + ".example.org";
    return {
        {"http", httpRequest(host, 400)},     {"tls600", clientHello(host, 600)},
        {"tls2000", clientHello(host, 2000)}, {"random", randomBytes(4096)},
        {"repeat", Bytes(4096, 0x00)},
    };
}

FirstData DecideWorkload::withLastRule(const ForwardingPort& port, bool intact) {
    const ForwardingRule& rule = *port.rules.back();
    Bytes instance;
    std::size_t literal = 0;  // the place of a literal byte of the instance
    if (rule.isHex()) {
        std::string digits;
        std::copy_if(rule.searchData.begin(), rule.searchData.end(), std::back_inserter(digits),
                     [](char c) { return c != ' '; });
        for (std::size_t k = 0; k + 1 < digits.size(); k += 2) {
            const std::string pair = digits.substr(k, 2);
            if (pair == "XX" || pair == "xx") {
                instance.push_back(static_cast<unsigned char>(random_()));
            } else {
                literal = instance.size();
                instance.push_back(
                    static_cast<unsigned char>(std::strtol(pair.c_str(), nullptr, 16)));
            }
        }
        if (!intact) {
            instance[literal] ^= 0x5a;
        }
        Bytes data = randomBytes(600);
        data.insert(data.begin() + 100, instance.begin(), instance.end());
        return {intact ? "last" : "none", std::move(data)};
    }
    std::string text = rule.searchData;
    if (rule.caseSensitive == 0) {
        for (char& c : text) {
            if (below(2) == 0)
                c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (!intact) {
        text[below(text.size())] = '~';  // in no text rule
    }
    return {intact ? "last" : "none", httpRequest(text, 400)};
}

}  // namespace tarnwick::bench
