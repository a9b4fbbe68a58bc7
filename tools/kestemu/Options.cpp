#include "Options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "Box.h"
#include "Shown.h"

namespace kestemu {

namespace {

using tools::shown;

// Plain decimal digits only: strtoll alone would also take " 12" and "+12".
bool to_integer(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// A probability as digits with an optional fraction ("0.25", "1", ".5"); no signs, exponents,
// hexadecimal or words, which strtod would all take.
bool to_probability(const std::string& text, double* out) {
    const size_t dot = text.find('.');
    const size_t digits = text.size() - (dot == std::string::npos ? 0 : 1);
    if (digits == 0 || text.size() > 32 || text.find('.', dot + 1) != std::string::npos ||
        !std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
        return false;
    }
    const double p = std::strtod(text.c_str(), nullptr);
    if (!(p >= 0.0 && p <= 1.0)) {
        return false;
    }
    *out = p;
    return true;
}

bool has_control_character(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char ch) {
        const unsigned char c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F;
    });
}

bool parse_account(const std::string& text, Account* account, std::string* why) {
    const size_t first = text.find(':');
    const size_t last = text.rfind(':');
    if (first == std::string::npos || first == last) {
        *why = "expected NAME:PASSWORD:LEVEL";
        return false;
    }
    account->name = text.substr(0, first);
    account->password = text.substr(first + 1, last - first - 1);
    long long level = 0;
    if (check_name(account->name) != 0) {
        *why = "the name must have 1..20 characters 0x21..0x7E";
        return false;
    }
    if (check_password(account->password) != 0) {
        *why = "the password must have 1..20 characters 0x21..0x7E";
        return false;
    }
    if (!to_integer(text.substr(last + 1), 0, 4, &level)) {
        *why = "the level must be 0..4";
        return false;
    }
    account->value = static_cast<int32_t>(level);
    account->flag = 1;
    return true;
}

}  // namespace

std::string usage() {
    return R"(usage: kestemu [options]
Plays one Kest box on a TCP port.

  --bind ADDRESS               IPv4 address to listen on (127.0.0.1)
  --port PORT                  TCP port, 0 picks a free one (7777)
  --account NAME:PASSWORD:LEVEL
                               adds an account after the two defaults (repeatable)
  --session-minutes M          second session-time value, idle limit in minutes (10; 0 never)
  --idle-ms MS                 idle limit in milliseconds, overrides the session time (0 never)
  --serial TEXT                serial number (KEST-0042-7319)
  --seed N                     seed of the daylight model and of the faults (1)
  --inverters LETTERS          fitted inverters out of A, B, C (ABC)
  --clock "YYYY-MM-DD HH:MM"   start of the box clock (the PC's local time)
  --installed YYYY-MM-DD       installation date; earlier periods have no yield (2021-03-15)
  --state FILE                 keeps the account table across runs
  --max-connections N          sessions logged in at once (512)
  --erase-ms MS                duration of a flash block erase (200)
  --quiet                      no connection events on standard error
faults:
  --fault-silent-after N       stop answering once N frames were answered
  --fault-close-after N        close the connection once N frames were answered
  --fault-skip N               the reply faults leave the first N frames of a connection alone
  --fault-stale-sequence       send a copy with a wrong sequence number before each reply
  --fault-split                send each reply in two TCP segments
  --fault-short                send replies whose length byte claims 10 bytes more
  --fault-garbage              send 12 random bytes instead of each reply
  --delay-ms N                 wait N ms before each reply
  --can-timeout-probability P  inverter requests time out on the CAN bus with probability P
  --refuse-logins              refuse every login (code -13)
  --fault-inverter-zero LETTER
                               that inverter (A, B or C) answers 0 W and produces nothing
                               from the clock's start on
  --fault-inverter-silent LETTER
                               CAN requests to that inverter are refused (code -21)
  --help                       this text
Each option but --account is given at most once, as "--port 7777" or "--port=7777".
)";
}

