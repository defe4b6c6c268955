#include "ui/DialogWidgets.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <limits>

#include "ui/MessageBoxes.h"

namespace tarnwick {

QLineEdit* NewTextField(QWidget* parent, const char* name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QString::fromLatin1(name));
    // QLineEdit cuts texts at 32767 characters by default; a stored text must show whole
    // so that an untouched field reads back unchanged.
    field->setMaxLength(std::numeric_limits<int>::max());
    return field;
}

QLineEdit* NewNumberField(QWidget* parent, const char* name) {
    QLineEdit* field = NewTextField(parent, name);
    field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
    return field;
}

QRadioButton* NewRadioButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QRadioButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QCheckBox* NewCheckBox(QWidget* parent, const char* name, const QString& text) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QPushButton* NewButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QLabel* NewBuddyLabel(QWidget* parent, const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

QLayout* NewButtonColumn(QPushButton* ok, QPushButton* cancel) {
    auto* column = new QVBoxLayout;
    column->addWidget(ok);
    column->addWidget(cancel);
    column->addStretch(1);
    return column;
}

QGroupBox* NewDestinationBox(QWidget* parent, const QString& caption, const QString& ipLabel,
                             QLineEdit* ip, const QString& portLabel, QLineEdit* port) {
    auto* box = new QGroupBox(caption, parent);
    auto* row = new QHBoxLayout(box);
    row->addWidget(NewBuddyLabel(box, ipLabel, ip));
    row->addWidget(ip, 1);
    row->addSpacing(8);
    row->addWidget(NewBuddyLabel(box, portLabel, port));
    row->addWidget(port);
    return box;
}

void SetTabChain(std::initializer_list<QWidget*> widgets) {
    QWidget* previous = nullptr;
    for (QWidget* widget : widgets) {
        if (previous != nullptr) {
            QWidget::setTabOrder(previous, widget);
        }
        previous = widget;
    }
}

void ShowCheckFailure(QWidget* dialog, const CheckFailure& failure) {
    MessageBoxes::Show(dialog, {QString::fromStdString(failure.message),
                                QString::fromStdString(failure.caption), MessageIcon::Stop});
    const QString name = QString::fromStdString(failure.field);
    if (auto* field = dialog->findChild<QLineEdit*>(name)) {
        field->setFocus();
        field->selectAll();
    } else if (auto* lines = dialog->findChild<QPlainTextEdit*>(name)) {
        lines->setFocus();
        lines->selectAll();
    }
}

}  // namespace tarnwick
