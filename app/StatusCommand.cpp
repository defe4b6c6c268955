#include "StatusCommand.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include "InstanceName.h"
#include "StatusReport.h"

namespace tarnwick {

namespace {

int Remaining(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
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
        out << StatusReport::Text(document.object());
    }
    out.flush();
    return 0;
}

}  // namespace tarnwick
