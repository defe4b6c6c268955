// What flows, end to end: the real headless program with --log-connections, tagged
// backends and clients on loopback, and `tarnwick --status` asked while it runs.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Client;
using testing::FreePort;
using testing::TempDir;
using testing::TestBackend;
using testing::UdpTagServer;

QJsonObject Object(const QJsonValue& value) { return value.toObject(); }

class StatusE2E : public ::testing::Test {
protected:
    void Import(const std::string& json) {
        std::ofstream(temp.file("ports.json")) << json;
        ChildProcess import(TARNWICK_BINARY,
                            {"--config-dir", temp.path(), "--import", temp.file("ports.json")});
        ASSERT_EQ(import.wait(30s), 0) << import.err();
    }

    void Start(std::size_t ports) {
        tarnwick = std::make_unique<ChildProcess>(
            TARNWICK_BINARY,
            std::vector<std::string>{"--headless", "--log-connections", "--config-dir", temp.path()});
        ASSERT_TRUE(tarnwick->waitForOutput(
            [&](const std::string& out) { return Rows(out, "\tYes") == ports; }, 20s))
            << tarnwick->out() << tarnwick->err();
    }

    static std::size_t Rows(const std::string& out, const std::string& ending) {
        std::size_t count = 0;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            count += line.size() >= ending.size() &&
                     line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
        }
        return count;
    }

    // `tarnwick --status`, with its exit code and output.
    std::pair<std::optional<int>, std::string> Status(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--status", "--config-dir", temp.path()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        ChildProcess status(TARNWICK_BINARY, arguments);
        std::optional<int> code = status.wait(30s);
        return {code, code == 0 ? status.out() : status.err()};
    }

    // The ports of `--status --json`, asked again until `done` holds for them (bounded).
    template <class Predicate>
    QJsonArray PortsWhen(Predicate done) {
        QJsonArray ports;
        auto deadline = std::chrono::steady_clock::now() + 20s;
        do {
            auto [code, out] = Status({"--json"});
            EXPECT_EQ(code, 0) << out;
            ports = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object()["ports"].toArray();
        } while (!done(ports) && std::chrono::steady_clock::now() < deadline);
        return ports;
    }

    // The lines of the connection log, each without its time stamp and duration, sorted.
    static std::vector<std::string> LogLines(const std::string& out) {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
            EXPECT_EQ(fields.size(), 10u) << line;
            if (fields.size() != 10) continue;
            EXPECT_TRUE(std::all_of(fields[8].begin(), fields[8].end(),
                                    [](char c) { return std::isdigit(c) || c == '.'; }))
                << line;
            std::string kept;
            for (std::size_t i : {1, 2, 3, 4, 5, 6, 7, 9}) kept += (kept.empty() ? "" : "\t") + fields[i];
            lines.push_back(kept);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    static std::string Line(const char* protocol, int listen, const std::string& client,
                            const std::string& destination, const std::string& route, int in,
                            int out, const std::string& end) {
        return std::string(protocol) + "\t" + std::to_string(listen) + "\t" + client + "\t" +
               destination + "\t" + route + "\t" + std::to_string(in) + "\t" +
               std::to_string(out) + "\t" + end;
    }

    static std::string Local(int port) { return "127.0.0.1:" + std::to_string(port); }

    TempDir temp;
    std::unique_ptr<ChildProcess> tarnwick;
};

