#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tarnwick::testing {

// A program started by a test, with its standard output and error captured through pipes.
// Ended by its PID only; the destructor kills and reaps it if the test did not.
//
// With TARNWICK_TEST_LOOPS=N in the environment, a headless program started without
// --loops of its own gets "--loops N": the end-to-end tests run that way once more, so
// that a single loop serves them as the default loops do.
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    ChildProcess(const std::string& program, std::vector<std::string> arguments,
                 const std::vector<std::string>& extraEnvironment = {}) {
        AddTestLoops(arguments);
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int result = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (result != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + program);
        }
    }

    ~ChildProcess() {
        if (pid_ > 0 && !exitStatus_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }

    // Reads what the child wrote until `done(stdout)` holds or the deadline passes.
    template <class Predicate>
    bool waitForOutput(Predicate done, std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (!done(stdout_)) {
            if (!pump(deadline)) {
                return done(stdout_);
            }
        }
        return true;
    }

    bool waitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
        return waitForOutput(
            [&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout);
    }

    // Waits for the child to end, reading all it writes; the exit code, or nullopt when it
    // did not end in time or ended by a signal.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (pump(deadline)) {
        }
        if (!exitStatus_) {
            // A pidfd becomes readable when the child ends: wait on it, bounded.
            int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd ended = {pidfd, POLLIN, 0};
            if (pidfd >= 0 && ::poll(&ended, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 1) {
                int status = 0;
                if (::waitpid(pid_, &status, 0) == pid_) exitStatus_ = status;
            }
            if (pidfd >= 0) ::close(pidfd);
        }
        if (exitStatus_ && WIFEXITED(*exitStatus_)) {
            return WEXITSTATUS(*exitStatus_);
        }
        return std::nullopt;
    }

    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

private:
    static void AddTestLoops(std::vector<std::string>& arguments) {
        const char* loops = std::getenv("TARNWICK_TEST_LOOPS");
        auto has = [&](const char* option) {
            return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
        };
        if (loops != nullptr && *loops != '\0' && has("--headless") && !has("--loops")) {
            arguments.insert(arguments.end(), {"--loops", loops});
        }
    }

    // Reads whatever is available on both pipes until the deadline; false once both
    // have ended or the deadline has passed.
    bool pump(Clock::time_point deadline) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (outDone_ && errDone_) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        if (outDone_) fds[0].fd = -1;
        if (errDone_) fds[1].fd = -1;
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
        readInto(fds[0], out_, stdout_, outDone_);
        readInto(fds[1], err_, stderr_, errDone_);
        return true;
    }

    static void readInto(const pollfd& p, int fd, std::string& text, bool& done) {
        if (p.fd < 0 || p.revents == 0) return;
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            done = true;
        } else {
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool outDone_ = false;
    bool errDone_ = false;
    std::string stdout_;
    std::string stderr_;
    std::optional<int> exitStatus_;
};

}  // namespace tarnwick::testing
