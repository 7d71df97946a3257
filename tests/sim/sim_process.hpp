// A velkarin-sim child process for end-to-end tests: started with pipes on
// its stdin, stdout and stderr, killed if a test leaves it running.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace velkarin::sim::testing {

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
        args.insert(args.begin(), VELKARIN_SIM_EXE);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_})
            if (fd >= 0) ::close(fd);
    }

    bool started() const { return pid_ > 0; }

    // The next line on stdout, or nothing if none comes within `limit`.
    std::optional<std::string> read_line(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const auto nl = out_buf_.find('\n'); nl != std::string::npos) {
                std::string line = out_buf_.substr(0, nl);
                out_buf_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            out_buf_.append(buf, static_cast<std::size_t>(n));
        }
    }

    void write_line(const std::string& line) {
        const std::string l = line + "\n";
        [[maybe_unused]] const auto n = ::write(stdin_, l.data(), l.size());
    }

    // Everything on stderr so far (reads until end of file: call after exit).
    std::string drain_stderr() {
        std::string s;
        char buf[256];
        for (ssize_t n; (n = ::read(stderr_, buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // The exit status, or nothing if the process has not ended within `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                break;
            }
            if (std::chrono::steady_clock::now() >= end) return std::nullopt;
            ::usleep(2000);
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    std::string out_buf_;
    std::optional<int> status_;
};

}  // namespace velkarin::sim::testing
