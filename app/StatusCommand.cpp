#include "app/StatusCommand.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include "app/ConfigCommands.h"
#include "qtcore/InstanceName.h"

namespace tarnwick {

namespace {

int Remaining(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
}

std::string Count(const QJsonObject& object, const char* key) {
    return std::to_string(object[key].toInteger());
}

std::string TcpText(const QJsonObject& counters) {
    std::string text = "\tconnections: " + Count(counters, "accepted") + " accepted, " +
                       Count(counters, "open") + " open\n" +
                       "\tbytes: " + Count(counters, "bytesFromClients") + " from clients, " +
                       Count(counters, "bytesToClients") + " to clients\n";
    for (const QJsonValue& value : counters["rules"].toArray()) {
        QJsonObject rule = value.toObject();
        text += "\trule " + Count(rule, "rule") + " \"" + rule["ruleName"].toString().toStdString() +
                "\": " + Count(rule, "connections") + " connections\n";
    }
    QJsonObject routes = counters["defaultRoutes"].toObject();
    text += "\tdefault destination: " + Count(routes, "standard") + " standard, " +
            Count(routes, "noMatch") + " no match, " + Count(routes, "timeout") + " timeout, " +
            Count(routes, "clientClosed") + " client closed\n";
    for (const QJsonValue& value : counters["failedConnects"].toArray()) {
        QJsonObject failed = value.toObject();
        text += "\tfailed connects: " + Count(failed, "count") + " " +
                failed["message"].toString().toStdString() + "\n";
    }
    text += "\tresets: " + Count(counters, "resets") + "\n";
    text += "\trefused clients: " + Count(counters, "refusedClients") + " connections reset\n";
    return text;
}

std::string UdpText(const QJsonObject& counters) {
    std::string text = "\tdatagrams: " + Count(counters, "datagramsFromClients") +
                       " from clients (" + Count(counters, "bytesFromClients") + " bytes), " +
                       Count(counters, "datagramsToClients") + " to clients (" +
                       Count(counters, "bytesToClients") + " bytes), " +
                       Count(counters, "datagramsDropped") + " dropped\n";
    if (counters["destination"].isString()) {
        text += "\tlatest destination: " + counters["destination"].toString().toStdString() +
                " (" + counters["route"].toString().toStdString() + ")\n";
    }
    text += "\tassociations: " + Count(counters, "associationsOpen") + " open, " +
            Count(counters, "associationsCreated") + " created, " +
            Count(counters, "associationsEndedIdle") + " ended idle, " +
            Count(counters, "associationsEndedByBound") + " ended by the bound\n";
    text += "\tlookup failures: " + Count(counters, "lookupFailures");
    if (counters["lastLookupFailure"].isString()) {
        text += " (last: " + counters["lastLookupFailure"].toString().toStdString() + ")";
    }
    text += "\n\trefused clients: " + Count(counters, "refusedClients") + " datagrams dropped\n";
    return text;
}

// The document as lines for people: a heading, then each port's row as --list shows it,
// followed by its counters indented by a tab.
std::string StatusText(const QJsonObject& status) {
    std::string text = "Tarnwick, " + status["mode"].toString().toStdString() + ", process " +
                       Count(status, "pid") + ", configuration " +
                       status["configDirectory"].toString().toStdString() + "\n" +
                       ConfigCommands::HEADER_LINE + "\n";
    for (const QJsonValue& value : status["ports"].toArray()) {
        QJsonObject port = value.toObject();
        const bool tcp = port["protocol"].toString() == "tcp";
        text += port["row"].toString().toStdString();
        if (port["openError"].isObject()) {
            text += "\tcannot open the port: " +
                    port["openError"].toObject()["message"].toString().toStdString();
        }
        text += "\n";
        if (port["counters"].isObject()) {
            text += tcp ? TcpText(port["counters"].toObject()) : UdpText(port["counters"].toObject());
        }
    }
    return text;
}

}  // namespace

int RunStatusCommand(const QString& configDirectory, bool json, std::ostream& out,
                     std::ostream& err, std::chrono::milliseconds timeout) {
    const QString path = StatusSocketPath(configDirectory);
    const std::string where = QDir(configDirectory).absolutePath().toStdString();
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
    socket.write("status\n");
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(Remaining(deadline));
        answer += socket.readAll();
    }
    answer += socket.readAll();
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
