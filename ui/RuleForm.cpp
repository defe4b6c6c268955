#include "ui/RuleForm.h"

#include "ui/ByteText.h"
#include "ui/FormFields.h"

namespace tarnwick {

RuleForm RuleForm::FromRule(const ForwardingRule& rule) {
    RuleForm form;
    form.ruleName = ToFieldText(rule.ruleName);
    form.hex = rule.searchType != 0;
    form.caseSensitive = rule.caseSensitive != 0;
    form.searchData = ToFieldText(rule.searchData);
    form.forwardIp = ToFieldText(rule.forwardIp);
    form.forwardPort = UnsignedText(rule.forwardPort);
    return form;
}

ForwardingRule RuleForm::toRule(const ForwardingRule* original) const {
    const ForwardingRule blank;
    const ForwardingRule& shown = original ? *original : blank;
    ForwardingRule rule;
    rule.searchType = FlagValue(hex, shown.searchType);
    rule.caseSensitive = FlagValue(caseSensitive, shown.caseSensitive);
    rule.forwardPort = ReadNumber(forwardPort.toStdString());
    rule.forwardIp = FromFieldText(forwardIp, shown.forwardIp);
    rule.ruleName = FromFieldText(ruleName, shown.ruleName);
    rule.searchData = FromFieldText(searchData, shown.searchData);
    return rule;
}

std::optional<CheckFailure> CheckRule(const ForwardingRule& rule) {
    return CheckRuleValues({rule.forwardPort, rule.ruleName, rule.forwardIp, rule.searchData});
}

}  // namespace tarnwick
