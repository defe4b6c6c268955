#include "ui/CAddRuleDlg.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ui/DialogWidgets.h"
#include "ui/MessageBoxes.h"

namespace tarnwick {

CAddRuleDlg::CAddRuleDlg(const ForwardingRule* editedRule, QWidget* parent)
    : QDialog(parent),
      editedRule_(editedRule),
      ruleName_(NewTextField(this, "ruleName")),
      hex_(NewRadioButton(this, "hex", tr("&Hex"))),
      text_(NewRadioButton(this, "text", tr("&Text"))),
      serverName_(NewRadioButton(this, "tlsServerName", tr("TLS server &name"))),
      alpn_(NewRadioButton(this, "tlsAlpn", tr("TLS &ALPN"))),
      caseSensitive_(NewCheckBox(this, "caseSensitive", tr("Case &Sensative Text Search"))),
      searchData_(NewTextField(this, "searchData")),
      forwardIp_(NewTextField(this, "forwardIp")),
      forwardPort_(NewNumberField(this, "forwardPort")),
      ok_(NewButton(this, "ok", tr("&OK"))),
      cancel_(NewButton(this, "cancel", tr("&Cancel"))) {
    setWindowTitle(isEditMode() ? tr("Edit Rule") : tr("Add New Rule"));
    buildLayout();
    showForm(isEditMode() ? RuleForm::FromRule(*editedRule_) : RuleForm{});

    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &CAddRuleDlg::checkAndAccept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    SetTabChain({ok_, cancel_, ruleName_, hex_, text_, serverName_, alpn_, caseSensitive_,
                 searchData_, forwardIp_, forwardPort_});
    ok_->setFocus();
}

void CAddRuleDlg::buildLayout() {
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(NewBuddyLabel(this, tr("Rule Name:"), ruleName_));
    nameRow->addWidget(ruleName_, 1);

    auto* searchFor = new QGroupBox(tr("Search for..."), this);
    auto* searchForRow = new QHBoxLayout(searchFor);
    searchForRow->addWidget(hex_);
    searchForRow->addWidget(text_);
    searchForRow->addWidget(serverName_);
    searchForRow->addWidget(alpn_);
    searchForRow->addSpacing(12);
    searchForRow->addWidget(caseSensitive_);
    searchForRow->addStretch(1);

    auto* searchThis = new QGroupBox(tr("Search for this data..."), this);
    auto* searchThisRow = new QHBoxLayout(searchThis);
    searchThisRow->addWidget(searchData_);

    QGroupBox* forwardTo = NewDestinationBox(this, tr("If data found, forward to..."),
                                             tr("IP:"), forwardIp_, tr("Port:"), forwardPort_);

    auto* fields = new QVBoxLayout;
    fields->addLayout(nameRow);
    fields->addWidget(searchFor);
    fields->addWidget(searchThis);
    fields->addWidget(forwardTo);
    fields->addWidget(
        new QLabel(tr("example: 00 13 FF XX 00 00 (the XX means to ignore that byte)"), this));
    fields->addWidget(new QLabel(tr("example: \"User-Agent: Mozilla\" (http text data)"), this));
    fields->addWidget(
        new QLabel(tr("example: *.example.com (TLS server name), h2 (TLS ALPN protocol)"), this));

    auto* page = new QHBoxLayout(this);
    page->addLayout(fields, 1);
    page->addLayout(NewButtonColumn(ok_, cancel_));
}

void CAddRuleDlg::showForm(const RuleForm& form) {
    ruleName_->setText(form.ruleName);
    const bool pattern = form.kind == RuleKind::Pattern;
    hex_->setChecked(pattern && form.hex);
    text_->setChecked(pattern && !form.hex);
    serverName_->setChecked(form.kind == RuleKind::TlsServerName);
    alpn_->setChecked(form.kind == RuleKind::TlsAlpn);
    caseSensitive_->setChecked(form.caseSensitive);
    searchData_->setText(form.searchData);
    forwardIp_->setText(form.forwardIp);
    forwardPort_->setText(form.forwardPort);
}

RuleForm CAddRuleDlg::form() const {
    RuleForm form;
    form.ruleName = ruleName_->text();
    form.hex = hex_->isChecked();
    form.kind = serverName_->isChecked() ? RuleKind::TlsServerName
                : alpn_->isChecked()     ? RuleKind::TlsAlpn
                                         : RuleKind::Pattern;
    form.caseSensitive = caseSensitive_->isChecked();
    form.searchData = searchData_->text();
    form.forwardIp = forwardIp_->text();
    form.forwardPort = forwardPort_->text();
    return form;
}

void CAddRuleDlg::checkAndAccept() {
    ForwardingRule rule = form().toRule(editedRule_);
    if (auto failure = CheckRule(rule)) {
        ShowCheckFailure(this, *failure);
        return;
    }
    accepted_ = std::move(rule);
    accept();
}

}  // namespace tarnwick
