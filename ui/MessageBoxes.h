#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace tarnwick {

enum class MessageIcon { Stop, Information, Question };

// One message box as a dialog asks for it: a one-line text, a short caption, an icon.
struct ShownMessage {
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::Stop;
};

// The one way the dialogs show a message box. By default a modal QMessageBox over
// `parent`; tests install a handler that records the message instead of blocking.
class MessageBoxes {
public:
    using Handler = std::function<void(QWidget* parent, const ShownMessage& message)>;

    static void Show(QWidget* parent, const ShownMessage& message);
    // A question with "Yes" and "No" ("No" the default); true for "Yes". Goes through the
    // handler as Show does; an installed handler's `answer` is the reply.
    static bool Ask(QWidget* parent, const ShownMessage& message);

    // Replaces the handler (an empty one restores the modal box) and returns the
    // previous one.
    static Handler SetHandler(Handler handler);
    // The reply an installed handler gives to Ask.
    static void SetAnswer(bool answer);
};

}  // namespace tarnwick
