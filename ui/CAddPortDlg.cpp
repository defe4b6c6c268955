#include "ui/CAddPortDlg.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

#include "ui/ByteText.h"
#include "ui/CAddRuleDlg.h"
#include "ui/CListCtrlEx.h"
#include "ui/DialogWidgets.h"
#include "ui/MessageBoxes.h"

namespace tarnwick {

namespace {

QStringList RuleRowTexts(const ForwardingRule& rule) {
    return {ToFieldText(rule.ruleName), ToFieldText(rule.searchData),
            ToFieldText(rule.forwardLabel())};
}

}  // namespace

CAddPortDlg::CAddPortDlg(ForwardingPort* editedPort, QWidget* parent)
    : QDialog(parent),
      editedPort_(editedPort),
      tcp_(NewRadioButton(this, "tcp", tr("&TCP"))),
      udp_(NewRadioButton(this, "udp", tr("&UDP"))),
      listenPort_(NewNumberField(this, "listenPort")),
      capture_(NewCheckBox(this, "captureFirstPacket", tr("C&apture First Packet"))),
      ruleList_(new CListCtrlEx(this)),
      timeout_(NewNumberField(this, "timeoutSeconds")),
      forwardIp_(NewTextField(this, "forwardIp")),
      forwardPort_(NewNumberField(this, "forwardPort")),
      listenAddress_(NewTextField(this, "listenAddress")),
      allowFrom_(new QPlainTextEdit(this)),
      addressForm_(new QFormLayout),
      proxyProtocol_(new QComboBox(this)),
      ok_(NewButton(this, "ok", tr("&OK"))),
      cancel_(NewButton(this, "cancel", tr("&Cancel"))) {
    setWindowTitle(isEditMode() ? tr("Edit Forwarding Port") : tr("Add New Forwarding Port"));
    ruleList_->setObjectName(QStringLiteral("ruleList"));
    ruleList_->addColumn(tr("Rule Name"), 100);
    ruleList_->addColumn(tr("Search Data"), 160);
    ruleList_->addColumn(tr("Forward To"), 110);
    buildLayout();

    if (isEditMode()) {
        showForm(PortForm::FromPort(*editedPort_));
        for (const auto& rule : editedPort_->rules) {
            appendRuleRow(rule.get());
        }
    } else {
        showForm(PortForm{});
    }

    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &CAddPortDlg::checkAndAccept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(capture_, &QCheckBox::clicked, this, &CAddPortDlg::noticeCapture);
    ruleList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ruleList_, &QWidget::customContextMenuRequested, this, &CAddPortDlg::openRuleMenu);
    connect(ruleList_, &QTreeWidget::itemDoubleClicked, this, &CAddPortDlg::editRule);

    SetTabChain({ok_, cancel_, tcp_, udp_, listenPort_, capture_, ruleList_, forwardIp_,
                 forwardPort_, timeout_, listenAddress_, allowFrom_});
    setTabOrder(allowFrom_, proxyProtocol_);
    connect(udp_, &QRadioButton::toggled, this, &CAddPortDlg::showProxyChoiceFor);
    showProxyChoiceFor(udp_->isChecked());
    ok_->setFocus();
}

CAddPortDlg::~CAddPortDlg() = default;

void CAddPortDlg::buildLayout() {
    auto* protocol = new QGroupBox(tr("Protocol"), this);
    auto* protocolColumn = new QVBoxLayout(protocol);
    protocolColumn->addWidget(tcp_);
    protocolColumn->addWidget(udp_);

    auto* listen = new QGroupBox(tr("Listen Port"), this);
    auto* listenColumn = new QVBoxLayout(listen);
    listenColumn->addWidget(listenPort_);
    listenColumn->addStretch(1);

    auto* captureBox = new QGroupBox(this);
    auto* captureColumn = new QVBoxLayout(captureBox);
    captureColumn->addWidget(capture_);
    auto* captureHint = new QLabel(tr("Capture first data packet to \"Brisel.log\" file"), this);
    captureHint->setWordWrap(true);
    captureColumn->addWidget(captureHint);

    auto* topRow = new QHBoxLayout;
    topRow->addWidget(protocol);
    topRow->addWidget(listen);
    topRow->addWidget(captureBox, 1);

    auto* timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(new QLabel(tr("If no data is received in"), this));
    timeoutRow->addWidget(timeout_);
    timeoutRow->addWidget(new QLabel(tr("seconds, use default path below"), this));
    timeoutRow->addStretch(1);

    QGroupBox* fallback = NewDestinationBox(
        this, tr("Default forwarding path if rules fail, or no rules are entered..."), tr("IP:"),
        forwardIp_, tr("Port:"), forwardPort_);

    auto* fields = new QVBoxLayout;
    fields->addLayout(topRow);
    fields->addWidget(
        new QLabel(tr("Forwarding Rules... (rules at the top are processed first)"), this));
    fields->addWidget(ruleList_, 1);
    fields->addLayout(timeoutRow);
    fields->addWidget(fallback);
    fields->addWidget(buildAddressBox());
    fields->addLayout(newProxyRow());

    auto* page = new QHBoxLayout(this);
    page->addLayout(fields, 1);
    page->addLayout(NewButtonColumn(ok_, cancel_));
}

