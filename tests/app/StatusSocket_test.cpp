// Where the status socket goes, whom each end believes, and the lock that keeps one
// instance per configuration directory.
#include "qtcore/StatusSocket.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "qtcore/InstanceLock.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using testing::TempDir;

class ScopedRuntimeDir {
public:
    explicit ScopedRuntimeDir(const std::string& value) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old;
        ::setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
    }
    ~ScopedRuntimeDir() {
        if (old_) {
            ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }

private:
    std::optional<std::string> old_;
};

QString Q(const std::string& text) { return QString::fromStdString(text); }

TEST(StatusSocket, GoesWhereOnlyTheUserCanCreateIt) {
    TempDir config, runtime;
    ScopedRuntimeDir scoped(runtime.path());

    // A private configuration directory takes the socket itself.
    StatusSocket own = StatusSocket::Locate(Q(config.path()));
    EXPECT_EQ(own.path, Q(config.file("tarnwick.sock")));
    EXPECT_EQ(own.trustedOwner, ::geteuid());

    // One that others may write to does not: the private runtime directory instead.
    ASSERT_EQ(::chmod(config.path().c_str(), 0777), 0);
    StatusSocket shared = StatusSocket::Locate(Q(config.path()));
    EXPECT_TRUE(shared.path.startsWith(Q(runtime.path() + "/tarnwick-"))) << shared.path.toStdString();

    // A path too long for a socket goes there too.
    const std::string deep = config.path() + "/" + std::string(100, 'd');
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    EXPECT_TRUE(StatusSocket::Locate(Q(deep)).path.startsWith(Q(runtime.path())));

    // A runtime directory that other users can reach is not used at all.
    ASSERT_EQ(::chmod(runtime.path().c_str(), 0755), 0);
    StatusSocket squatted = StatusSocket::Locate(Q(config.path()));
    EXPECT_TRUE(squatted.path.isEmpty());
    EXPECT_TRUE(squatted.error.contains("mode 0755")) << squatted.error.toStdString();
}

TEST(StatusSocket, APrivateDirectoryIsARealDirectoryOfItsOwnerForHimAlone) {
    TempDir temp;
    EXPECT_EQ(PrivateDirectoryProblem(temp.path(), ::geteuid()), "");
    EXPECT_NE(PrivateDirectoryProblem(temp.path(), ::geteuid() + 1), "");
    ASSERT_EQ(::chmod(temp.path().c_str(), 0710), 0);
    EXPECT_NE(PrivateDirectoryProblem(temp.path(), ::geteuid()), "");
    ASSERT_EQ(::chmod(temp.path().c_str(), 0700), 0);
    ASSERT_EQ(::symlink(temp.path().c_str(), temp.file("link").c_str()), 0);
    EXPECT_NE(PrivateDirectoryProblem(temp.file("link"), ::geteuid()), "");
    EXPECT_NE(PrivateDirectoryProblem(temp.file("missing"), ::geteuid()), "");
}

TEST(StatusSocket, PeerCredentialsDecideWhoIsBelieved) {
    const uid_t me = 1000, owner = 990, stranger = 1001;
    EXPECT_TRUE(BelievesServer(me, me, me));
    EXPECT_TRUE(BelievesServer(owner, 0, owner));  // the superuser asks a service's directory
    EXPECT_FALSE(BelievesServer(stranger, me, me));
    EXPECT_FALSE(BelievesServer(0, me, me));
    EXPECT_FALSE(BelievesServer(std::nullopt, me, me));

    EXPECT_TRUE(AnswersClient(me, me));
    EXPECT_TRUE(AnswersClient(0, owner));
    EXPECT_FALSE(AnswersClient(stranger, me));
    EXPECT_FALSE(AnswersClient(std::nullopt, me));
}

TEST(InstanceLock, ASecondTakerLearnsWhoHoldsTheDirectory) {
    TempDir temp;
    const std::string config = temp.file("new/config");  // created on the way
    std::optional<InstanceLock> first(config);
    ASSERT_EQ(first->take("headless"), InstanceLock::Outcome::Taken) << first->error();

    InstanceLock second(config);
    EXPECT_EQ(second.take("window"), InstanceLock::Outcome::Held);
    EXPECT_EQ(second.holderPid(), ::getpid());
    EXPECT_EQ(second.describeHolder(), "process " + std::to_string(::getpid()) + " (headless)");

    // Another directory is another instance; the lock goes with its holder.
    EXPECT_EQ(InstanceLock(temp.file("other")).take("window"), InstanceLock::Outcome::Taken);
    first.reset();
    EXPECT_EQ(second.take("window"), InstanceLock::Outcome::Taken);
}

}  // namespace
}  // namespace tarnwick
