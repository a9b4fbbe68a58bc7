#include "ChildRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace clitest {

namespace {

// Set before any test starts a thread: no child may reach a user's real data.
const bool kDataDirSet = setenv("QUARNEL_DATA_DIR", "/nonexistent/quarnel-cli-test/", 1) == 0;

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      int deadline_ms) {
    ChildResult result;
    const int out = memfd_create("out", MFD_CLOEXEC);
    const int err = memfd_create("err", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<std::string> texts = {program};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& t : texts) {
        argv.push_back(t.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (!kDataDirSet || spawned != 0) {
        result.err = "cannot start " + program;
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                result.timed_out = true;
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        result.exited = WIFEXITED(status) && !result.timed_out;
        result.code = result.exited ? WEXITSTATUS(status) : -1;
    }
    result.out = drain(out);
    result.err += drain(err);
    return result;
}

}  // namespace clitest
