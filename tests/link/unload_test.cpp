// Unloading the library with links still created, one of them connected: it must stop every
// link's thread and not hang. The library is linked into this test program, so dlclose here
// could never unload it; a small program of its own loads and unloads it instead.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "ScriptedPeer.h"

extern char** environ;

namespace linktest {
namespace {

TEST(Unload, StopsEveryLinkThreadWithoutHanging) {
    ScriptedPeer peer;
    ASSERT_EQ(peer.error(), "");
    std::string probe = UNLOAD_PROBE_PATH;
    std::string port = std::to_string(peer.port());
    char* argv[] = {probe.data(), port.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, probe.c_str(), nullptr, nullptr, argv, environ), 0) << probe;

    int status = 0;
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "unloading the library hung";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the probe died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the probe's message above";
    EXPECT_EQ(peer.connections_accepted(), 1);
    EXPECT_TRUE(peer.wait_for_open_connections(0));
}

}  // namespace
}  // namespace linktest
