#include <QCheckBox>
#include <QRadioButton>
#include <QtTest>

#include "ui/CAddRuleDlg.h"
#include "ui/RuleForm.h"
#include "tests/ui/UiTestSupport.h"

using namespace tarnwick;
using tarnwick::test::ClickOk;
using tarnwick::test::Field;
using tarnwick::test::MessageRecorder;
using tarnwick::test::SetField;

namespace {

ForwardingRule SampleRule() {
    ForwardingRule rule;
    rule.searchType = 0;
    rule.caseSensitive = 1;
    rule.forwardPort = 8080;
    rule.forwardIp = "10.0.0.7";
    rule.ruleName = "Web";
    rule.searchData = "GET /";
    return rule;
}

bool SameRule(const ForwardingRule& a, const ForwardingRule& b) {
    return a.searchType == b.searchType && a.caseSensitive == b.caseSensitive &&
           a.forwardPort == b.forwardPort && a.forwardIp == b.forwardIp &&
           a.ruleName == b.ruleName && a.searchData == b.searchData;
}

QRadioButton* Radio(QWidget& dialog, const char* name) {
    return dialog.findChild<QRadioButton*>(QString::fromLatin1(name));
}

}  // namespace

class TestCAddRuleDlg : public QObject {
    Q_OBJECT

private slots:
    void untouchedTextsKeepTheirBytes();
    void flagsAndNumbersOfTheRecord();
    void addModeOpensWithTheDefaults();
    void editModeShowsTheRule();
    void checksInOrder_data();
    void checksInOrder();
    void acceptedValuesAreStoredAsTyped();
    void failedCheckThenCancelLeavesTheRule();
    void tlsRulesHaveTheirOwnCheckAndAreStoredAsTextRules();
};

void TestCAddRuleDlg::untouchedTextsKeepTheirBytes() {
    ForwardingRule stored = SampleRule();
    stored.ruleName = "caf\xe9";  // Latin-1 bytes, not UTF-8
    stored.searchData = "\xff\xfe raw";

    RuleForm form = RuleForm::FromRule(stored);
    ForwardingRule unchanged = form.toRule(&stored);
    QVERIFY(SameRule(unchanged, stored));

    form.ruleName = QString::fromUtf8("caf\xc3\xa9!");  // edited: stored as UTF-8
    ForwardingRule edited = form.toRule(&stored);
    QCOMPARE(edited.ruleName, std::string("caf\xc3\xa9!"));
    QCOMPARE(edited.searchData, stored.searchData);
}

void TestCAddRuleDlg::flagsAndNumbersOfTheRecord() {
    ForwardingRule stored = SampleRule();
    stored.searchType = 2;    // any non-zero value is a hex pattern
    stored.forwardPort = -1;  // from a hand-edited file
    RuleForm form = RuleForm::FromRule(stored);
    QVERIFY(form.hex);
    QCOMPARE(form.forwardPort, QStringLiteral("4294967295"));
    QCOMPARE(form.toRule(&stored).searchType, 2);  // left on, so left as it was

    form.forwardPort = QStringLiteral(" 80abc");
    QCOMPARE(form.toRule(&stored).forwardPort, 80);
    form.forwardPort = QStringLiteral("99999999999999");
    QVERIFY(CheckRule(form.toRule(&stored)).has_value());  // saturates, never wraps
    form.hex = false;
    form.caseSensitive = false;
    QCOMPARE(form.toRule(&stored).searchType, 0);
    QCOMPARE(form.toRule(&stored).caseSensitive, 0);
}

void TestCAddRuleDlg::addModeOpensWithTheDefaults() {
    CAddRuleDlg dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Add New Rule"));
    QCOMPARE(Field(dialog, "ruleName")->text(), QStringLiteral("My Rule"));
    QCOMPARE(Field(dialog, "searchData")->text(), QStringLiteral("00 00 00 FF FF FF"));
    QCOMPARE(Field(dialog, "forwardIp")->text(), QStringLiteral("192.168.1.5"));
    QCOMPARE(Field(dialog, "forwardPort")->text(), QStringLiteral("80"));
    QVERIFY(Radio(dialog, "hex")->isChecked());
    QVERIFY(!Radio(dialog, "text")->isChecked());
    QVERIFY(!dialog.findChild<QCheckBox*>("caseSensitive")->isChecked());
    QCOMPARE(dialog.focusWidget(), dialog.findChild<QPushButton*>("ok"));
}

void TestCAddRuleDlg::editModeShowsTheRule() {
    const ForwardingRule rule = SampleRule();
    CAddRuleDlg dialog(&rule);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Edit Rule"));
    QCOMPARE(Field(dialog, "ruleName")->text(), QStringLiteral("Web"));
    QCOMPARE(Field(dialog, "searchData")->text(), QStringLiteral("GET /"));
    QCOMPARE(Field(dialog, "forwardIp")->text(), QStringLiteral("10.0.0.7"));
    QCOMPARE(Field(dialog, "forwardPort")->text(), QStringLiteral("8080"));
    QVERIFY(Radio(dialog, "text")->isChecked());
    QVERIFY(dialog.findChild<QCheckBox*>("caseSensitive")->isChecked());
}

