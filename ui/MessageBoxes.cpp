#include "ui/MessageBoxes.h"

#include <QMessageBox>

#include <utility>

namespace tarnwick {

namespace {

void ShowModal(QWidget* parent, const ShownMessage& message) {
    if (message.icon == MessageIcon::Stop) {
        QMessageBox::critical(parent, message.caption, message.text);
    } else {
        QMessageBox::information(parent, message.caption, message.text);
    }
}

bool AskModal(QWidget* parent, const ShownMessage& message) {
    return QMessageBox::question(parent, message.caption, message.text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool& HandlerAnswer() {
    static bool answer = false;
    return answer;
}

MessageBoxes::Handler& CurrentHandler() {
    static MessageBoxes::Handler handler;
    return handler;
}

}  // namespace

void MessageBoxes::Show(QWidget* parent, const ShownMessage& message) {
    const Handler& handler = CurrentHandler();
    if (handler) {
        handler(parent, message);
    } else {
        ShowModal(parent, message);
    }
}

bool MessageBoxes::Ask(QWidget* parent, const ShownMessage& message) {
    const Handler& handler = CurrentHandler();
    if (!handler) {
        return AskModal(parent, message);
    }
    handler(parent, message);
    return HandlerAnswer();
}

void MessageBoxes::SetAnswer(bool answer) {
    HandlerAnswer() = answer;
}

MessageBoxes::Handler MessageBoxes::SetHandler(Handler handler) {
    return std::exchange(CurrentHandler(), std::move(handler));
}

}  // namespace tarnwick
