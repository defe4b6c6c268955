#include "ui/RuleForm.h"

#include "ui/ByteText.h"
#include "ui/FormFields.h"

namespace tarnwick {

RuleForm RuleForm::FromRule(const ForwardingRule& rule) {
    RuleForm form;
    form.ruleName = ToFieldText(rule.ruleName);
    form.hex = rule.isHex();
    form.kind = rule.kind;
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
    rule.kind = kind;
    // A TLS rule is stored as a text rule that ignores case.
    rule.searchType = kind == RuleKind::Pattern ? FlagValue(hex, shown.searchType) : 0;
    rule.caseSensitive =
        kind == RuleKind::Pattern ? FlagValue(caseSensitive, shown.caseSensitive) : 0;
    rule.forwardPort = ReadNumber(forwardPort.toStdString());
    rule.forwardIp = FromFieldText(forwardIp, shown.forwardIp);
    rule.ruleName = FromFieldText(ruleName, shown.ruleName);
    rule.searchData = FromFieldText(searchData, shown.searchData);
    return rule;
}

std::optional<CheckFailure> CheckRule(const ForwardingRule& rule) {
    if (auto failure = CheckRuleValues(
            {rule.forwardPort, rule.ruleName, rule.forwardIp, rule.searchData})) {
        return failure;
    }
    return CheckTlsRuleData(rule.kind, rule.searchData);
}

}  // namespace tarnwick
