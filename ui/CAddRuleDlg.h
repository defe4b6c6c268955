#pragma once

#include <QDialog>

#include "config/ForwardingRule.h"
#include "ui/RuleForm.h"

QT_BEGIN_NAMESPACE
class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
QT_END_NAMESPACE

namespace tarnwick {

// The modal dialog that creates a smart-forwarding rule or changes one: its name, hex or
// text search (case sensitivity for text) or a TLS server name or ALPN protocol, the
// search data and the destination. It only collects
// and checks the values; the caller applies them after exec() returned Accepted.
class CAddRuleDlg : public QDialog {
    Q_OBJECT

public:
    // Add mode when `editedRule` is null; edit mode shows that rule. The dialog does not
    // keep or change the rule.
    explicit CAddRuleDlg(const ForwardingRule* editedRule, QWidget* parent = nullptr);

    bool isEditMode() const { return editedRule_ != nullptr; }

    // The values that passed the OK check; set once exec() returned Accepted.
    const ForwardingRule& rule() const { return accepted_; }

    // The fields as they stand now.
    RuleForm form() const;

private:
    void buildLayout();
    void showForm(const RuleForm& form);
    void checkAndAccept();

    const ForwardingRule* editedRule_;  // not owned; null in add mode
    ForwardingRule accepted_;

    // Owned by the dialog's widget tree.
    QLineEdit* ruleName_;
    QRadioButton* hex_;
    QRadioButton* text_;
    QRadioButton* serverName_;
    QRadioButton* alpn_;
    QCheckBox* caseSensitive_;
    QLineEdit* searchData_;
    QLineEdit* forwardIp_;
    QLineEdit* forwardPort_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace tarnwick
