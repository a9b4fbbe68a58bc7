// kestctl: field diagnostics and scripting for one Kest box, through the link library.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "History.h"
#include "link/Pc2Lan.h"

namespace {

constexpr int32_t kLink = 0;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr size_t kMaxFieldLength = 20;  // names and passwords as the box keeps them
constexpr int kMaxCount = 10000;
constexpr int kDefaultCount = 12;
constexpr int32_t kAccountReplyTimeoutMs = 9000;
constexpr int32_t kAccountAdminLevel = 4;
constexpr int32_t kConnectReserved = 2;

constexpr uint8_t kMonitorAddress = 0;
constexpr uint8_t kObjectClock = 0x20;
constexpr uint8_t kObjectPower = 0x31;
constexpr uint8_t kActionRead = 8;
constexpr uint8_t kActionConfirm = 1;
constexpr uint8_t kAuthClock = 0;
constexpr uint8_t kAuthPower = 2;
constexpr int kClockYearBase = 1792;

constexpr int32_t kCanNotAnswering = -11;
constexpr int32_t kCanRefused = -12;
constexpr int32_t kLoginAlreadyConnected = -11;
constexpr int32_t kLoginRefused = -12;
constexpr int32_t kAccountNotAllowed = -11;

constexpr char kUsage[] = R"(usage: kestctl [OPTIONS] COMMAND [ARGS]

Talks to one Kest box through the link library.

options:
  --host H        box address or host name (default 127.0.0.1)
  --port P        box TCP port (default 7777)
  --user U        account name (default Administrator)
  --password PW   account password (default admin1234)
  --help          show this text

commands:
  info                         access level, versions, serial, sleep state, session time
  clock                        the monitor's date and time
  power                        actual power of inverters A, B, C and their sum
  history RES MODULE [COUNT]   yield history, newest first: RES is 10min, day, month or
                               year; MODULE is total, A, B or C; COUNT samples (default 12)
  accounts                     the box's account table (passwords are never shown)
  passwd NAME NEWPASSWORD      give the account NAME a new password

exit status: 0 done, 1 the command failed, 2 usage error
)";

struct Options {
    std::string host = "127.0.0.1";
    int port = 7777;
    std::string user = "Administrator";
    std::string password = "admin1234";
    std::string command;
    std::vector<std::string> args;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "kestctl: %s\nTry 'kestctl --help'.\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "kestctl: %s\n", message.c_str());
    return kExitFailed;
}

int call_failed(const std::string& what, const char* call, int32_t code, const std::string& hint) {
    std::fprintf(stderr, "kestctl: %s failed (%s %d: %s)\n", what.c_str(), call, code,
                 hint.c_str());
    return kExitFailed;
}

std::string common_hint(int32_t code) {
    switch (code) {
        case PC2LAN_EMPTY_ENTRY:
            return "the link does not exist";
        case PC2LAN_BAD_HANDLE:
            return "bad link handle";
        case PC2LAN_NOT_CONNECTED:
            return "not connected, or the box closed the connection";
        case PC2LAN_BAD_PARAMETER:
            return "a value was refused";
        case PC2LAN_FAILED:
            return "the box refused the request or did not answer";
        case PC2LAN_UNEXPECTED:
            return "unexpected error in the link library";
        default:
            return "refused by the box";
    }
}

std::string can_hint(int32_t code) {
    if (code == kCanNotAnswering) {
        return "the module did not answer on the CAN bus";
    }
    if (code == kCanRefused) {
        return "the box refused the CAN request";
    }
    return common_hint(code);
}

std::string account_hint(int32_t code) {
    if (code == kAccountNotAllowed) {
        return "refused by the box; account administration needs access level 4";
    }
    return common_hint(code);
}

std::string connect_hint(int32_t code, const Options& options) {
    switch (code) {
        case PC2LAN_FAILED:
            return "cannot reach " + options.host + ":" + std::to_string(options.port) +
                   ", or the box did not answer the login";
        case kLoginAlreadyConnected:
            return "the link is already connected";
        case kLoginRefused:
            return "check user name and password";
        case PC2LAN_UNEXPECTED:
            return common_hint(code);
        default:
            return "the box refused the login";
    }
}

