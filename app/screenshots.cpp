// Renders the main window (a few rows, one running), the port dialog with rules, the rule
// dialog, a port that cannot listen with its reason, and the status window of a port
// after a few connections into PNG files, for the README. `make screenshots` runs it
// under Xvfb.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QPainter>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QToolTip>

#include <iostream>

#include "ui/CAddPortDlg.h"
#include "ui/CAddRuleDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/CMainDlg.h"
#include "ui/CPortStatusDlg.h"

using namespace tarnwick;

namespace {

std::unique_ptr<ForwardingRule> Rule(const char* name, int hex, const char* data, int port) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->ruleName = name;
    rule->searchType = hex;
    rule->caseSensitive = hex ? 0 : 1;
    rule->searchData = data;
    rule->forwardIp = "127.0.0.1";
    rule->forwardPort = port;
    return rule;
}

std::unique_ptr<ForwardingPort> Port(int protocol, int listen, const char* ip, int forward) {
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = protocol;
    port->listenPort = listen;
    port->forwardIp = ip;
    port->forwardPort = forward;
    return port;
}

bool Save(QWidget& widget, const QString& path) {
    widget.show();
    QApplication::processEvents();
    bool saved = widget.grab().save(path);
    std::cout << (saved ? "wrote " : "cannot write ") << path.toStdString() << "\n";
    return saved;
}

// Waits, handling events, until `done` holds or ten seconds pass.
template <class Predicate>
bool Await(Predicate done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return done();
}

// A few connections through `listenPort` to a backend that answers each one.
void MakeConnections(QTcpServer& backend, int listenPort) {
    QObject::connect(&backend, &QTcpServer::newConnection, [&backend] {
        while (QTcpSocket* peer = backend.nextPendingConnection()) {
            QObject::connect(peer, &QTcpSocket::readyRead, [peer] {
                peer->write("HTTP/1.0 200 OK\r\n\r\nhello\n");
                peer->disconnectFromHost();
            });
        }
    });
    for (int i = 0; i < 4; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(listenPort));
        if (!Await([&] { return client.state() == QAbstractSocket::ConnectedState; })) {
            continue;
        }
        client.write(i == 2 ? "SSH-2.0-OpenSSH\r\n" : "GET / HTTP/1.0\r\n\r\n");
        Await([&] { return client.state() == QAbstractSocket::UnconnectedState; });
    }
}

// The window with the tip of a cell drawn below the cell, as the pointer resting on it
// shows it (a virtual X server without a pointer shows no tips of its own).
bool SaveWithTip(QWidget& window, CListCtrlEx& list, int row, int column, const QString& path) {
    window.show();
    QApplication::processEvents();
    QPixmap shot = window.grab();
    const QRect cell = list.visualRect(list.model()->index(row, column));
    const QPoint corner = list.viewport()->mapTo(&window, cell.bottomLeft()) + QPoint(12, 6);
    const QString tip = list.cellTip(row, column);
    const QFontMetrics metrics(QToolTip::font());
    QRect box(corner, metrics.size(0, tip) + QSize(12, 8));
    box.moveRight(std::min(box.right(), shot.width() - 8));
    QPainter painter(&shot);
    painter.setFont(QToolTip::font());
    painter.setPen(QToolTip::palette().color(QPalette::ToolTipText));
    painter.setBrush(QToolTip::palette().color(QPalette::ToolTipBase));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.drawText(box, Qt::AlignCenter, tip);
    painter.end();
    const bool saved = shot.save(path);
    std::cout << (saved ? "wrote " : "cannot write ") << path.toStdString() << "\n";
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("docs");
    QDir().mkpath(out);
    QTemporaryDir config;

    PortTable ports;
    auto smart = Port(0, 44300, "127.0.0.1", 8080);
    smart->appendRule(Rule("ssh", 0, "SSH-", 22));
    smart->appendRule(Rule("https", 1, "16 03 XX", 8443));
    ports.push_back(std::move(smart));
    ports.push_back(Port(1, 5353, "192.168.1.5", 53));
    ports.push_back(Port(0, 8080, "localhost", 80));
    ConfigFile(config.path().toStdString()).save(ports);

    bool ok = true;
    {
        CMainDlg window(ConfigFile(config.path().toStdString()), false);
        window.controller().startPort(0);
        QDeadlineTimer deadline(10000);
        while (window.portList()->rowText(0, 4) != "Yes" && !deadline.hasExpired()) {
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        window.portList()->selectRow(0);
        ok &= Save(window, out + "/main-window.png");

        CAddPortDlg portDialog(&window.controller().port(0), &window);
        portDialog.ruleList()->selectRow(0);
        ok &= Save(portDialog, out + "/port-dialog.png");

        CAddRuleDlg ruleDialog(window.controller().port(0).rules[1].get(), &window);
        ok &= Save(ruleDialog, out + "/rule-dialog.png");
        ruleDialog.hide();
        portDialog.hide();

        QTcpServer backend;
        backend.listen(QHostAddress::LocalHost);
        ForwardingPort& smart = window.controller().port(0);
        smart.forwardPort = backend.serverPort();
        const ThreadId before = smart.threadId;
        window.controller().requestRestart(0);
        Await([&] { return smart.threadId != before && window.controller().isRunning(0); });
        MakeConnections(backend, smart.listenPort);
        CPortStatusDlg status(window.controller(), smart, &window);
        status.show();
        Await([&] { return status.logLines().size() >= 4; });
        ok &= Save(status, out + "/port-status.png");
    }
    {
        // A port whose listen port another program holds.
        QTcpServer holder;
        holder.listen(QHostAddress::Any, 8080);
        CMainDlg window(ConfigFile(config.path().toStdString()), false);
        window.controller().startAll();
        Await([&] { return window.portList()->hasCellIcon(2, 4); });
        ok &= SaveWithTip(window, *window.portList(), 2, 4, out + "/failed-port.png");
    }
    return ok ? 0 : 1;
}
