#pragma once

// Internal to the main window and the port status window: what a port's state and
// counters read as, in words.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <vector>

#include "config/ForwardingPort.h"
#include "engine/ConnectionRecord.h"
#include "engine/PortCounters.h"

namespace tarnwick {

// Why a port could not open its socket, from the errno its worker reported:
// "Address already in use", "Permission denied: ports below 1024 need privileges", ...
QString OpenErrorText(const ForwardingPort& port, int error);

// "Running", "Not running", or "Not running: " and the reason.
QString RunStateText(const ForwardingPort& port, bool running);

// The port's settings as label and value, in the order the window shows them.
QList<QPair<QString, QString>> SettingRows(const ForwardingPort& port);

// The counters of one run as label and value: the same counts as `tarnwick --status`.
QList<QPair<QString, QString>> CounterRows(const ForwardingPort& port,
                                           const PortCounters& counters);

// The connection log's lines of `records` (oldest first), newest first.
QStringList NewestFirstLines(const std::vector<ConnectionRecord>& records);

}  // namespace tarnwick