// Text from the box may hold anything; keep the terminal sane.
std::string printable(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string tenths_of_watt(uint32_t tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " W";
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

// Returns -1 when the options are good, else the exit code.
int parse_options(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg.size() < 2 || arg.substr(0, 2) != "--") {
            break;
        }
        if (arg != "--host" && arg != "--port" && arg != "--user" && arg != "--password") {
            return usage_error("unknown option " + std::string(arg));
        }
        if (i + 1 >= argc) {
            return usage_error("option " + std::string(arg) + " needs a value");
        }
        const std::string value = argv[++i];
        if (arg == "--host") {
            options->host = value;
        } else if (arg == "--port") {
            if (!parse_int(value, 1, 65535, &options->port)) {
                return usage_error("port must be a number 1..65535, not '" + value + "'");
            }
        } else if (arg == "--user") {
            options->user = value;
        } else {
            options->password = value;
        }
    }
    if (options->host.empty()) {
        return usage_error("the host must not be empty");
    }
    if (options->user.size() > kMaxFieldLength || options->password.size() > kMaxFieldLength) {
        return usage_error("user name and password have at most 20 characters");
    }
    if (i >= argc) {
        return usage_error("no command given");
    }
    options->command = argv[i++];
    options->args.assign(argv + i, argv + argc);
    return -1;
}

struct HistoryArgs {
    uint8_t resolution = 0;
    uint8_t module = 0;
    int count = kDefaultCount;
};

// Checks a command's arguments before anything is sent. Returns -1 when they are good.
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
            return usage_error("resolution must be 10min, day, month or year, not '" +
                               options.args[0] + "'");
        }
        if (!kestctl::parse_module(options.args[1], &history->module)) {
            return usage_error("module must be total, A, B or C, not '" + options.args[1] + "'");
        }
        if (n == 3 && !parse_int(options.args[2], 1, kMaxCount, &history->count)) {
            return usage_error("count must be a number 1.." + std::to_string(kMaxCount) +
                               ", not '" + options.args[2] + "'");
        }
        return -1;
    }
    if (command == "passwd") {
        if (n != 2) {
            return usage_error("usage: passwd NAME NEWPASSWORD");
        }
        for (const std::string& field : options.args) {
            if (field.empty() || field.size() > kMaxFieldLength) {
                return usage_error("account name and password have 1 to 20 characters");
            }
        }
        return -1;
    }
    return usage_error("unknown command '" + command + "'");
}

CanMessage can_request(uint8_t address, uint8_t object, uint8_t auth_level) {
    CanMessage request{};
    request.Header[0] = address;
    request.Header[1] = object;
    request.Header[2] = kActionRead;
    request.Header[3] = auth_level;
    return request;
}

int run_info(int32_t access_level) {
    int32_t version_first = 0;
    int32_t version_second = 0;
    int32_t r = Pc2Lan_Get_Version(kLink, &version_first, &version_second);
    if (r != 0) {
        return call_failed("reading the version", "Pc2Lan_Get_Version", r, common_hint(r));
    }
    // The box sends at most 80 serial characters and a terminating zero.
    char serial[128] = {};
    r = Pc2Lan_Get_Serial(kLink, serial);
    if (r != 0) {
        return call_failed("reading the serial number", "Pc2Lan_Get_Serial", r, common_hint(r));
    }
    uint8_t sleep_state = 0;
    r = Pc2Lan_Get_Sleep(kLink, &sleep_state);
    if (r != 0) {
        return call_failed("reading the sleep state", "Pc2Lan_Get_Sleep", r, common_hint(r));
    }
    int32_t session_first = 0;
    int32_t session_second = 0;
    r = Pc2Lan_Get_Session_Time(kLink, &session_first, &session_second);
    if (r != 0) {
        return call_failed("reading the session time", "Pc2Lan_Get_Session_Time", r,
                           common_hint(r));
    }
    std::printf("access level: %d\n", access_level);
    std::printf("version: %d %d (0x%04X 0x%04X)\n", version_first, version_second,
                static_cast<unsigned>(version_first) & 0xFFFF,
                static_cast<unsigned>(version_second) & 0xFFFF);
    std::printf("serial: %s\n", printable(serial).c_str());
    std::printf("sleep state: %u\n", sleep_state);
    std::printf("session time: %d %d\n", session_first, session_second);
    return kExitOk;
}