QGroupBox* CAddPortDlg::buildAddressBox() {
    listenAddress_->setPlaceholderText(tr("every IPv4 address"));
    allowFrom_->setObjectName(QStringLiteral("allowFrom"));
    allowFrom_->setPlaceholderText(tr("everyone; or one address or prefix per line (10.0.0.0/8)"));
    allowFrom_->setTabChangesFocus(true);
    allowFrom_->setFixedHeight(allowFrom_->fontMetrics().lineSpacing() * 3 + 12);
    auto* box = new QGroupBox(tr("Listen address and clients"), this);
    box->setLayout(addressForm_);
    addressForm_->addRow(NewBuddyLabel(box, tr("Listen a&ddress:"), listenAddress_),
                         listenAddress_);
    addressForm_->addRow(NewBuddyLabel(box, tr("Allowed c&lients:"), allowFrom_), allowFrom_);
    return box;
}

// The PROXY protocol header sent to the destinations; a TCP matter only.
QLayout* CAddPortDlg::newProxyRow() {
    proxyProtocol_->setObjectName(QStringLiteral("proxyProtocol"));
    proxyProtocol_->addItems({tr("Off"), tr("Version 1"), tr("Version 2")});
    auto* row = new QHBoxLayout;
    row->addWidget(NewBuddyLabel(this, tr("&PROXY protocol header to the destination:"),
                                 proxyProtocol_));
    row->addWidget(proxyProtocol_);
    row->addStretch(1);
    return row;
}

void CAddPortDlg::showProxyChoiceFor(bool udp) {
    proxyProtocol_->setEnabled(!udp);
    proxyProtocol_->setToolTip(udp ? tr("A UDP port sends no PROXY protocol header")
                                   : tr("Tells the destination the client's address and port"));
}

void CAddPortDlg::showForm(const PortForm& form) {
    tcp_->setChecked(!form.udp);
    udp_->setChecked(form.udp);
    listenPort_->setText(form.listenPort);
    capture_->setChecked(form.captureFirstPacket);
    timeout_->setText(form.timeoutSeconds);
    forwardIp_->setText(form.forwardIp);
    forwardPort_->setText(form.forwardPort);
    listenAddress_->setText(form.listenAddress);
    allowFrom_->setPlainText(form.allowFrom);
    proxyProtocol_->setCurrentIndex(form.proxyProtocol);
}

PortForm CAddPortDlg::form() const {
    PortForm form;
    form.udp = udp_->isChecked();
    form.listenPort = listenPort_->text();
    form.captureFirstPacket = capture_->isChecked();
    form.timeoutSeconds = timeout_->text();
    form.forwardIp = forwardIp_->text();
    form.forwardPort = forwardPort_->text();
    form.listenAddress = listenAddress_->text();
    form.allowFrom = allowFrom_->toPlainText();
    form.proxyProtocol = proxyProtocol_->currentIndex();
    return form;
}

void CAddPortDlg::appendRuleRow(ForwardingRule* rule) {
    ruleList_->insertRow(ruleList_->rowCount(), RuleRowTexts(*rule), QVariant::fromValue(rule));
}

void CAddPortDlg::showRuleRow(int row, const ForwardingRule& rule) {
    const QStringList texts = RuleRowTexts(rule);
    for (int column = 0; column < texts.size(); ++column) {
        ruleList_->setRowText(row, column, texts[column]);
    }
}

ForwardingRule* CAddPortDlg::ruleAt(int row) const {
    return ruleList_->itemData(row).value<ForwardingRule*>();
}

