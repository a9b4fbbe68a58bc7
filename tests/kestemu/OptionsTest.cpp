// The command line, and the kestemu program itself: its first output line, its exit codes and
// its shutdown on SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Options.h"
#include "RawClient.h"

extern char** environ;

namespace kestemu::test {
namespace {

ParseResult parse(std::vector<std::string> args, Config* config, std::string* message) {
    args.insert(args.begin(), "kestemu");
    std::vector<const char*> argv;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
    }
    return parse_command_line(static_cast<int>(argv.size()), argv.data(), config, message);
}

TEST(Options, EveryOptionReachesTheConfig) {
    Config c;
    std::string message;
    ASSERT_EQ(parse({"--bind",
                     "0.0.0.0",
                     "--port",
                     "0",
                     "--session-minutes",
                     "30",
                     "--idle-ms",
                     "250",
                     "--serial",
                     "S-1",
                     "--seed",
                     "4294967295",
                     "--inverters",
                     "CA",
                     "--clock",
                     "2024-06-15 12:34",
                     "--installed",
                     "2020-01-02",
                     "--state",
                     "/tmp/x",
                     "--max-connections",
                     "3",
                     "--erase-ms",
                     "0",
                     "--fault-silent-after",
                     "4",
                     "--fault-close-after",
                     "5",
                     "--fault-skip",
                     "6",
                     "--fault-stale-sequence",
                     "--fault-split",
                     "--fault-short",
                     "--fault-garbage",
                     "--delay-ms",
                     "7",
                     "--can-timeout-probability",
                     "0.25",
                     "--refuse-logins",
                     "--quiet"},
                    &c, &message),
              ParseResult::run)
        << message;
    EXPECT_EQ(c.bind, "0.0.0.0");
    EXPECT_EQ(c.port, 0);
    EXPECT_EQ(c.session_minutes, 30);
    EXPECT_EQ(c.idle_limit_ms, 250);
    EXPECT_EQ(c.serial, "S-1");
    EXPECT_EQ(c.seed, 4294967295u);
    EXPECT_EQ(c.inverters, "CA");
    EXPECT_EQ(c.clock, "2024-06-15 12:34");
    EXPECT_EQ(c.installed, "2020-01-02");
    EXPECT_EQ(c.state_file, "/tmp/x");
    EXPECT_EQ(c.max_connections, 3);
    EXPECT_EQ(c.erase_ms, 0);
    EXPECT_EQ(c.faults.silent_after, 4);
    EXPECT_EQ(c.faults.close_after, 5);
    EXPECT_EQ(c.faults.skip_frames, 6);
    EXPECT_TRUE(c.faults.stale_sequence);
    EXPECT_TRUE(c.faults.split_reply);
    EXPECT_TRUE(c.faults.short_reply);
    EXPECT_TRUE(c.faults.garbage);
    EXPECT_EQ(c.faults.delay_ms, 7);
    EXPECT_DOUBLE_EQ(c.faults.can_timeout_probability, 0.25);
    EXPECT_TRUE(c.faults.refuse_logins);
    EXPECT_FALSE(c.log_connections);
    EXPECT_TRUE(c.accounts.empty());
}

TEST(Options, AccountsFollowTheDefaultsAndValuesMayBeAttached) {
    Config c;
    std::string message;
    ASSERT_EQ(
        parse({"--account", "Fred:pa:ss:2", "--account=Eve:secret:4", "--port=0"}, &c, &message),
        ParseResult::run)
        << message;
    ASSERT_EQ(c.accounts.size(), 4u);
    EXPECT_EQ(c.accounts[0].name, "BasicUser");
    EXPECT_EQ(c.accounts[1].name, "Administrator");
    EXPECT_EQ(c.accounts[2].name, "Fred");
    EXPECT_EQ(c.accounts[2].password, "pa:ss");
    EXPECT_EQ(c.accounts[2].value, 2);
    EXPECT_EQ(c.accounts[3].name, "Eve");
    EXPECT_EQ(c.accounts[3].value, 4);
    EXPECT_EQ(c.port, 0);
}

TEST(Options, BadOptionsNameTheProblem) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--port", "12x"},
        {"--port"},
        {"--bogus"},
        {"port"},
        {"--bind", "localhost"},
        {"--session-minutes", "1441"},
        {"--idle-ms", "-5"},
        {"--seed", "-1"},
        {"--seed", "4294967296"},
        {"--serial", std::string(81, 's')},
        {"--inverters", "ABD"},
        {"--inverters", "AA"},
        {"--clock", "2024-13-01 00:00"},
        {"--clock", "noon"},
        {"--installed", "2024-06-15 12:00"},
        {"--state", ""},
        {"--max-connections", "0"},
        {"--erase-ms", "-1"},
        {"--delay-ms", "x"},
        {"--can-timeout-probability", "1.5"},
        {"--can-timeout-probability", "nan"},
        {"--fault-split=yes"},
        {"--account", "nopassword"},
        {"--account", "a:b:5"},
        {"--account", ":b:1"},
        {"--account", "a::1"},
        {"--account", "a b:c:1"},
        {"--account", "BasicUser:other:1"},
        // strtod alone takes hexadecimal; a file name longer than any path; a lost value
        {"--can-timeout-probability", "0x0.8"},
        {"--state", std::string(5000, 's')},
        {"--port", "--quiet"},
        {"--fault-inverter-zero", "D"},
        {"--fault-inverter-zero", "AB"},
        {"--fault-inverter-silent="},
        {"--fault-inverter-zero", "C", "--inverters", "AB"},
        {"--fault-inverter-silent", "A", "--fault-inverter-zero", "a"},
        {"--fault-inverter-zero", "A", "--fault-inverter-zero", "B"},
    };
    for (const auto& args : cases) {
        Config c;
        std::string message;
        EXPECT_EQ(parse(args, &c, &message), ParseResult::error) << args[0];
        EXPECT_FALSE(message.empty()) << args[0];
    }
    std::vector<std::string> many;
    for (int i = 0; i < 15; ++i) {
        many.push_back("--account");
        many.push_back("user" + std::to_string(i) + ":pw:1");
    }
    Config c;
    std::string message;
    EXPECT_EQ(parse(many, &c, &message), ParseResult::error);
}