TEST_F(StatusE2E, SmartAndStandardPortsCountAndLogEveryConnection) {
    TestBackend one("one:"), two("two:"), fallback("default:");
    TestBackend closer("bye:", TestBackend::Mode::SendAndClose);  // closes right after its tag
    const int refused = FreePort(), smart = FreePort(), standard = FreePort();
    Import(R"({"ports": [
      {"protocol": "tcp", "listenPort": )" + std::to_string(smart) + R"(, "forwardIp": "127.0.0.1",
       "forwardPort": )" + std::to_string(fallback.port()) + R"(, "timeoutSeconds": 1, "rules": [
        {"ruleName": "one", "searchType": "text", "caseSensitive": true, "searchData": "ONE",
         "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(one.port()) + R"(},
        {"ruleName": "two", "searchType": "hex", "caseSensitive": false, "searchData": "54 57 4f",
         "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(two.port()) + R"(},
        {"ruleName": "dead", "searchType": "text", "caseSensitive": false, "searchData": "DEAD",
         "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(refused) + R"(}]},
      {"protocol": "tcp", "listenPort": )" + std::to_string(standard) + R"(, "forwardIp": "127.0.0.1",
       "forwardPort": )" + std::to_string(closer.port()) + R"(}]})");
    Start(2);

    std::vector<std::string> expected;
    auto expect = [&](const Client& client, const std::string& destination, const std::string& route,
                      int in, int out, const std::string& end, int listen) {
        expected.push_back(Line("TCP", listen, Local(client.localPort()), destination, route, in,
                                out, end));
    };
    for (const char* data : {"ONE 1", "ONE 2"}) {  // rule 1; the client closes
        Client client(smart);
        ASSERT_TRUE(client.send(data));
        EXPECT_EQ(client.receive(9), "one:" + std::string(data));
        expect(client, Local(one.port()), "rule 1 \"one\"", 5, 9, "client closed", smart);
    }
    {  // rule 2 (hex); the client resets
        Client client(smart);
        ASSERT_TRUE(client.send("TWO"));
        EXPECT_EQ(client.receive(7), "two:TWO");
        expect(client, Local(two.port()), "rule 2 \"two\"", 3, 7, "reset", smart);
        client.abort();
    }
    auto silent = std::make_unique<Client>(smart);  // sends nothing for a while
    {  // closes before sending anything: no destination at all
        Client quitter(smart);
        expect(quitter, "-", "default (client closed)", 0, 0, "client closed", smart);
    }
    {  // rule 3, whose destination refuses
        Client dead(smart);
        ASSERT_TRUE(dead.send("DEAD"));
        EXPECT_TRUE(dead.closedByPeer());
        expect(dead, Local(refused), "rule 3 \"dead\"", 0, 0, "connect failed: Connection refused",
               smart);
    }
    {  // no rule matches
        Client other(smart);
        ASSERT_TRUE(other.send("zzz"));
        EXPECT_EQ(other.receive(11), "default:zzz");
        expect(other, Local(fallback.port()), "default (no match)", 3, 11, "client closed", smart);
    }
    {  // the destination closes first
        Client plain(standard);
        EXPECT_EQ(plain.receive(4), "bye:");
        EXPECT_TRUE(plain.closedByPeer());
        expect(plain, Local(closer.port()), "standard", 0, 4, "destination closed", standard);
    }
    EXPECT_EQ(silent->receive(8, 10s), "default:");  // the 1-second timeout
    ASSERT_TRUE(silent->send("late"));
    EXPECT_EQ(silent->receive(4), "late");
    expect(*silent, Local(fallback.port()), "default (timeout)", 4, 12, "client closed", smart);
    silent.reset();

    QJsonArray ports = PortsWhen([](const QJsonArray& ports) {
        return ports.size() == 2 &&
               Object(Object(ports[0])["counters"])["accepted"].toInt() == 7 &&
               Object(Object(ports[0])["counters"])["open"].toInt() == 0 &&
               Object(Object(ports[1])["counters"])["open"].toInt() == 0;
    });
    ASSERT_EQ(ports.size(), 2);
    QJsonObject smartCounters = Object(Object(ports[0])["counters"]);
    EXPECT_EQ(QJsonDocument(smartCounters).toJson(QJsonDocument::Compact).toStdString(),
              R"({"accepted":7,"bytesFromClients":20,"bytesToClients":48,)"
              R"("defaultRoutes":{"clientClosed":1,"noMatch":1,"standard":0,"timeout":1},)"
              R"("failedConnects":[{"count":1,"errno":111,"message":"Connection refused",)"
              R"("name":"ECONNREFUSED"}],"logLinesDropped":0,"open":0,"refusedClients":0,"resets":1,)"
              R"("rules":[{"connections":2,"rule":1,"ruleName":"one","searchType":"text"},)"
              R"({"connections":1,"rule":2,"ruleName":"two","searchType":"hex"},)"
              R"({"connections":1,"rule":3,"ruleName":"dead","searchType":"text"}]})");
    EXPECT_EQ(QJsonDocument(Object(Object(ports[1])["counters"])).toJson(QJsonDocument::Compact).toStdString(),
              R"({"accepted":1,"bytesFromClients":0,"bytesToClients":4,)"
              R"("defaultRoutes":{"clientClosed":0,"noMatch":0,"standard":1,"timeout":0},)"
              R"("failedConnects":[],"logLinesDropped":0,"open":0,"refusedClients":0,"resets":0,"rules":[]})");

    tarnwick->signal(SIGTERM);
    ASSERT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(LogLines(tarnwick->out()), expected) << tarnwick->out();
}

TEST_F(StatusE2E, UdpRunCountsBothWaysAndAPortThatCannotOpenSaysWhy) {
    UdpTagServer dns("udp:");
    const int udp = FreePort(SOCK_DGRAM);
    int busyFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = testing::Loopback(0);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(busyFd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    const int busy = testing::BoundPort(busyFd);
    Import(R"({"ports": [
      {"protocol": "udp", "listenPort": )" + std::to_string(udp) + R"(, "forwardIp": "127.0.0.1",
       "forwardPort": 9, "rules": [
        {"ruleName": "dns", "searchType": "text", "caseSensitive": false, "searchData": "q",
         "forwardIp": "127.0.0.1", "forwardPort": )" + std::to_string(dns.port()) + R"(}]},
      {"protocol": "udp", "listenPort": )" + std::to_string(busy) + R"(, "forwardIp": "127.0.0.1",
       "forwardPort": 9}]})");
    Start(1);
    ASSERT_TRUE(tarnwick->waitForOutput([&](const std::string&) {
        return tarnwick->err().find("cannot open the port") != std::string::npos;
    }, 20s)) << tarnwick->err();

    struct stat socketFile{};
    ASSERT_EQ(::stat(temp.file("tarnwick.sock").c_str(), &socketFile), 0);
    EXPECT_TRUE(S_ISSOCK(socketFile.st_mode));
    EXPECT_EQ(socketFile.st_mode & 077, 0u) << std::oct << socketFile.st_mode;  // owner only

    int client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = testing::Loopback(udp);
    for (std::string question : {"q1", "q2", "q3"}) {
        ::sendto(client, question.data(), question.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd ready{client, POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 5000), 1);
        char answer[64];
        EXPECT_EQ(::recv(client, answer, sizeof answer, 0), 6);
    }
    const int clientPort = testing::BoundPort(client);

    QJsonArray ports = PortsWhen([](const QJsonArray& ports) {
        return Object(Object(ports[0])["counters"])["datagramsToClients"].toInt() == 3;
    });
    ASSERT_EQ(ports.size(), 2);
    EXPECT_EQ(QJsonDocument(Object(Object(ports[0])["counters"])).toJson(QJsonDocument::Compact).toStdString(),
              R"({"associationsCreated":1,"associationsEndedByBound":0,"associationsEndedIdle":0,)"
              R"("associationsOpen":1,"bytesFromClients":6,"bytesToClients":18,"datagramsDropped":0,)"
              R"("datagramsFromClients":3,"datagramsToClients":3,"destination":")" +
                  Local(dns.port()) + R"(","lastLookupFailure":null,"logLinesDropped":0,)"
              R"("lookupFailures":0,"refusedClients":0,"route":"rule 1 \"dns\""})");
    QJsonObject blocked = Object(ports[1]);
    EXPECT_FALSE(blocked["running"].toBool());
    EXPECT_TRUE(blocked["counters"].isNull());
    EXPECT_EQ(Object(blocked["openError"])["name"].toString(), "EADDRINUSE");

    auto [code, text] = Status();
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("UDP\tlocalhost:" + std::to_string(udp) + "\t127.0.0.1:9\tSmart\tYes\n"
                        "\tdatagrams: 3 from clients (6 bytes), 3 to clients (18 bytes), 0 dropped\n"
                        "\tlatest destination: " + Local(dns.port()) + " (rule 1 \"dns\")\n"
                        "\tassociations: 1 open, 1 created, 0 ended idle, 0 ended by the bound\n"
                        "\tlookup failures: 0\n\trefused clients: 0 datagrams dropped\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\tStandard\tNo\tcannot open the port: Address already in use\n"),
              std::string::npos) << text;

    tarnwick->signal(SIGTERM);
    ASSERT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    EXPECT_EQ(LogLines(tarnwick->out()),
              std::vector<std::string>{Line("UDP", udp, Local(clientPort), Local(dns.port()),
                                            "rule 1 \"dns\"", 6, 18, "stopped")});
    ::close(client);
    ::close(busyFd);
}

