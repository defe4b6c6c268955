#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace tarnwick {

// Reads the fields of one object of an imported JSON document, each checked for its type.
// Every problem is thrown as an Error whose message names the field by its path from the
// document's top ("ports[1].rules[0].forwardPort: must be a whole number"); the importer
// catches the first one and reports it.
class JsonObjectReader {
public:
    struct Error {
        QString message;
    };

    // `where` is the object's own path, "" for the document's top.
    JsonObjectReader(const QJsonValue& value, QString where);

    // Fails on the first field not among `names`.
    void allowOnly(std::initializer_list<const char*> names) const;
    // The field, undefined when it is absent and not `required`.
    QJsonValue get(const char* name, bool required) const;
    std::int32_t integer(const char* name) const;
    // A byte string; "" when it is absent and not `required`.
    std::string text(const char* name, bool required = true) const;
    // False when absent.
    bool flag(const char* name) const;
    // One of the `allowed` strings.
    QString choice(const char* name, std::initializer_list<const char*> allowed) const;
    // The path of a field of this object.
    QString path(const QString& name) const;

    [[noreturn]] static void Fail(const QString& where, const QString& what);
    static QJsonArray ArrayAt(const QJsonValue& value, const QString& where);
    // A JSON text back to bytes, undoing the "\udcXY" escape of single bytes.
    static std::string ToBytes(const QString& text, const QString& where);

private:
    QJsonObject object_;
    QString where_;
};

}  // namespace tarnwick
