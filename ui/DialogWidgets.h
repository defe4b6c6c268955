#pragma once

// Internal to the dialogs: the small widget builders they share, and how a failed check
// is shown. Every widget is created with its parent, which owns it.

#include <QString>

#include "config/FieldChecks.h"

#include <initializer_list>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;
QT_END_NAMESPACE

namespace tarnwick {

// A field that takes any text of any length (no validator, no length cap).
QLineEdit* NewTextField(QWidget* parent, const char* name);
// A text field sized for a number; it still takes any text.
QLineEdit* NewNumberField(QWidget* parent, const char* name);
QRadioButton* NewRadioButton(QWidget* parent, const char* name, const QString& text);
QCheckBox* NewCheckBox(QWidget* parent, const char* name, const QString& text);
QPushButton* NewButton(QWidget* parent, const char* name, const QString& text);
QLabel* NewBuddyLabel(QWidget* parent, const QString& text, QWidget* buddy);
// OK above Cancel, at the top of a column.
QLayout* NewButtonColumn(QPushButton* ok, QPushButton* cancel);
// A box with the destination fields in one row: "IP:" and the address field, which takes
// the spare width, then "Port:" and the port field; each label is its field's buddy.
QGroupBox* NewDestinationBox(QWidget* parent, const QString& caption, const QString& ipLabel,
                             QLineEdit* ip, const QString& portLabel, QLineEdit* port);
// Tab goes from each widget to the next, in the order given.
void SetTabChain(std::initializer_list<QWidget*> widgets);

// Shows the failure in a stop-icon box and puts the focus on the field it names (the
// field widgets are named after the record fields).
void ShowCheckFailure(QWidget* dialog, const CheckFailure& failure);

}  // namespace tarnwick
