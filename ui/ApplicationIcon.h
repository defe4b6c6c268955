#pragma once

#include <QIcon>

namespace tarnwick {

// The program's own icon (a fork of arrows), for its windows and its tray icon.
QIcon ApplicationIcon();

}  // namespace tarnwick
