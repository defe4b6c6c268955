// The port status window against a real controller, real workers and real connections on
// loopback.
#include <QtTest>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/CPortStatusDlg.h"
#include "engine/worker/Mailbox.h"
#include "qtcore/MailboxPump.h"
#include "tests/support/LoopbackServers.h"

using namespace tarnwick;
using namespace tarnwick::testing;

namespace {

// The window reads the controller, not the list.
class NoView : public PortView {
public:
    void setRunning(std::size_t, bool, int) override {}
};

std::unique_ptr<ForwardingPort> Port(int listenPort, int forwardPort) {
    auto port = std::make_unique<ForwardingPort>();
    port->listenPort = listenPort;
    port->forwardIp = "127.0.0.1";
    port->forwardPort = forwardPort;
    return port;
}

}  // namespace

class TestPortStatusDlg : public QObject {
    Q_OBJECT

private slots:
    void countsRealConnectionsAndShowsTheNewestFirst() {
        NoView view;
        MailboxPump pump([&](const Message& message) { controller->handleNotice(message); });
        controller = std::make_unique<CPortController>(view, pump.id(),
                                                       std::make_shared<CaptureLog>("/nonexistent"));
        controller->keepRecentConnections(CPortStatusDlg::LOG_LINES);
        const int backend = ListenOnLoopback();  // takes the connections into its backlog
        ReservedPort refused;                    // a connect to it is refused
        controller->insertPort(Port(FreePort(), refused.port()));
        controller->insertPort(Port(FreePort(), BoundPort(backend)));
        controller->startAll();

        CPortStatusDlg window(*controller, controller->port(0));
        window.show();
        QTRY_COMPARE_WITH_TIMEOUT(window.stateText(), QString("Running"), 10000);
        QCOMPARE(window.valueOf("Listen On"), QString("localhost:%1").arg(controller->port(0).listenPort));
        QCOMPARE(window.valueOf("Connections accepted"), QString("0"));

        // Three connections, one after the other, each sending its own number of bytes.
        QList<int> clientPorts;
        for (int i = 1; i <= 3; ++i) {
            auto client = std::make_unique<Client>(controller->port(0).listenPort);
            QVERIFY(client->connected());
            QVERIFY(client->send(std::string(static_cast<std::size_t>(i), 'x')));
            clientPorts << client->localPort();
            QTRY_COMPARE_WITH_TIMEOUT(window.valueOf("Bytes from clients"),
                                      QString::number(i * (i + 1) / 2), 10000);
            client->abort();  // the backend never closes: a reset ends the connection
            QTRY_COMPARE_WITH_TIMEOUT(window.logLines().size(), i, 10000);
        }
        QCOMPARE(window.valueOf("Connections accepted"), QString("3"));
        QCOMPARE(window.valueOf("Connections open"), QString("0"));
        QCOMPARE(window.valueOf("Default route: standard"), QString("3"));
        QCOMPARE(window.valueOf("Resets"), QString("3"));
        const QStringList lines = window.logLines();
        QVERIFY2(lines[0].contains(QString(":%1\t").arg(clientPorts[2])), qPrintable(lines[0]));
        QVERIFY2(lines[2].contains(QString(":%1\t").arg(clientPorts[0])), qPrintable(lines[2]));
        QVERIFY(lines[0].contains("\t3\t0\t"));  // bytes from and to the client

        // A destination that refuses: counted by its error, on the other port's window.
        CPortStatusDlg refusing(*controller, controller->port(1));
        refusing.show();
        { Client client(controller->port(1).listenPort); }
        QTRY_COMPARE_WITH_TIMEOUT(refusing.valueOf("Failed connects: Connection refused"),
                                  QString("1"), 10000);

        // Stopped: no counts any more, and no reason either.
        controller->stopPort(0);
        QTRY_COMPARE_WITH_TIMEOUT(window.stateText(), QString("Not running"), 10000);
        QVERIFY(window.valueOf("Connections accepted").isNull());
        QCOMPARE(window.logLines().size(), 3);  // the port's connections stay
        controller->shutdown();
        ::close(backend);
    }

private:
    std::unique_ptr<CPortController> controller;
};

QTEST_MAIN(TestPortStatusDlg)
#include "tst_CPortStatusDlg.moc"
