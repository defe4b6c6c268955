#pragma once

#include <QDialog>

#include <memory>
#include <vector>

#include "config/ForwardingPort.h"
#include "ui/PortForm.h"

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QLineEdit;
class QFormLayout;
class QGroupBox;
class QLayout;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
QT_END_NAMESPACE

namespace tarnwick {

class CListCtrlEx;

// The modal dialog that creates a forwarding port or changes one: protocol, listen port,
// capture option, the ordered rules, the timeout, the default destination, and where the
// port listens and whom it admits. The rules
// list's order from top to bottom is the order in which the rules are tried.
//
// Ownership while it is open: a rule of the edited record stays the record's; its row
// only refers to it. A rule created here belongs to the dialog until the caller takes
// the result. Changes made through the rule dialog to a rule of the record are made in
// that rule at once and stay, even if the dialog is cancelled; nothing else of the record
// is touched by the dialog.
class CAddPortDlg : public QDialog {
    Q_OBJECT

public:
    // Add mode when `editedPort` is null; edit mode shows that record.
    explicit CAddPortDlg(ForwardingPort* editedPort, QWidget* parent = nullptr);
    ~CAddPortDlg() override;

    bool isEditMode() const { return editedPort_ != nullptr; }

    // After exec() returned Accepted: the settings as entered and the rules in the list's
    // order, as a record of its own (its run-time fields zero). Rules created here move
    // into it; rules of the edited record are copied with their changes, so the record
    // stays whole until the caller applies the result: `editedPort->takeSettings(...)` in
    // edit mode, or taking the new record in add mode. Null before that, and after the
    // first call.
    std::unique_ptr<ForwardingPort> takeResult();

    CListCtrlEx* ruleList() const { return ruleList_; }
    PortForm form() const;
    // Rules created in this dialog that it still owns.
    int ownedRuleCount() const { return static_cast<int>(ownedRules_.size()); }

    // The rule commands; each acts on the rules list's current row.
    void addRule();
    void editRule();
    void deleteRule();
    void moveRuleUp();
    void moveRuleDown();
    void moveRuleToTop();
    void moveRuleToBottom();

    // Fills the rules list's context menu: "Add New Rule", and with a current row the
    // commands that act on it.
    void fillRuleMenu(QMenu& menu);

    void done(int result) override;

private:
    void buildLayout();
    QGroupBox* buildAddressBox();
    void showForm(const PortForm& form);
    void appendRuleRow(ForwardingRule* rule);
    void showRuleRow(int row, const ForwardingRule& rule);
    ForwardingRule* ruleAt(int row) const;
    void openRuleMenu(const QPoint& position);
    void noticeCapture(bool checked);
    QLayout* newProxyRow();
    void showProxyChoiceFor(bool udp);
    void checkAndAccept();
    std::unique_ptr<ForwardingRule> takeOwnedRule(const ForwardingRule* rule);

    ForwardingPort* editedPort_;                               // not owned; null in add mode
    std::vector<std::unique_ptr<ForwardingRule>> ownedRules_;  // created here, not yet handed over
    std::unique_ptr<ForwardingPort> result_;

    // Owned by the dialog's widget tree.
    QRadioButton* tcp_;
    QRadioButton* udp_;
    QLineEdit* listenPort_;
    QCheckBox* capture_;
    CListCtrlEx* ruleList_;
    QLineEdit* timeout_;
    QLineEdit* forwardIp_;
    QLineEdit* forwardPort_;
    QLineEdit* listenAddress_;
    QPlainTextEdit* allowFrom_;
    QFormLayout* addressForm_;  // where the listen address and allowed clients sit
    QComboBox* proxyProtocol_;  // items in the order of the PROXY_PROTOCOL_ values
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace tarnwick
