#pragma once

// Helpers for the Qt Test suites of the desktop interface.

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>

#include "ui/MessageBoxes.h"

namespace tarnwick::test {

// Records every message box instead of showing it, for as long as it lives. Questions
// are answered as MessageBoxes::SetAnswer says ("No" unless told).
class MessageRecorder {
public:
    MessageRecorder()
        : previous_(MessageBoxes::SetHandler(
              [this](QWidget*, const ShownMessage& message) { messages.append(message); })) {}
    ~MessageRecorder() {
        MessageBoxes::SetHandler(std::move(previous_));
        MessageBoxes::SetAnswer(false);
    }

    QList<ShownMessage> messages;

private:
    MessageBoxes::Handler previous_;
};

inline QLineEdit* Field(QWidget& dialog, const char* name) {
    return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}

inline void SetField(QWidget& dialog, const char* name, const QString& text) {
    Field(dialog, name)->setText(text);
}

inline void ClickOk(QWidget& dialog) {
    dialog.findChild<QPushButton*>(QStringLiteral("ok"))->click();
}

// Arranges for `act` to run on the dialog of type Dialog that the caller is about to
// open modally, once its event loop runs. If `act` leaves the dialog open, it is
// cancelled, so the caller's exec() always returns. `*seen` tells whether it ran.
template <class Dialog>
void OnNextModal(std::function<void(Dialog&)> act, std::shared_ptr<bool> seen) {
    *seen = false;
    QTimer::singleShot(0, [act = std::move(act), seen] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        *seen = true;
        act(*dialog);
        if (dialog->isVisible()) {
            dialog->reject();
        }
    });
}

}  // namespace tarnwick::test