int run_clock() {
    const CanMessage request = can_request(kMonitorAddress, kObjectClock, kAuthClock);
    CanMessage reply{};
    const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
    if (r != 0) {
        return call_failed("the clock request", "Pc2Lan_Can_Request", r, can_hint(r));
    }
    if (reply.Header[2] != kActionConfirm) {
        return failure("the monitor refused the clock request (action " +
                       std::to_string(reply.Header[2]) + ")");
    }
    if (reply.Length < 9) {
        return failure("the monitor's clock reply is too short (" + std::to_string(reply.Length) +
                       " data bytes)");
    }
    const uint8_t* d = reply.Data;
    const kestctl::CalendarTime time{d[2] + kClockYearBase, d[3], d[4], d[6], d[7]};
    const int weekday = d[5];
    const int second = d[8];
    if (!kestctl::is_valid(time) || second > 59 || weekday < 1 || weekday > 7) {
        return failure("the monitor sent an impossible clock reading (" +
                       std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
                       std::to_string(time.day) + " " + std::to_string(time.hour) + ":" +
                       std::to_string(time.minute) + ":" + std::to_string(second) + ", weekday " +
                       std::to_string(weekday) + ")");
    }
    std::printf("%04d-%02d-%02d %02d:%02d:%02d (weekday %d)\n", time.year, time.month, time.day,
                time.hour, time.minute, second, weekday);
    return kExitOk;
}

int run_power() {
    struct Inverter {
        char name;
        uint8_t address;
    };
    static constexpr Inverter kInverters[] = {{'A', 4}, {'B', 8}, {'C', 12}};
    std::string lines;
    uint32_t total = 0;
    for (const Inverter& inverter : kInverters) {
        const CanMessage request = can_request(inverter.address, kObjectPower, kAuthPower);
        CanMessage reply{};
        const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
        lines += std::string("inverter ") + inverter.name + ": ";
        if (r == kCanNotAnswering) {
            lines += "not answering\n";
            continue;
        }
        if (r != 0) {
            return call_failed(std::string("the power request to inverter ") + inverter.name,
                               "Pc2Lan_Can_Request", r, can_hint(r));
        }
        if (reply.Header[2] != kActionConfirm || reply.Length < 4) {
            lines += "no valid reply (action " + std::to_string(reply.Header[2]) + ", " +
                     std::to_string(reply.Length) + " data bytes)\n";
            continue;
        }
        const uint32_t power = reply.Data[2] + 256u * reply.Data[3];
        total += power;
        lines += tenths_of_watt(power) + "\n";
    }
    std::fputs(lines.c_str(), stdout);
    std::printf("total: %s\n", tenths_of_watt(total).c_str());
    return kExitOk;
}

int run_history(const HistoryArgs& args) {
    kestctl::HistoryWalk walk(args.module, args.resolution, args.count);
    std::string error;
    while (!walk.done()) {
        CanMessage request{};
        if (!walk.next_request(&request, &error)) {
            return failure(error);
        }
        CanMessage reply{};
        const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
        if (r != 0) {
            return call_failed("the history request", "Pc2Lan_Can_Request", r, can_hint(r));
        }
        std::vector<kestctl::Sample> samples;
        if (!walk.take_reply(reply, &samples, &error)) {
            return failure(error);
        }
        for (const kestctl::Sample& sample : samples) {
            std::printf("%s  %s\n", kestctl::format_time(sample.time, args.resolution).c_str(),
                        kestctl::format_value(sample, args.resolution).c_str());
        }
    }
    return kExitOk;
}

int read_account_count(int32_t* count) {
    int32_t first = 0;
    const int32_t r = Pc2Lan_Account_Numbers(kLink, &first, count);
    if (r != 0) {
        return call_failed("reading the number of accounts", "Pc2Lan_Account_Numbers", r,
                           account_hint(r));
    }
    return kExitOk;
}

struct AccountInfo {
    char name[256] = {};
    int32_t value = 0;
    int32_t flag = 0;
};

// The password is never asked for: a null buffer makes the library skip it.
int32_t read_account(int32_t index, AccountInfo* account) {
    return Pc2Lan_Account_Get_Info(kLink, index, account->name, nullptr, &account->value,
                                   &account->flag);
}

int run_accounts() {
    int32_t count = 0;
    if (const int exit_code = read_account_count(&count); exit_code != kExitOk) {
        return exit_code;
    }
    std::printf("%-5s  %-20s  %11s  %s\n", "index", "name", "value", "flag");
    for (int32_t i = 0; i < count; ++i) {
        AccountInfo account;
        const int32_t r = read_account(i, &account);
        if (r != 0) {
            return call_failed("reading account " + std::to_string(i), "Pc2Lan_Account_Get_Info", r,
                               account_hint(r));
        }
        const std::string name = account.name[0] != '\0' ? printable(account.name) : "(empty)";
        std::printf("%-5d  %-20s  %11d  %d\n", i, name.c_str(), account.value, account.flag);
    }
    return kExitOk;
}

