#include "StopSignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace tools {
namespace {

int Signal_Pipe[2] = {-1, -1};
volatile sig_atomic_t Signalled = 0;

void on_signal(int signal) {
    if (Signalled != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    Signalled = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(Signal_Pipe[1], &byte, 1);
}

}  // namespace

bool catch_stop_signals() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Signal_Pipe) != 0) {
        return false;
    }
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

int stop_signal_fd() {
    return Signal_Pipe[0];
}

void take_stop_signal() {
    char byte = 0;
    [[maybe_unused]] const ssize_t n = read(Signal_Pipe[0], &byte, 1);
}

}  // namespace tools