TEST(Options, FaultInvertersTakeALetterOfAFittedInverter) {
    Config c;
    std::string message;
    ASSERT_EQ(
        parse({"--inverters", "BC", "--fault-inverter-zero", "b", "--fault-inverter-silent=C"}, &c,
              &message),
        ParseResult::run)
        << message;
    EXPECT_EQ(c.faults.zero_inverter, 'B');
    EXPECT_EQ(c.faults.silent_inverter, 'C');
    EXPECT_EQ(parse({"--inverters", "BC", "--fault-inverter-silent", "A"}, &c, &message),
              ParseResult::error);
    EXPECT_EQ(message, "option --fault-inverter-silent: A is not one of the fitted inverters 'BC'");
}

TEST(Options, LoopbackAddresses) {
    EXPECT_TRUE(is_loopback("127.0.0.1"));
    EXPECT_TRUE(is_loopback("127.1.2.3"));
    EXPECT_FALSE(is_loopback("0.0.0.0"));
    EXPECT_FALSE(is_loopback("128.0.0.1"));
    EXPECT_FALSE(is_loopback("10.127.0.1"));
}

TEST(Options, Help) {
    Config c;
    std::string message;
    EXPECT_EQ(parse({"--port", "1", "--help"}, &c, &message), ParseResult::help);
    EXPECT_NE(usage().find("--fault-garbage"), std::string::npos);
    EXPECT_NE(usage().find("--fault-inverter-zero LETTER"), std::string::npos);
    EXPECT_NE(usage().find("--fault-inverter-silent LETTER"), std::string::npos);
}

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<std::string> all = {KESTEMU_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Child child;
    EXPECT_EQ(posix_spawn(&child.pid, KESTEMU_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

std::string read_line(int fd) {
    std::string line;
    char ch = 0;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kPatienceMs) <= 0 || read(fd, &ch, 1) != 1 || ch == '\n') {
            return line;
        }
        line += ch;
    }
}

int wait_exit(Child& child) {
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
    close(child.out);
    close(child.err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, ListensServesAndStopsOnSigterm) {
    Child child = spawn({"--port", "0", "--clock", "2024-06-15 12:00"});
    const std::string line = read_line(child.out);
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    const int port = std::stoi(line.substr(line.rfind(':') + 1));
    ASSERT_GT(port, 0);
    {
        RawClient client(port);
        EXPECT_EQ(client.login_admin().u32(7), 4u);
        EXPECT_EQ(client.request(0x80).s16(3), 0x0203);
        EXPECT_EQ(read_line(child.err).find("connection 1"), 9u);  // "kestemu: connection 1 ..."
        kill(child.pid, SIGTERM);
        EXPECT_TRUE(client.wait_closed());
    }
    EXPECT_EQ(wait_exit(child), 0);
}

// Only an address other machines can reach earns the warning; --quiet does not hide it.
TEST(Program, SaysWhenOtherMachinesCanReachIt) {
    Child open_box = spawn({"--bind", "0.0.0.0", "--port", "0", "--quiet"});
    const std::string line = read_line(open_box.out);
    ASSERT_EQ(line.rfind("listening on 0.0.0.0:", 0), 0u) << line;
    EXPECT_EQ(read_line(open_box.err), "kestemu: " + line + ", reachable from other machines");
    kill(open_box.pid, SIGTERM);
    EXPECT_EQ(wait_exit(open_box), 0);

    Child loopback = spawn({"--port", "0"});
    ASSERT_EQ(read_line(loopback.out).rfind("listening on 127.0.0.1:", 0), 0u);
    kill(loopback.pid, SIGTERM);
    // Its only line is the one about the signal.
    EXPECT_EQ(read_line(loopback.err).find("reachable"), std::string::npos);
    EXPECT_EQ(wait_exit(loopback), 0);
}

TEST(Program, BadOptionExitsWithTwo) {
    Child child = spawn({"--port", "nope"});
    EXPECT_NE(read_line(child.err).find("--port"), std::string::npos);
    EXPECT_EQ(wait_exit(child), 2);
}

TEST(Program, HelpExitsWithZero) {
    Child child = spawn({"--help"});
    EXPECT_EQ(read_line(child.out).rfind("usage: kestemu", 0), 0u);
    EXPECT_EQ(wait_exit(child), 0);
}

}  // namespace
}  // namespace kestemu::test
