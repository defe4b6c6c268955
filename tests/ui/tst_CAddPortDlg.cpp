#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QtTest>

#include "ui/CAddPortDlg.h"
#include "ui/CAddRuleDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/PortForm.h"
#include "tests/ui/UiTestSupport.h"

using namespace tarnwick;
using tarnwick::test::ClickOk;
using tarnwick::test::Field;
using tarnwick::test::MessageRecorder;
using tarnwick::test::OnNextModal;
using tarnwick::test::SetField;

namespace {

std::unique_ptr<ForwardingRule> Rule(const std::string& name) {
    auto rule = std::make_unique<ForwardingRule>();
    rule->searchType = 1;
    rule->forwardPort = 81;
    rule->forwardIp = "10.0.0.1";
    rule->ruleName = name;
    rule->searchData = "AA XX";
    return rule;
}

// A UDP record with the rules `names`, in that order.
std::unique_ptr<ForwardingPort> Record(std::initializer_list<std::string> names) {
    auto port = std::make_unique<ForwardingPort>();
    port->protocol = PROTOCOL_UDP;
    port->listenPort = 5353;
    port->forwardPort = 53;
    port->forwardIp = "ns.example";
    port->timeoutSeconds = 9;
    port->captureFirstPacket = 1;
    for (const std::string& name : names) {
        port->appendRule(Rule(name));
    }
    return port;
}

std::vector<std::string> RuleNames(const ForwardingPort& port) {
    std::vector<std::string> names;
    for (const auto& rule : port.rules) {
        names.push_back(rule->ruleName);
    }
    return names;
}

std::vector<const ForwardingRule*> RuleObjects(const ForwardingPort& port) {
    std::vector<const ForwardingRule*> objects;
    for (const auto& rule : port.rules) {
        objects.push_back(rule.get());
    }
    return objects;
}

// Runs "Add New Rule" and accepts the rule dialog with the name `name`.
bool AddRuleNamed(CAddPortDlg& dialog, const QString& name) {
    auto seen = std::make_shared<bool>(false);
    OnNextModal<CAddRuleDlg>(
        [name](CAddRuleDlg& rule) {
            SetField(rule, "ruleName", name);
            ClickOk(rule);
        },
        seen);
    dialog.addRule();
    return *seen;
}

QStringList MenuTexts(CAddPortDlg& dialog) {
    QMenu menu;
    dialog.fillRuleMenu(menu);
    QStringList texts;
    for (QAction* action : menu.actions()) {
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

}  // namespace

class TestCAddPortDlg : public QObject {
    Q_OBJECT

private slots:
    void addModeOpensWithTheDefaults();
    void editModeShowsTheRecord();
    void checksInOrder_data();
    void checksInOrder();
    void captureNoticeOnlyWhenClickedOn();
    void newRuleGoesToTheTopAndIsTriedFirst();
    void okStoresTheRulesInListOrder();
    void cancelledEditLeavesTheRecord();
    void ruleEditsStayAfterCancel();
    void cancelInAddModeLeavesNoRules();
    void ruleMenuAndMoves();
    void nonZeroProtocolStaysUdp();
    void listenAddressAndClientsAreCheckedLastAndKept();
    void proxyProtocolChoice();
};

void TestCAddPortDlg::addModeOpensWithTheDefaults() {
    CAddPortDlg dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Add New Forwarding Port"));
    QVERIFY(dialog.findChild<QRadioButton*>("tcp")->isChecked());
    QCOMPARE(Field(dialog, "listenPort")->text(), QStringLiteral("80"));
    QCOMPARE(Field(dialog, "forwardIp")->text(), QStringLiteral("192.168.1.5"));
    QCOMPARE(Field(dialog, "forwardPort")->text(), QStringLiteral("80"));
    QCOMPARE(Field(dialog, "timeoutSeconds")->text(), QStringLiteral("5"));
    QVERIFY(!dialog.findChild<QCheckBox*>("captureFirstPacket")->isChecked());
    QCOMPARE(dialog.ruleList()->rowCount(), 0);
    QCOMPARE(dialog.focusWidget(), dialog.findChild<QPushButton*>("ok"));
}

void TestCAddPortDlg::editModeShowsTheRecord() {
    MessageRecorder recorder;
    auto record = Record({"one", "two"});
    CAddPortDlg dialog(record.get());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Edit Forwarding Port"));
    QVERIFY(dialog.findChild<QRadioButton*>("udp")->isChecked());
    QVERIFY(dialog.findChild<QCheckBox*>("captureFirstPacket")->isChecked());
    QCOMPARE(Field(dialog, "listenPort")->text(), QStringLiteral("5353"));
    QCOMPARE(Field(dialog, "timeoutSeconds")->text(), QStringLiteral("9"));
    QCOMPARE(Field(dialog, "forwardIp")->text(), QStringLiteral("ns.example"));
    CListCtrlEx* rules = dialog.ruleList();
    QCOMPARE(rules->rowCount(), 2);
    QCOMPARE(rules->rowText(1, 0), QStringLiteral("two"));
    QCOMPARE(rules->rowText(1, 1), QStringLiteral("AA XX"));
    QCOMPARE(rules->rowText(1, 2), QStringLiteral("10.0.0.1:81"));
    QVERIFY(recorder.messages.isEmpty());  // a checked capture box at opening says nothing
}

void TestCAddPortDlg::checksInOrder_data() {
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("forward");
    QTest::addColumn<QString>("timeout");
    QTest::addColumn<int>("ipLength");
    QTest::addColumn<QString>("message");  // empty: accepted
    QTest::addColumn<QString>("caption");
    // Boundaries and number reading are FieldChecks' own tests; here, that the dialog
    // reads its fields, runs the checks in order and stops at the first failure.
    const QString badListen = "Invalid Listen Port Entered, value must be between 1-65535";
    const QString badTimeout = "Invalid Timeout Value, value must be between 1-30 seconds";
    QTest::newRow("accepted") << " 8080"
                              << "80abc"
                              << "5.9" << 260 << ""
                              << "";
    QTest::newRow("empty ip") << "80"
                              << "80"
                              << "5" << 0 << ""
                              << "";
    QTest::newRow("both ports bad") << "0"
                                    << "0"
                                    << "0" << 261 << badListen << "Invalid Port";
    QTest::newRow("forward port bad")
        << "80"
        << "65536"
        << "0" << 261 << "Invalid Forward Port Entered, value must be between 1-65535"
        << "Invalid Port";
    QTest::newRow("timeout 31") << "80"
                                << "80"
                                << "31" << 261 << badTimeout << "Invalid Timeout Value";
    QTest::newRow("ip 261") << "80"
                            << "80"
                            << "5" << 261 << "IP cannot exceed 260 characters"
                            << "Invalid IP";
}

void TestCAddPortDlg::checksInOrder() {
    QFETCH(QString, listen);
    QFETCH(QString, forward);
    QFETCH(QString, timeout);
    QFETCH(int, ipLength);
    QFETCH(QString, message);
    QFETCH(QString, caption);
    MessageRecorder recorder;
    CAddPortDlg dialog(nullptr);
    SetField(dialog, "listenPort", listen);
    SetField(dialog, "forwardPort", forward);
    SetField(dialog, "timeoutSeconds", timeout);
    SetField(dialog, "forwardIp", QString(ipLength, 'h'));

    ClickOk(dialog);

    std::unique_ptr<ForwardingPort> result = dialog.takeResult();
    if (message.isEmpty()) {
        QVERIFY(recorder.messages.isEmpty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(result);
        QCOMPARE(result->forwardIp.size(), std::size_t(ipLength));
        QCOMPARE(result->threadId, ThreadId{0});
        return;
    }
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].text, message);
    QCOMPARE(recorder.messages[0].caption, caption);
    QVERIFY(recorder.messages[0].icon == MessageIcon::Stop);
    QVERIFY(!result);
}

void TestCAddPortDlg::captureNoticeOnlyWhenClickedOn() {
    MessageRecorder recorder;
    CAddPortDlg dialog(nullptr);
    auto* capture = dialog.findChild<QCheckBox*>("captureFirstPacket");
    capture->click();  // on
    capture->click();  // off: nothing
    capture->click();  // on again
    QCOMPARE(recorder.messages.size(), 2);
    QCOMPARE(recorder.messages[0].text,
             QStringLiteral("Don't forget to Uncheck this option once you have dumped the data "
                            "packet!"));
    QCOMPARE(recorder.messages[0].caption, QStringLiteral("Option Notice"));
    QVERIFY(recorder.messages[0].icon == MessageIcon::Information);
}

void TestCAddPortDlg::newRuleGoesToTheTopAndIsTriedFirst() {
    auto record = Record({"old one", "old two"});
    CAddPortDlg dialog(record.get());
    QVERIFY(AddRuleNamed(dialog, "new"));
    QCOMPARE(dialog.ruleList()->rowText(0, 0), QStringLiteral("new"));
    QCOMPARE(dialog.ruleList()->rowText(0, 2), QStringLiteral("192.168.1.5:80"));
    ClickOk(dialog);
    auto result = dialog.takeResult();
    QVERIFY(result);
    QCOMPARE(RuleNames(*result), (std::vector<std::string>{"new", "old one", "old two"}));
    QCOMPARE(dialog.ownedRuleCount(), 0);  // handed over with the result
}

void TestCAddPortDlg::okStoresTheRulesInListOrder() {
    auto record = Record({"b", "drop", "C", "a"});
    CAddPortDlg dialog(record.get());
    SetField(dialog, "listenPort", "6000");
    dialog.ruleList()->selectRow(1);
    dialog.deleteRule();
    dialog.ruleList()->sortOnColumn(0);  // what a click on "Rule Name" does
    ClickOk(dialog);
    auto result = dialog.takeResult();
    QCOMPARE(RuleNames(*record), (std::vector<std::string>{"b", "drop", "C", "a"}));  // not yet
    record->takeSettings(std::move(*result));
    QCOMPARE(RuleNames(*record), (std::vector<std::string>{"a", "b", "C"}));
    QCOMPARE(record->listenPort, 6000);
    QCOMPARE(record->protocol, PROTOCOL_UDP);
    QVERIFY(!dialog.ruleList()->itemData(0).isValid());  // rows let go of the rules
}

void TestCAddPortDlg::cancelledEditLeavesTheRecord() {
    MessageRecorder recorder;
    auto record = Record({"one", "two", "three"});
    const auto before = record->deepCopy();
    const auto objects = RuleObjects(*record);
    CAddPortDlg dialog(record.get());
    SetField(dialog, "listenPort", "7000");
    SetField(dialog, "timeoutSeconds", "99");
    dialog.ruleList()->selectRow(0);
    dialog.deleteRule();
    dialog.ruleList()->selectRow(1);
    dialog.moveRuleToTop();
    QVERIFY(AddRuleNamed(dialog, "added"));
    ClickOk(dialog);  // fails on the timeout
    QCOMPARE(recorder.messages.size(), 1);
    dialog.findChild<QPushButton*>("cancel")->click();

    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(!dialog.takeResult());
    QVERIFY(record->sameSettings(*before));
    QVERIFY(RuleObjects(*record) == objects);
    QCOMPARE(dialog.ownedRuleCount(), 0);
}

void TestCAddPortDlg::ruleEditsStayAfterCancel() {
    auto record = Record({"one", "two"});
    CAddPortDlg dialog(record.get());
    dialog.ruleList()->selectRow(1);
    auto seen = std::make_shared<bool>(false);
    OnNextModal<CAddRuleDlg>(
        [](CAddRuleDlg& rule) {
            SetField(rule, "ruleName", "renamed");
            ClickOk(rule);
        },
        seen);
    dialog.editRule();
    QVERIFY(*seen);
    QCOMPARE(dialog.ruleList()->rowText(1, 0), QStringLiteral("renamed"));
    dialog.reject();
    QCOMPARE(RuleNames(*record), (std::vector<std::string>{"one", "renamed"}));
}

void TestCAddPortDlg::cancelInAddModeLeavesNoRules() {
    CAddPortDlg dialog(nullptr);
    QVERIFY(AddRuleNamed(dialog, "first"));
    QVERIFY(AddRuleNamed(dialog, "second"));
    QCOMPARE(dialog.ownedRuleCount(), 2);
    dialog.ruleList()->selectRow(0);
    dialog.deleteRule();  // a rule created here goes at once
    QCOMPARE(dialog.ownedRuleCount(), 1);

    auto seen = std::make_shared<bool>(false);  // a cancelled rule dialog adds nothing
    OnNextModal<CAddRuleDlg>([](CAddRuleDlg& rule) { rule.reject(); }, seen);
    dialog.addRule();
    QVERIFY(*seen);
    QCOMPARE(dialog.ownedRuleCount(), 1);

    dialog.reject();
    QCOMPARE(dialog.ownedRuleCount(), 0);
    QCOMPARE(dialog.ruleList()->rowCount(), 0);
    QVERIFY(!dialog.takeResult());
}

void TestCAddPortDlg::ruleMenuAndMoves() {
    auto record = Record({"a", "b", "c"});
    CAddPortDlg dialog(record.get());
    QCOMPARE(MenuTexts(dialog), QStringList({"Add New Rule"}));

    dialog.ruleList()->selectRow(0);
    QCOMPARE(MenuTexts(dialog),
             QStringList({"Add New Rule", "Edit Rule", "Delete Rule", "-", "Move Rule Up",
                          "Move Rule Down", "Move Rule to Top", "Move Rule to Bottom"}));
    dialog.moveRuleUp();  // first row: nothing
    QCOMPARE(dialog.ruleList()->currentRow(), 0);
    dialog.moveRuleToBottom();
    QCOMPARE(dialog.ruleList()->rowText(2, 0), QStringLiteral("a"));
    QVERIFY(dialog.ruleList()->selectedRows().isEmpty());
    dialog.deleteRule();  // no current row any more: nothing
    QCOMPARE(dialog.ruleList()->rowCount(), 3);

    ClickOk(dialog);
    QCOMPARE(RuleNames(*dialog.takeResult()), (std::vector<std::string>{"b", "c", "a"}));
}

void TestCAddPortDlg::nonZeroProtocolStaysUdp() {
    auto record = Record({});
    record->protocol = 7;  // hand-edited file: runs as UDP
    CAddPortDlg dialog(record.get());
    QVERIFY(dialog.findChild<QRadioButton*>("udp")->isChecked());
    ClickOk(dialog);
    QCOMPARE(dialog.takeResult()->protocol, 7);

    PortForm form = PortForm::FromPort(*record);
    form.udp = false;
    QCOMPARE(form.toPort(record.get()).protocol, PROTOCOL_TCP);
    form.udp = true;
    QCOMPARE(form.toPort(nullptr).protocol, PROTOCOL_UDP);
}

// The two fields take what --import takes, after the classic checks, and an edit shows
// and writes back exactly what the record holds.
void TestCAddPortDlg::listenAddressAndClientsAreCheckedLastAndKept() {
    auto record = Record({});
    record->listenAddress = "127.0.0.1";
    record->allowFrom = {"10.0.0.0/8", "::1"};
    MessageRecorder recorder;
    CAddPortDlg dialog(record.get());
    auto* clients = dialog.findChild<QPlainTextEdit*>("allowFrom");
    QCOMPARE(Field(dialog, "listenAddress")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(clients->toPlainText(), QStringLiteral("10.0.0.0/8\n::1"));

    SetField(dialog, "listenAddress", "localhost");
    clients->setPlainText("10.0.0.0/33");
    SetField(dialog, "timeoutSeconds", "0");
    ClickOk(dialog);
    SetField(dialog, "timeoutSeconds", "5");
    ClickOk(dialog);
    clients->setPlainText("10.0.0.0/8\n\n 192.168.1.0/33 ");
    SetField(dialog, "listenAddress", " ::1 ");
    ClickOk(dialog);
    QCOMPARE(recorder.messages.size(), 3);
    QCOMPARE(recorder.messages[0].caption, QStringLiteral("Invalid Timeout Value"));
    QCOMPARE(recorder.messages[1].text,
             QStringLiteral("Invalid Listen Address Entered, \"localhost\" is not an IPv4 or IPv6 address"));
    QCOMPARE(recorder.messages[2].text,
             QStringLiteral("Invalid Allowed Client Entered, \"192.168.1.0/33\" is not an address or prefix"));
    QCOMPARE(recorder.messages[2].caption, QStringLiteral("Invalid Address"));
    QVERIFY(!dialog.takeResult());

    clients->setPlainText("10.0.0.0/8\n\n127.0.0.2 \n");
    ClickOk(dialog);
    std::unique_ptr<ForwardingPort> result = dialog.takeResult();
    QVERIFY(result);
    QCOMPARE(result->listenAddress, std::string("::1"));
    QVERIFY((result->allowFrom == std::vector<std::string>{"10.0.0.0/8", "127.0.0.2"}));
    QCOMPARE(record->listenAddress, std::string("127.0.0.1"));  // until the caller applies it

    // An untouched edit writes back every stored setting as it was.
    CAddPortDlg untouched(record.get());
    ClickOk(untouched);
    QVERIFY(untouched.takeResult()->settings() == record->settings());
}

// Off by default; disabled while UDP is chosen; what it does not show stays as it was.
void TestCAddPortDlg::proxyProtocolChoice() {
    CAddPortDlg add(nullptr);
    auto* choice = add.findChild<QComboBox*>("proxyProtocol");
    QCOMPARE(choice->currentText(), QStringLiteral("Off"));
    QVERIFY(choice->isEnabled());
    add.findChild<QRadioButton*>("udp")->setChecked(true);
    QVERIFY(!choice->isEnabled());
    QCOMPARE(choice->toolTip(), QStringLiteral("A UDP port sends no PROXY protocol header"));
    add.findChild<QRadioButton*>("tcp")->setChecked(true);
    QVERIFY(choice->isEnabled());
    choice->setCurrentIndex(2);
    ClickOk(add);
    QCOMPARE(add.takeResult()->proxyProtocol, PROXY_PROTOCOL_V2);

    auto record = Record({});
    QVERIFY(!CAddPortDlg(record.get()).findChild<QComboBox*>("proxyProtocol")->isEnabled());
    record->protocol = PROTOCOL_TCP;
    record->proxyProtocol = PROXY_PROTOCOL_V1;
    record->acceptProxyProtocol = true;
    CAddPortDlg edit(record.get());
    QCOMPARE(edit.findChild<QComboBox*>("proxyProtocol")->currentText(),
             QStringLiteral("Version 1"));
    ClickOk(edit);
    std::unique_ptr<ForwardingPort> result = edit.takeResult();
    QCOMPARE(result->proxyProtocol, PROXY_PROTOCOL_V1);
    QVERIFY(result->acceptProxyProtocol);

    record->proxyProtocol = 9;  // hand-edited: shown and run as off, kept unless changed
    QCOMPARE(PortForm::FromPort(*record).proxyProtocol, PROXY_PROTOCOL_OFF);
    QCOMPARE(PortForm::FromPort(*record).toPort(record.get()).proxyProtocol, 9);
}

QTEST_MAIN(TestCAddPortDlg)
#include "tst_CAddPortDlg.moc"
