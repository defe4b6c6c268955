#include "qtcore/JsonObjectReader.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace tarnwick {

JsonObjectReader::JsonObjectReader(const QJsonValue& value, QString where)
    : where_(std::move(where)) {
    if (!value.isObject()) {
        Fail(where_, "must be an object");
    }
    object_ = value.toObject();
}

void JsonObjectReader::allowOnly(std::initializer_list<const char*> names) const {
    for (const QString& key : object_.keys()) {
        if (std::none_of(names.begin(), names.end(), [&](const char* n) { return key == n; })) {
            Fail(path(key), "is not a known field");
        }
    }
}

QJsonValue JsonObjectReader::get(const char* name, bool required) const {
    QJsonValue value = object_.value(name);
    if (value.isUndefined() && required) {
        Fail(path(name), "is missing");
    }
    return value;
}

std::int32_t JsonObjectReader::integer(const char* name) const {
    QJsonValue value = get(name, true);
    double number = value.toDouble();
    if (!value.isDouble() || std::floor(number) != number || std::fabs(number) > 2147483647.0) {
        Fail(path(name), "must be a whole number");
    }
    return static_cast<std::int32_t>(number);
}

std::string JsonObjectReader::text(const char* name, bool required) const {
    QJsonValue value = get(name, required);
    if (value.isUndefined()) {
        return {};
    }
    if (!value.isString()) {
        Fail(path(name), "must be a string");
    }
    return ToBytes(value.toString(), path(name));
}

bool JsonObjectReader::flag(const char* name) const {
    QJsonValue value = get(name, false);
    if (value.isUndefined()) {
        return false;
    }
    if (!value.isBool()) {
        Fail(path(name), "must be true or false");
    }
    return value.toBool();
}

QString JsonObjectReader::choice(const char* name,
                                 std::initializer_list<const char*> allowed) const {
    QJsonValue value = get(name, true);
    QString chosen = value.toString();
    if (!value.isString() ||
        std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return chosen == a; })) {
        QStringList names;
        for (const char* a : allowed) names << QString("\"%1\"").arg(a);
        Fail(path(name), "must be " + names.join(" or "));
    }
    return chosen;
}

QString JsonObjectReader::path(const QString& name) const {
    return where_.isEmpty() ? name : where_ + "." + name;
}

void JsonObjectReader::Fail(const QString& where, const QString& what) {
    throw Error{where + ": " + what};
}

QJsonArray JsonObjectReader::ArrayAt(const QJsonValue& value, const QString& where) {
    if (!value.isArray()) {
        Fail(where, "must be an array");
    }
    return value.toArray();
}

std::string JsonObjectReader::ToBytes(const QString& text, const QString& where) {
    std::string out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t unit = text[i].unicode();
        char32_t code = unit;
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            code = QChar::surrogateToUcs4(unit, text[++i].unicode());
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            out.push_back(static_cast<char>(unit - 0xDC00));
            continue;
        } else if (QChar::isSurrogate(unit)) {
            Fail(where, "holds a lone surrogate \\u" + QString::number(unit, 16) +
                            " that stands for no byte");
        }
        if (code == 0) {
            Fail(where, "must not hold a NUL character");
        }
        QByteArray utf8 = QString::fromUcs4(&code, 1).toUtf8();
        out.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    }
    return out;
}

}  // namespace tarnwick
