// The status server's bounds, in this process: a client that asks and never reads its
// answer is dropped once its time is up, so that it holds neither a descriptor nor a
// copy of the answer for long.
#include "qtcore/StatusServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "base/UniqueFd.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

UniqueFd Connect(const QString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST(StatusServer, DropsAClientThatDoesNotReadItsAnswer) {
    int argc = 1;
    char name[] = "status-server-test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    testing::TempDir config;
    const QByteArray answer(8 * 1024 * 1024, 'x');  // far more than the socket buffers hold
    StatusServer server(QString::fromStdString(config.path()), [&] { return answer; },
                        {.questionTime = 5000ms, .answerTime = 300ms});
    QString error;
    ASSERT_TRUE(server.listen(error)) << error.toStdString();

    UniqueFd reader = Connect(server.path());
    ASSERT_EQ(::send(reader.get(), "status\n", 7, MSG_NOSIGNAL), 7);  // and never reads
    auto servedUntil = [&](auto done) {
        QDeadlineTimer deadline(10s);
        while (!done() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        return done();
    };
    EXPECT_TRUE(servedUntil([&] { return server.clients() == 1; }));
    EXPECT_TRUE(servedUntil([&] { return server.clients() == 0; }));
}

}  // namespace
}  // namespace tarnwick