bool is_loopback(const std::string& address) {
    in_addr parsed{};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

ParseResult parse_command_line(int argc, const char* const* argv, Config* config,
                               std::string* message) {
    std::vector<Account> extra;
    bool bad = false;
    std::string value;

    auto fail = [&](const std::string& option, const std::string& why) {
        *message = "option " + option + ": " + why;
        bad = true;
    };
    auto integer = [&](const std::string& option, long long low, long long high, auto* target) {
        long long v = 0;
        if (!to_integer(value, low, high, &v)) {
            fail(option, shown(value) + " is not a number in " + std::to_string(low) + ".." +
                             std::to_string(high));
            return;
        }
        *target = static_cast<std::remove_pointer_t<decltype(target)>>(v);
    };

    Faults& f = config->faults;
    std::map<std::string, std::function<void(const std::string&)>> with_value = {
        {"--bind",
         [&](const std::string& o) {
             in_addr address{};
             if (inet_pton(AF_INET, value.c_str(), &address) != 1) {
                 fail(o, shown(value) + " is not a dotted IPv4 address");
             }
             config->bind = value;
         }},
        {"--port", [&](const std::string& o) { integer(o, 0, 65535, &config->port); }},
        {"--account",
         [&](const std::string& o) {
             Account a;
             std::string why;
             if (!parse_account(value, &a, &why)) {
                 fail(o, shown(value) + ": " + why);
             }
             extra.push_back(a);
         }},
        {"--session-minutes",
         [&](const std::string& o) { integer(o, 0, 1440, &config->session_minutes); }},
        {"--idle-ms",
         [&](const std::string& o) { integer(o, 0, 2147483647, &config->idle_limit_ms); }},
        {"--serial",
         [&](const std::string& o) {
             if (value.size() > 80) {
                 fail(o, "a serial number has at most 80 characters");
             } else if (has_control_character(value)) {
                 fail(o, "a serial number must not contain control characters");
             }
             config->serial = value;
         }},
        {"--seed", [&](const std::string& o) { integer(o, 0, 4294967295LL, &config->seed); }},
        {"--inverters",
         [&](const std::string& o) {
             for (size_t i = 0; i < value.size(); ++i) {
                 const char c = value[i];
                 if ((c != 'A' && c != 'B' && c != 'C') || value.find(c) != i) {
                     fail(o, shown(value) + " must be letters out of A, B, C, each once");
                     break;
                 }
             }
             config->inverters = value;
         }},
        {"--clock",
         [&](const std::string& o) {
             if (!parse_civil(value, nullptr)) {
                 fail(o, shown(value) + " is not a valid \"YYYY-MM-DD HH:MM\"");
             }
             config->clock = value;
         }},
        {"--installed",
         [&](const std::string& o) {
             if (value.size() != 10 || !parse_civil(value, nullptr)) {
                 fail(o, shown(value) + " is not a valid YYYY-MM-DD");
             }
             config->installed = value;
         }},
        {"--state",
         [&](const std::string& o) {
             if (value.empty()) {
                 fail(o, "needs a file name");
             } else if (value.size() >= PATH_MAX) {
                 fail(o, "the file name is longer than " + std::to_string(PATH_MAX - 1) +
                             " characters");
             } else if (has_control_character(value)) {
                 fail(o, "the file name must not contain control characters");
             }
             config->state_file = value;
         }},
        {"--max-connections",
         [&](const std::string& o) { integer(o, 1, 65535, &config->max_connections); }},
        {"--erase-ms", [&](const std::string& o) { integer(o, 0, 600000, &config->erase_ms); }},
        {"--fault-silent-after",
         [&](const std::string& o) { integer(o, 0, 2147483647, &f.silent_after); }},
        {"--fault-close-after",
         [&](const std::string& o) { integer(o, 0, 2147483647, &f.close_after); }},
        {"--fault-skip", [&](const std::string& o) { integer(o, 0, 2147483647, &f.skip_frames); }},
        {"--delay-ms", [&](const std::string& o) { integer(o, 0, 600000, &f.delay_ms); }},
        {"--can-timeout-probability",
         [&](const std::string& o) {
             double p = 0.0;
             if (!to_probability(value, &p)) {
                 fail(o, shown(value) + " is not a probability 0..1");
             }
             f.can_timeout_probability = p;
         }},
    };
    auto inverter = [&](const std::string& option, char* target) {
        if (value.size() != 1 || inverter_address(value[0]) == 0) {
            fail(option, shown(value) + " is not an inverter letter A, B or C");
            return;
        }
        *target = static_cast<char>('A' + inverter_address(value[0]) / 4 - 1);
    };
    with_value.emplace("--fault-inverter-zero",
                       [&](const std::string& o) { inverter(o, &f.zero_inverter); });
    with_value.emplace("--fault-inverter-silent",
                       [&](const std::string& o) { inverter(o, &f.silent_inverter); });
    const std::map<std::string, bool*> flags = {
        {"--fault-stale-sequence", &f.stale_sequence},
        {"--fault-split", &f.split_reply},
        {"--fault-short", &f.short_reply},
        {"--fault-garbage", &f.garbage},
        {"--refuse-logins", &f.refuse_logins},
    };

    std::set<std::string> seen;
    for (int i = 1; i < argc && !bad; ++i) {
        std::string option = argv[i];
        bool inline_value = false;
        const size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            inline_value = true;
        }
        if (option == "--help" || option == "-h") {
            return ParseResult::help;
        }
        const auto flag = flags.find(option);
        const auto handler = with_value.find(option);
        const bool is_flag = flag != flags.end() || option == "--quiet";
        if (!is_flag && handler == with_value.end()) {
            *message = option.rfind("-", 0) == 0 ? "unknown option " + shown(argv[i])
                                                 : "unexpected argument " + shown(argv[i]) +
                                                       "; kestemu takes options only";
            bad = true;
            break;
        }
        if (option != "--account" && !seen.insert(option).second) {
            fail(option, "given more than once");
            break;
        }
        if (is_flag) {
            if (inline_value) {
                fail(option, "takes no value");
            } else if (flag != flags.end()) {
                *flag->second = true;
            } else {
                config->log_connections = false;
            }
            continue;
        }
        if (!inline_value) {
            // "--port --quiet" lost the port number; "--serial=--x" says it is meant.
            if (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0) {
                fail(option, "needs a value");
                break;
            }
            value = argv[++i];
        }
        handler->second(option);
    }
    for (const auto& [option, letter] : {std::pair{"--fault-inverter-zero", f.zero_inverter},
                                         std::pair{"--fault-inverter-silent", f.silent_inverter}}) {
        if (!bad && letter != 0 && config->inverters.find(letter) == std::string::npos) {
            fail(option, std::string(1, letter) + " is not one of the fitted inverters " +
                             shown(config->inverters));
        }
    }
    if (!bad && f.zero_inverter != 0 && f.zero_inverter == f.silent_inverter) {
        fail("--fault-inverter-silent",
             std::string(1, f.silent_inverter) + " is already the --fault-inverter-zero inverter");
    }
    if (!bad && !extra.empty()) {
        std::vector<Account> table = config->accounts;
        if (table.empty()) {
            table = default_accounts();
        }
        for (const Account& a : extra) {
            for (const Account& b : table) {
                if (a.name == b.name) {
                    fail("--account", "the name " + shown(a.name) + " is already taken");
                }
            }
            table.push_back(a);
        }
        if (table.size() > static_cast<size_t>(kAccountSlots)) {
            fail("--account", "at most 16 accounts fit the account table");
        }
        config->accounts = table;
    }
    return bad ? ParseResult::error : ParseResult::run;
}

}  // namespace kestemu
