#include "app/StatusCommand.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <unistd.h>

#include <optional>

#include "app/ConfigCommands.h"
#include "base/EscapedText.h"
#include "qtcore/StatusSocket.h"

namespace tarnwick {

namespace {

// No status document comes near this; a larger answer is not read on.
constexpr qint64 MAX_ANSWER = qint64{256} * 1024 * 1024;

int Remaining(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
}

std::string Count(const QJsonObject& object, const char* key) {
    return std::to_string(object[key].toInteger());
}

// A text of the answer as it may be printed: control bytes escaped, whoever sent it.
std::string Text(const QJsonValue& value, char quote = '\0') {
    return EscapedText(value.toString().toStdString(), quote);
}

// A text the instance escaped already (the row, a route): the tabs between its fields
// stay, any other control byte is escaped.
std::string Line(const QJsonValue& value) {
    return EscapedLine(value.toString().toStdString());
}

std::string TcpText(const QJsonObject& counters, bool takesProxyHeaders) {
    std::string text = "\tconnections: " + Count(counters, "accepted") + " accepted, " +
                       Count(counters, "open") + " open\n" +
                       "\tbytes: " + Count(counters, "bytesFromClients") + " from clients, " +
                       Count(counters, "bytesToClients") + " to clients\n";
    for (const QJsonValue& value : counters["rules"].toArray()) {
        QJsonObject rule = value.toObject();
        text += "\trule " + Count(rule, "rule") + " \"" + Text(rule["ruleName"], '"') + "\" (" +
                rule["searchType"].toString().toStdString() + "): " + Count(rule, "connections") +
                " connections\n";
    }
    QJsonObject routes = counters["defaultRoutes"].toObject();
    text += "\tdefault destination: " + Count(routes, "standard") + " standard, " +
            Count(routes, "noMatch") + " no match, " + Count(routes, "timeout") + " timeout, " +
            Count(routes, "clientClosed") + " client closed\n";
    for (const QJsonValue& value : counters["failedConnects"].toArray()) {
        QJsonObject failed = value.toObject();
        text += "\tfailed connects: " + Count(failed, "count") + " " +
                Text(failed["message"]) + "\n";
    }
    text += "\tresets: " + Count(counters, "resets") + "\n";
    text += "\trefused clients: " + Count(counters, "refusedClients") + " connections reset\n";
    if (takesProxyHeaders) {
        text += "\tPROXY headers refused: " + Count(counters, "proxyHeaderRefusals") +
                " missing or not valid, " + Count(counters, "proxyClientRefusals") +
                " naming a client not allowed\n";
    }
    return text;
}

std::string UdpText(const QJsonObject& counters) {
    std::string text = "\tdatagrams: " + Count(counters, "datagramsFromClients") +
                       " from clients (" + Count(counters, "bytesFromClients") + " bytes), " +
                       Count(counters, "datagramsToClients") + " to clients (" +
                       Count(counters, "bytesToClients") + " bytes), " +
                       Count(counters, "datagramsDropped") + " dropped\n";
    if (counters["destination"].isString()) {
        text += "\tlatest destination: " + Text(counters["destination"]) + " (" +
                Line(counters["route"]) + ")\n";
    }
    text += "\tassociations: " + Count(counters, "associationsOpen") + " open, " +
            Count(counters, "associationsCreated") + " created, " +
            Count(counters, "associationsEndedIdle") + " ended idle, " +
            Count(counters, "associationsEndedByBound") + " ended by the bound\n";
    text += "\tlookup failures: " + Count(counters, "lookupFailures");
    if (counters["lastLookupFailure"].isString()) {
        text += " (last: " + Text(counters["lastLookupFailure"]) + ")";
    }
    text += "\n\trefused clients: " + Count(counters, "refusedClients") + " datagrams dropped\n";
    return text;
}

// The document as lines for people: a heading, then each port's row as --list shows it,
// followed by its counters indented by a tab.
std::string StatusText(const QJsonObject& status) {
    std::string text = "Tarnwick, " + Text(status["mode"]) + ", process " + Count(status, "pid") +
                       ", configuration " + Text(status["configDirectory"]) + "\n" +
                       ConfigCommands::HEADER_LINE + "\n";
    for (const QJsonValue& value : status["ports"].toArray()) {
        QJsonObject port = value.toObject();
        const bool tcp = port["protocol"].toString() == "tcp";
        text += Line(port["row"]);
        if (port["openError"].isObject()) {
            text += "\tcannot open the port: " + Text(port["openError"].toObject()["message"]);
        }
        text += "\n";
        const bool takesProxyHeaders = port["acceptProxyProtocol"].toBool();
        std::string proxy = ConfigCommands::ProxyLine(
            Text(port["proxyProtocol"].toString("off")), takesProxyHeaders, !tcp);
        text += proxy.empty() ? "" : proxy + "\n";
        if (port["counters"].isObject()) {
            text += tcp ? TcpText(port["counters"].toObject(), takesProxyHeaders)
                        : UdpText(port["counters"].toObject());
        }
    }
    return text;
}

}  // namespace

int RunStatusCommand(const QString& configDirectory, bool json, std::ostream& out,
                     std::ostream& err, std::chrono::milliseconds timeout) {
    const StatusSocket location = StatusSocket::Locate(configDirectory);
    const std::string where = QDir(configDirectory).absolutePath().toStdString();
    if (location.path.isEmpty()) {
        err << "tarnwick: cannot ask the instance for " << where << ": "
            << location.error.toStdString() << "\n";
        return 1;
    }
    const QString& path = location.path;
    QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(Remaining(deadline))) {
        if (socket.error() == QLocalSocket::ServerNotFoundError ||
            socket.error() == QLocalSocket::ConnectionRefusedError) {
            err << "tarnwick: no running instance for " << where << " (nothing answers on "
                << path.toStdString() << ")\n";
        } else {
            err << "tarnwick: cannot reach the instance for " << where << " on "
                << path.toStdString() << ": " << socket.errorString().toStdString() << "\n";
        }
        return 1;
    }
    const std::optional<uid_t> server = PeerUser(static_cast<int>(socket.socketDescriptor()));
    if (!BelievesServer(server, ::geteuid(), location.trustedOwner)) {
        err << "tarnwick: not believed: " << path.toStdString() << " is served by "
            << (server ? "user " + std::to_string(*server) : std::string("an unknown user"))
            << ", neither you nor the owner of its directory\n";
        return 1;
    }
    socket.write("status\n");
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() &&
           answer.size() <= MAX_ANSWER) {
        socket.waitForReadyRead(Remaining(deadline));
        answer += socket.read(MAX_ANSWER + 1 - answer.size());
    }
    if (answer.size() <= MAX_ANSWER) {
        answer += socket.read(MAX_ANSWER + 1 - answer.size());
    }
    if (answer.size() > MAX_ANSWER) {
        err << "tarnwick: the instance for " << where << " answered more than "
            << MAX_ANSWER / (1024 * 1024) << " MiB; not read\n";
        return 1;
    }
    QJsonParseError parseError{};
    QJsonDocument document = QJsonDocument::fromJson(answer, &parseError);
    if (!document.isObject()) {
        err << "tarnwick: the instance for " << where << " did not answer"
            << (answer.isEmpty() ? " in time" : " with a status") << "\n";
        return 1;
    }
    if (json) {
        QByteArray text = document.toJson(QJsonDocument::Indented);
        out.write(text.constData(), text.size());
    } else {
        out << StatusText(document.object());
    }
    out.flush();
    return 0;
}

}  // namespace tarnwick
