// kestctl's command line: the options, the command and its arguments, all checked before
// anything is sent to the box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr int kDefaultCount = 12;
constexpr int kDefaultTimeoutMs = 2500;

struct Options {
    std::string host = "127.0.0.1";
    int port = 7777;
    std::string user = "Administrator";
    std::string password = "admin1234";
    int timeout_ms = kDefaultTimeoutMs;
    std::string command;
    std::vector<std::string> args;
};

struct HistoryArgs {
    uint8_t resolution = 0;
    uint8_t module = 0;
    int count = kDefaultCount;
};

// Each returns -1 when what it checks is good, else the exit code, after the message on standard
// error (or, for --help, the usage text on standard output).
int parse_options(int argc, char** argv, Options* options);
int check_arguments(const Options& options, HistoryArgs* history);

}  // namespace kestctl
