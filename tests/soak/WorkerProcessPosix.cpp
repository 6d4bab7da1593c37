#include "WorkerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace kvsoak {

namespace {

void makePipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("soak: could not make a pipe for the worker");
    }
}

std::vector<std::string> workerEnvironment(const std::string& directory) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("HOME=", 0) != 0 && text.rfind("TMPDIR=", 0) != 0 &&
            text.rfind("XDG_", 0) != 0) {
            environment.push_back(text);
        }
    }
    environment.push_back("HOME=" + directory);
    environment.push_back("TMPDIR=" + directory);
    return environment;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

}  // namespace

WorkerProcess::WorkerProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& directory, const std::string& logPath) {
    int in[2];
    int out[2];
    makePipe(in);
    makePipe(out);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = workerEnvironment(directory);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers(argv).data(),
                                   pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    process_ = pid;
    ::close(in[0]);
    ::close(out[1]);
    toWorker_ = in[1];
    fromWorker_ = out[0];
    if (failed != 0) {
        ::close(toWorker_);
        ::close(fromWorker_);
        throw std::runtime_error("soak: could not start the worker " + program);
    }
    wire_ = std::make_unique<Wire>(fromWorker_, toWorker_);
}

WorkerProcess::~WorkerProcess() {
    if (!waited_) {
        kill();
        wait();
    }
    ::close(toWorker_);
    ::close(fromWorker_);
}

void WorkerProcess::kill() {
    ::kill(static_cast<pid_t>(process_), SIGKILL);
}

int WorkerProcess::wait() {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::string freshTemporaryDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("soak: could not make a temporary folder " + pattern);
    }
    return pattern;
}

Wire workerWire() {
    return Wire(0, 1);
}

void ignoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

ResourceFigures ownResources() {
    ResourceFigures figures;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    figures.peakRssKilobytes = static_cast<uint64_t>(usage.ru_maxrss);
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++figures.openDescriptors;
    }
    // The iterator's own descriptor was among them.
    --figures.openDescriptors;
    return figures;
}

const bool fileSizeCanBeLimited = true;

void limitFileSize(uint64_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        throw std::runtime_error("soak: could not limit the worker's file size");
    }
}

}  // namespace kvsoak