void TestCAddRuleDlg::checksInOrder_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<int>("ipLength");
    QTest::addColumn<int>("searchLength");
    QTest::addColumn<QString>("message");  // empty: accepted
    QTest::addColumn<QString>("caption");
    // Boundaries and number reading are FieldChecks' own tests; here, that the dialog
    // reads its fields, runs the checks in order and stops at the first failure.
    const QString badPort = "Invalid Port Entered, value must be between 1-65535";
    QTest::newRow("all at their limits") << " 80abc" << 260 << 260 << 4096 << ""
                                         << "";
    QTest::newRow("port 0") << "0" << 7 << 11 << 17 << badPort << "Invalid Port";
    QTest::newRow("bad port first") << "" << 261 << 261 << 4097 << badPort << "Invalid Port";
    QTest::newRow("name 261") << "80" << 261 << 261 << 4097
                              << "Rule Name cannot exceed 260 characters"
                              << "Rule Name too long";
    QTest::newRow("ip 261") << "80" << 7 << 261 << 4097 << "IP cannot exceed 260 characters"
                            << "Invalid IP";
    QTest::newRow("search 4097") << "80" << 7 << 11 << 4097
                                 << "Search Data cannot exceed 4096 characters"
                                 << "Search Data too long";
}

void TestCAddRuleDlg::checksInOrder() {
    QFETCH(QString, port);
    QFETCH(int, nameLength);
    QFETCH(int, ipLength);
    QFETCH(int, searchLength);
    QFETCH(QString, message);
    QFETCH(QString, caption);
    MessageRecorder recorder;
    CAddRuleDlg dialog(nullptr);
    SetField(dialog, "forwardPort", port);
    SetField(dialog, "ruleName", QString(nameLength, 'n'));
    SetField(dialog, "forwardIp", QString(ipLength, 'i'));
    SetField(dialog, "searchData", QString(searchLength, 's'));

    ClickOk(dialog);

    if (message.isEmpty()) {
        QVERIFY(recorder.messages.isEmpty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.rule().ruleName.size(), std::size_t(nameLength));
        return;
    }
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].text, message);
    QCOMPARE(recorder.messages[0].caption, caption);
    QVERIFY(recorder.messages[0].icon == MessageIcon::Stop);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));  // still open, nothing accepted
}

void TestCAddRuleDlg::acceptedValuesAreStoredAsTyped() {
    MessageRecorder recorder;
    CAddRuleDlg dialog(nullptr);
    SetField(dialog, "ruleName", "");
    SetField(dialog, "searchData", " not hex at all ");
    SetField(dialog, "forwardIp", "");
    dialog.findChild<QCheckBox*>("caseSensitive")->setChecked(true);  // kept in hex mode
    ClickOk(dialog);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(SameRule(dialog.rule(), {1, 1, 80, "", "", " not hex at all "}));
}

void TestCAddRuleDlg::failedCheckThenCancelLeavesTheRule() {
    MessageRecorder recorder;
    const ForwardingRule rule = SampleRule();
    CAddRuleDlg dialog(&rule);
    SetField(dialog, "ruleName", "Changed");
    SetField(dialog, "forwardPort", "0");
    ClickOk(dialog);
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(dialog.focusWidget(), Field(dialog, "forwardPort"));  // the field to correct
    dialog.findChild<QPushButton*>("cancel")->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(SameRule(rule, SampleRule()));
}

void TestCAddRuleDlg::tlsRulesHaveTheirOwnCheckAndAreStoredAsTextRules() {
    struct Case {
        const char* radio;
        const char* data;
        const char* port;
        const char* caption;  // nullptr: accepted
    };
    const Case cases[] = {
        {"tlsServerName", "*.example.com", "443", nullptr},
        {"tlsServerName", "www.Example.com.", "443", nullptr},
        {"tlsServerName", "a.*.example.com", "443", "Invalid Server Name"},
        {"tlsServerName", "-bad.example.com", "443", "Invalid Server Name"},
        {"tlsServerName", "", "443", "Invalid Server Name"},
        {"tlsServerName", "bad name", "0", "Invalid Port"},  // the common checks come first
        {"tlsAlpn", "h2", "443", nullptr},
        {"tlsAlpn", "", "443", "Invalid ALPN Protocol"},
    };
    for (const Case& c : cases) {
        MessageRecorder recorder;
        CAddRuleDlg dialog(nullptr);
        Radio(dialog, c.radio)->setChecked(true);
        dialog.findChild<QCheckBox*>("caseSensitive")->setChecked(true);  // ignored
        SetField(dialog, "searchData", c.data);
        SetField(dialog, "forwardPort", c.port);
        ClickOk(dialog);
        if (c.caption != nullptr) {
            QCOMPARE(recorder.messages.size(), 1);
            QCOMPARE(recorder.messages[0].caption, QString(c.caption));
            continue;
        }
        QVERIFY(recorder.messages.isEmpty());
        const ForwardingRule& rule = dialog.rule();
        QCOMPARE(int(rule.kind), std::string(c.radio) == "tlsAlpn" ? int(RuleKind::TlsAlpn)
                                                                   : int(RuleKind::TlsServerName));
        QCOMPARE(rule.searchType, 0);
        QCOMPARE(rule.caseSensitive, 0);
        QCOMPARE(rule.searchData, std::string(c.data));

        CAddRuleDlg edit(&rule);  // shows the kind it stored
        QVERIFY(Radio(edit, c.radio)->isChecked());
        QVERIFY(!Radio(edit, "hex")->isChecked() && !Radio(edit, "text")->isChecked());
    }
}

QTEST_MAIN(TestCAddRuleDlg)
#include "tst_CAddRuleDlg.moc"
