#include "ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace kvtest {

namespace {

void closePipe(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Appends what a pipe that poll found ready offers; closes it at its end.
void readReady(const pollfd& polled, int& fd, std::string& text) {
    if (fd < 0 || (polled.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
    }
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
    } else {
        closePipe(fd);
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           std::optional<uint64_t> fileSizeLimit) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        if (fileSizeLimit) {
            const rlimit limit{*fileSizeLimit, *fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outPipe_ = out[0];
    errPipe_ = err[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    closePipe(outPipe_);
    closePipe(errPipe_);
}

bool ChildProcess::waitForError(const std::string& text, std::chrono::seconds timeout) {
    return waitFor(err_, text, timeout);
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::seconds timeout) {
    return waitFor(out_, text, timeout);
}

bool ChildProcess::waitFor(const std::string& collected, const std::string& text,
                           std::chrono::seconds timeout) {
    const auto found = [&] { return collected.find(text) != std::string::npos; };
    collect(found, std::chrono::steady_clock::now() + timeout);
    return found();
}

void ChildProcess::signal(int number) {
    kill(pid_, number);
}

int ChildProcess::finish(std::chrono::seconds timeout) {
    collect([] { return false; }, std::chrono::steady_clock::now() + timeout);
    if (outPipe_ >= 0 || errPipe_ >= 0) {
        kill(pid_, SIGKILL);
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::collect(const std::function<bool()>& done,
                           std::chrono::steady_clock::time_point deadline) {
    while (!done() && (outPipe_ >= 0 || errPipe_ >= 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd fds[] = {{outPipe_, POLLIN, 0}, {errPipe_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        readReady(fds[0], outPipe_, out_);
        readReady(fds[1], errPipe_, err_);
    }
}

}  // namespace kvtest