int run_passwd(const std::string& name, const std::string& new_password, int32_t access_level) {
    if (access_level < kAccountAdminLevel) {
        return failure("changing a password needs an account of access level 4 or more (" +
                       std::to_string(access_level) + " here)");
    }
    int32_t count = 0;
    if (const int exit_code = read_account_count(&count); exit_code != kExitOk) {
        return exit_code;
    }
    // Like the desktop program, the search asks for one index past the count the box reports;
    // a refusal there means the name is not in the table.
    int32_t index = 0;
    AccountInfo account;
    for (;; ++index) {
        if (index > count) {
            return failure("the box has no account named '" + name + "'");
        }
        account = AccountInfo{};
        const int32_t r = read_account(index, &account);
        if (r != 0) {
            if (index == count && r != PC2LAN_NOT_CONNECTED && r != PC2LAN_UNEXPECTED) {
                return failure("the box has no account named '" + name + "'");
            }
            return call_failed("reading account " + std::to_string(index),
                               "Pc2Lan_Account_Get_Info", r, account_hint(r));
        }
        if (name == account.name) {
            break;
        }
    }

    int32_t io_timeout = 0;
    int32_t reply_timeout = 0;
    int32_t r = Pc2Lan_Get_Com_Param(kLink, &io_timeout, &reply_timeout);
    if (r != 0) {
        return call_failed("reading the time-outs", "Pc2Lan_Get_Com_Param", r, common_hint(r));
    }
    // Changing and storing the account table can take the box several seconds.
    r = Pc2Lan_Set_Com_Param(kLink, io_timeout, kAccountReplyTimeoutMs);
    if (r != 0) {
        return call_failed("raising the reply time-out", "Pc2Lan_Set_Com_Param", r, common_hint(r));
    }
    const int32_t modified = Pc2Lan_Account_Modify(kLink, index, name.c_str(), new_password.c_str(),
                                                   account.value, account.flag);
    const int32_t stored = Pc2Lan_Account_Store(kLink);
    const int32_t restored = Pc2Lan_Set_Com_Param(kLink, io_timeout, reply_timeout);
    if (modified != 0) {
        return call_failed("changing the password", "Pc2Lan_Account_Modify", modified,
                           account_hint(modified));
    }
    if (stored != 0) {
        return call_failed("storing the account table", "Pc2Lan_Account_Store", stored,
                           account_hint(stored));
    }
    if (restored != 0) {
        return call_failed("restoring the time-outs", "Pc2Lan_Set_Com_Param", restored,
                           common_hint(restored));
    }
    std::printf("password of account %s changed\n", name.c_str());
    return kExitOk;
}

// Deletes the link on every way out of main.
class LinkGuard {
public:
    LinkGuard() = default;
    LinkGuard(const LinkGuard&) = delete;
    LinkGuard& operator=(const LinkGuard&) = delete;
    ~LinkGuard() { Pc2Lan_Delete(kLink); }
};

int run(const Options& options, const HistoryArgs& history) {
    int32_t r = Pc2Lan_Create(kLink, options.host.c_str(), options.port, options.user.c_str(),
                              options.password.c_str(), "", "");
    if (r != 0) {
        return call_failed("creating the link", "Pc2Lan_Create", r, common_hint(r));
    }
    LinkGuard guard;
    int32_t access_level = 0;
    r = Pc2Lan_Connect(kLink, &access_level, kConnectReserved);
    if (r < 0) {
        return call_failed("login", "Pc2Lan_Connect", r, connect_hint(r, options));
    }
    const std::string& command = options.command;
    if (command == "info") {
        return run_info(access_level);
    }
    if (command == "clock") {
        return run_clock();
    }
    if (command == "power") {
        return run_power();
    }
    if (command == "history") {
        return run_history(history);
    }
    if (command == "accounts") {
        return run_accounts();
    }
    return run_passwd(options.args[0], options.args[1], access_level);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int exit_code = parse_options(argc, argv, &options); exit_code >= 0) {
        return exit_code;
    }
    HistoryArgs history;
    if (const int exit_code = check_arguments(options, &history); exit_code >= 0) {
        return exit_code;
    }
    return run(options, history);
}
