#include "InterruptWatcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <utility>

#include "ExitCodes.h"

namespace kvhost {

namespace {

// SIGUSR2 only tells the watcher to stop.
sigset_t watchedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR2);
    return signals;
}

}  // namespace

void InterruptWatcher::prepareProcess() {
    const sigset_t signals = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

InterruptWatcher::InterruptWatcher(std::shared_ptr<Console> console, std::function<void()> cancel)
    : console_(std::move(console)), cancel_(std::move(cancel)), thread_([this] { run(); }) {}

InterruptWatcher::~InterruptWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
}

void InterruptWatcher::run() {
    const sigset_t signals = watchedSignals();
    bool interrupted = false;
    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal != SIGUSR2) {
        if (interrupted) {
            console_->line("kavrin: interrupted again, quitting at once");
            _exit(ExitCodes::interrupted);
        }
        interrupted = true;
        console_->line("kavrin: cancelling (press Ctrl-C again to quit at once)");
        cancel_();
    }
}

}  // namespace kvhost
