// kestemu: one Kest box on a TCP port, until SIGINT or SIGTERM.
#include <pthread.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>

#include "Emulator.h"
#include "Options.h"

int main(int argc, char** argv) {
    kestemu::Config config;
    std::string message;
    switch (kestemu::parse_command_line(argc, argv, &config, &message)) {
        case kestemu::ParseResult::help:
            std::fputs(kestemu::usage().c_str(), stdout);
            return 0;
        case kestemu::ParseResult::error:
            std::fprintf(stderr, "kestemu: %s (see --help)\n", message.c_str());
            return 2;
        case kestemu::ParseResult::run:
            break;
    }

    // Hundreds of connections need more descriptors than the usual soft limit.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // Every thread inherits the blocked signals; the main thread alone takes them with sigwait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    kestemu::Emulator box(config);
    std::string error;
    if (!box.start(&error)) {
        std::fprintf(stderr, "kestemu: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", box.address().c_str(), box.port());
    std::fflush(stdout);
    // An emulator on the network accepts the default passwords from anyone who finds it; say so
    // even with --quiet.
    if (!kestemu::is_loopback(box.address())) {
        std::fprintf(stderr, "kestemu: listening on %s:%d, reachable from other machines\n",
                     box.address().c_str(), box.port());
    }

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::fprintf(stderr, "kestemu: signal %d, shutting down\n", signal_number);
    box.stop();
    return 0;
}