void CAddPortDlg::addRule() {
    CAddRuleDlg dialog(nullptr, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    auto rule = std::make_unique<ForwardingRule>(dialog.rule());
    ruleList_->insertRow(0, RuleRowTexts(*rule), QVariant::fromValue(rule.get()));
    ownedRules_.push_back(std::move(rule));
}

void CAddPortDlg::editRule() {
    ForwardingRule* rule = ruleAt(ruleList_->currentRow());
    if (rule == nullptr) {
        return;
    }
    CAddRuleDlg dialog(rule, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    *rule = dialog.rule();  // in place, also for a rule of the record
    showRuleRow(ruleList_->findRow(QVariant::fromValue(rule)), *rule);
}

void CAddPortDlg::deleteRule() {
    const int row = ruleList_->currentRow();
    ForwardingRule* rule = ruleAt(row);
    if (rule == nullptr) {
        return;
    }
    ruleList_->removeRow(row);
    takeOwnedRule(rule).reset();  // a rule created here goes at once; the record's stays until OK
}

void CAddPortDlg::moveRuleUp() {
    ruleList_->moveRowUp(ruleList_->currentRow());
}
void CAddPortDlg::moveRuleDown() {
    ruleList_->moveRowDown(ruleList_->currentRow());
}
void CAddPortDlg::moveRuleToTop() {
    ruleList_->moveRowToTop(ruleList_->currentRow());
}
void CAddPortDlg::moveRuleToBottom() {
    ruleList_->moveRowToBottom(ruleList_->currentRow());
}

void CAddPortDlg::fillRuleMenu(QMenu& menu) {
    auto add = [&](const QString& text, void (CAddPortDlg::*command)()) {
        connect(menu.addAction(text), &QAction::triggered, this, command);
    };
    add(tr("Add New Rule"), &CAddPortDlg::addRule);
    if (ruleList_->currentRow() < 0) {
        return;
    }
    add(tr("Edit Rule"), &CAddPortDlg::editRule);
    add(tr("Delete Rule"), &CAddPortDlg::deleteRule);
    menu.addSeparator();
    add(tr("Move Rule Up"), &CAddPortDlg::moveRuleUp);
    add(tr("Move Rule Down"), &CAddPortDlg::moveRuleDown);
    add(tr("Move Rule to Top"), &CAddPortDlg::moveRuleToTop);
    add(tr("Move Rule to Bottom"), &CAddPortDlg::moveRuleToBottom);
}

void CAddPortDlg::openRuleMenu(const QPoint& position) {
    const int row = ruleList_->currentRow();
    if (row >= 0) {
        ruleList_->selectRow(row);
    }
    QMenu menu(this);
    fillRuleMenu(menu);
    menu.exec(ruleList_->viewport()->mapToGlobal(position));
}

void CAddPortDlg::noticeCapture(bool checked) {
    if (checked) {
        MessageBoxes::Show(
            this, {tr("Don't forget to Uncheck this option once you have dumped the data packet!"),
                   tr("Option Notice"), MessageIcon::Information});
    }
}

void CAddPortDlg::checkAndAccept() {
    ForwardingPort port = form().toPort(editedPort_);
    if (auto failure = CheckPort(port)) {
        ShowCheckFailure(this, *failure);
        return;
    }
    auto result = std::make_unique<ForwardingPort>(std::move(port));
    for (int row = 0; row < ruleList_->rowCount(); ++row) {
        ForwardingRule* rule = ruleAt(row);
        std::unique_ptr<ForwardingRule> owned = takeOwnedRule(rule);
        result->appendRule(owned ? std::move(owned) : std::make_unique<ForwardingRule>(*rule));
        ruleList_->setItemData(row, QVariant());
    }
    result_ = std::move(result);
    accept();
}

std::unique_ptr<ForwardingPort> CAddPortDlg::takeResult() {
    return std::move(result_);
}

std::unique_ptr<ForwardingRule> CAddPortDlg::takeOwnedRule(const ForwardingRule* rule) {
    auto found = std::find_if(ownedRules_.begin(), ownedRules_.end(),
                              [&](const auto& owned) { return owned.get() == rule; });
    if (found == ownedRules_.end()) {
        return nullptr;
    }
    std::unique_ptr<ForwardingRule> taken = std::move(*found);
    ownedRules_.erase(found);
    return taken;
}

void CAddPortDlg::done(int result) {
    if (result != QDialog::Accepted) {
        // The rows must not outlive the rules created here, which go now.
        ruleList_->removeAllRows();
        ownedRules_.clear();
    }
    QDialog::done(result);
}

}  // namespace tarnwick
