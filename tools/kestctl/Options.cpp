#include "Options.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <string_view>

#include "History.h"
#include "Shown.h"

namespace kestctl {
namespace {

using tools::shown;

constexpr size_t kMaxFieldLength = 20;  // names and passwords as the box keeps them
constexpr int kMaxCount = 10000;
constexpr int kMinTimeoutMs = 251;  // the link refuses shorter reply time-outs
constexpr int kMaxTimeoutMs = 59999;
constexpr size_t kMaxHostLength = 253;  // the longest DNS name

constexpr char kUsage[] = R"(usage: kestctl [OPTIONS] COMMAND [ARGS]

Talks to one Kest box through the link library.

options:
  --host H        box address or host name (default 127.0.0.1)
  --port P        box TCP port (default 7777)
  --user U        account name (default Administrator)
  --password PW   account password (default admin1234)
  --timeout MS    how long the box may take to answer each request, 251..59999 (default 2500)
  --help          show this text

Each option is given at most once, as "--port 7777" or "--port=7777".

commands:
  info                         access level, versions, serial, sleep state, session time
  clock                        the monitor's date and time
  power                        actual power of inverters A, B, C and their sum
  history RES MODULE [COUNT]   yield history, newest first: RES is 10min, day, month or
                               year; MODULE is total, A, B or C; COUNT samples (default 12)
  accounts                     the box's account table (passwords are never shown)
  passwd NAME NEWPASSWORD      give the account NAME a new password

exit status: 0 done, 1 the command failed (for power: a fitted inverter did not answer, so the
total is incomplete), 2 usage error
)";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "kestctl: %s\nTry 'kestctl --help'.\n", message.c_str());
    return kExitUsage;
}

bool parse_int(std::string_view text, int low, int high, int* out) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

bool has_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const unsigned char c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F;
    });
}

// Names and passwords as the box keeps them: 1 to 20 characters, none of them control codes.
int check_field(const std::string& what, const std::string& value) {
    if (value.empty() || value.size() > kMaxFieldLength) {
        return usage_error(what + " has 1 to 20 characters, not " + std::to_string(value.size()));
    }
    if (has_control_character(value)) {
        return usage_error(what + " must not contain control characters");
    }
    return -1;
}

// One option and its value. Returns -1 when the value is good, else the exit code.
int take_option(std::string_view name, const std::string& value, Options* options) {
    const std::string option(name);
    if (name == "--host") {
        if (value.empty()) {
            return usage_error("option --host: the host must not be empty");
        }
        if (value.size() > kMaxHostLength || has_control_character(value)) {
            return usage_error("option --host: " + shown(value) +
                               " is no host name or address (at most 253 characters, no control "
                               "characters)");
        }
        options->host = value;
    } else if (name == "--port") {
        if (!parse_int(value, 1, 65535, &options->port)) {
            return usage_error("option --port: " + shown(value) + " is not a port number 1..65535");
        }
    } else if (name == "--timeout") {
        if (!parse_int(value, kMinTimeoutMs, kMaxTimeoutMs, &options->timeout_ms)) {
            return usage_error("option --timeout: " + shown(value) +
                               " is not a number of milliseconds " + std::to_string(kMinTimeoutMs) +
                               ".." + std::to_string(kMaxTimeoutMs));
        }
    } else {
        const int bad = check_field("option " + option + ": the value", value);
        if (bad >= 0) {
            return bad;
        }
        (name == "--user" ? options->user : options->password) = value;
    }
    return -1;
}

}  // namespace

int parse_options(int argc, char** argv, Options* options) {
    static const std::set<std::string_view> kValueOptions = {"--host", "--port", "--user",
                                                             "--password", "--timeout"};
    std::set<std::string_view> seen;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        const size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const auto known = kValueOptions.find(name);
        if (known == kValueOptions.end()) {
            return usage_error("unknown option " + shown(name));
        }
        if (!seen.insert(*known).second) {
            return usage_error("option " + std::string(name) + " is given more than once");
        }
        std::string value;
        if (equals != std::string_view::npos) {
            value = std::string(arg.substr(equals + 1));
        } else if (i + 1 >= argc || std::string_view(argv[i + 1]).substr(0, 2) == "--") {
            // "--host --port 1" most likely lost the host; "--password=--x" says it is meant.
            return usage_error("option " + std::string(name) + " needs a value");
        } else {
            value = argv[++i];
        }
        if (const int bad = take_option(name, value, options); bad >= 0) {
            return bad;
        }
    }
    if (i >= argc) {
        return usage_error("no command given");
    }
    options->command = argv[i++];
    options->args.assign(argv + i, argv + argc);
    return -1;
}

int check_arguments(const Options& options, HistoryArgs* history) {
    const std::string& command = options.command;
    const size_t n = options.args.size();
    if (command == "info" || command == "clock" || command == "power" || command == "accounts") {
        return n == 0 ? -1 : usage_error(command + " takes no arguments");
    }
    if (command == "history") {
        if (n < 2 || n > 3) {
            return usage_error("usage: history RESOLUTION MODULE [COUNT]");
        }
        if (!kestctl::parse_resolution(options.args[0], &history->resolution)) {
            return usage_error("resolution must be 10min, day, month or year, not " +
                               shown(options.args[0]));
        }
        if (!kestctl::parse_module(options.args[1], &history->module)) {
            return usage_error("module must be total, A, B or C, not " + shown(options.args[1]));
        }
        if (n == 3 && !parse_int(options.args[2], 1, kMaxCount, &history->count)) {
            return usage_error("count must be a number 1.." + std::to_string(kMaxCount) + ", not " +
                               shown(options.args[2]));
        }
        return -1;
    }
    if (command == "passwd") {
        if (n != 2) {
            return usage_error("usage: passwd NAME NEWPASSWORD");
        }
        if (const int bad = check_field("the account name", options.args[0]); bad >= 0) {
            return bad;
        }
        return check_field("the new password", options.args[1]);
    }
    return usage_error("unknown command " + shown(command));
}

}  // namespace kestctl
