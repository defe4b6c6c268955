// Renders the main window (a few rows, one running), the port dialog with rules and the
// rule dialog into PNG files, for the README. `make screenshots` runs it under Xvfb.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <iostream>

#include "ui/CAddPortDlg.h"
#include "ui/CAddRuleDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/CMainDlg.h"

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
    }
    return ok ? 0 : 1;
}