// A UDP datagram socket on loopback, for the tests below.
class UdpClient {
public:
    UdpClient() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in any = testing::Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    }
    ~UdpClient() { ::close(fd_); }
    int port() const { return testing::BoundPort(fd_); }
    void send(int port, const std::string& data) const {
        sockaddr_in to = testing::Loopback(port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    std::string receive() const {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return "(nothing)";
        char buffer[512];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? "(error)" : std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int fd_;
};

// Two clients through one UDP port each get only their own answers; a client whose rule
// names a host that does not resolve fails alone, and --status says why; clients outside
// allowFrom are counted and logged: every refused TCP connection, and a UDP address once
// however many datagrams it sends.
TEST_F(StatusE2E, UdpClientsApartLookupFailuresAndRefusedClients) {
    UdpTagServer echo("re:");
    const int udp = FreePort(SOCK_DGRAM), guardedUdp = FreePort(SOCK_DGRAM);
    const int guardedTcp = FreePort(SOCK_STREAM);
    const std::string to = R"(, "forwardIp": "127.0.0.1", "forwardPort": )" +
                           std::to_string(echo.port());
    Import(R"({"ports": [
      {"protocol": "udp", "listenPort": )" + std::to_string(udp) + to + R"(, "rules": [
        {"ruleName": "bad", "searchType": "text", "caseSensitive": false, "searchData": "bad",
         "forwardIp": "no such host", "forwardPort": 53}]},
      {"protocol": "udp", "listenPort": )" + std::to_string(guardedUdp) + to +
           R"(, "allowFrom": ["10.0.0.0/8"]},
      {"protocol": "tcp", "listenPort": )" + std::to_string(guardedTcp) + to +
           R"(, "allowFrom": ["10.0.0.0/8"]}]})");
    Start(3);

    UdpClient a, b, bad;
    std::uint64_t aBytes = 0, bBytes = 0;
    for (int i = 0; i < 20; ++i) {
        a.send(udp, "a" + std::to_string(i));
        b.send(udp, "b" + std::to_string(i));
        aBytes += 1 + std::to_string(i).size();
        bBytes += 1 + std::to_string(i).size();
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(a.receive(), "re:a" + std::to_string(i));
        ASSERT_EQ(b.receive(), "re:b" + std::to_string(i));
    }
    bad.send(udp, "bad");
    QJsonArray ports = PortsWhen([](const QJsonArray& ports) {
        return Object(Object(ports[0])["counters"])["lookupFailures"].toInt() == 1;
    });
    EXPECT_EQ(Object(Object(ports[0])["counters"])["lastLookupFailure"].toString().toStdString(),
              "no such host:53: Name or service not known");
    a.send(udp, "a-after");
    EXPECT_EQ(a.receive(), "re:a-after");
    aBytes += 7;

    for (int i = 0; i < 3; ++i) {
        Client refused(guardedTcp);  // accepted, then reset
    }
    for (int i = 0; i < 100; ++i) {
        a.send(guardedUdp, "flood");
        b.send(guardedUdp, "flood");
    }
    ports = PortsWhen([](const QJsonArray& ports) {
        return Object(Object(ports[1])["counters"])["refusedClients"].toInt() == 200 &&
               Object(Object(ports[2])["counters"])["refusedClients"].toInt() == 3;
    });
    EXPECT_EQ(Object(Object(ports[1])["counters"])["associationsCreated"].toInt(), 0);
    auto [code, text] = Status();
    EXPECT_NE(text.find("\tlookup failures: 1 (last: no such host:53: Name or service not known)\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\trefused clients: 3 connections reset\n"), std::string::npos) << text;

    tarnwick->signal(SIGTERM);
    ASSERT_EQ(tarnwick->wait(30s), 0) << tarnwick->err();
    std::vector<std::string> expected = {
        Line("UDP", udp, Local(a.port()), Local(echo.port()), "default (no match)",
             static_cast<int>(aBytes), static_cast<int>(aBytes + 21 * 3), "stopped"),
        Line("UDP", udp, Local(b.port()), Local(echo.port()), "default (no match)",
             static_cast<int>(bBytes), static_cast<int>(bBytes + 20 * 3), "stopped"),
        Line("UDP", udp, Local(bad.port()), "no such host:53", "rule 1 \"bad\"", 0, 0,
             "lookup failed: Name or service not known"),
        Line("UDP", guardedUdp, Local(a.port()), "-", "-", 0, 0, "refused")};
    std::vector<std::string> lines = LogLines(tarnwick->out());
    const std::string tcpRefused = "TCP\t" + std::to_string(guardedTcp) + "\t127.0.0.1:";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                                return line.rfind(tcpRefused, 0) == 0 &&
                                       line.find("\t-\t-\t0\t0\trefused") != std::string::npos;
                            }),
              3);
    std::erase_if(lines, [&](const std::string& line) { return line.rfind(tcpRefused, 0) == 0; });
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected) << tarnwick->out();
}

TEST_F(StatusE2E, NoRunningInstanceExitsOne) {
    auto [code, err] = Status();
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("tarnwick: no running instance for " + temp.path()), std::string::npos) << err;
}

}  // namespace
}  // namespace tarnwick
