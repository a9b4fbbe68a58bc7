// kestctl: field diagnostics and scripting for one Kest box, through the link library.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Hints.h"
#include "History.h"
#include "Options.h"
#include "Reach.h"
#include "link/Pc2Lan.h"

namespace {

using kestctl::CallTiming;
using kestctl::HistoryArgs;
using kestctl::kExitFailed;
using kestctl::kExitOk;
using kestctl::Options;

constexpr int32_t kLink = 0;

constexpr int32_t kAccountReplyTimeoutMs = 9000;
constexpr int32_t kAccountAdminLevel = 4;
constexpr int32_t kConnectReserved = 2;
// The TCP connect that tells an unreachable box from a failed login waits at least this long;
// even a slow network opens a connection well within it.
constexpr int kMinReachMs = 5000;

constexpr uint8_t kMonitorAddress = 0;
constexpr uint8_t kObjectClock = 0x20;
constexpr uint8_t kObjectPower = 0x31;
constexpr uint8_t kActionRead = 8;
constexpr uint8_t kActionConfirm = 1;
constexpr uint8_t kAuthClock = 0;
constexpr uint8_t kAuthPower = 2;
constexpr int kClockYearBase = 1792;

int failure(const std::string& message) {
    std::fprintf(stderr, "kestctl: %s\n", message.c_str());
    return kExitFailed;
}

int call_failed(const std::string& what, const char* call, int32_t code, const std::string& hint) {
    std::fprintf(stderr, "kestctl: %s failed (%s %d: %s)\n", what.c_str(), call, code,
                 hint.c_str());
    return kExitFailed;
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

// The one link of a run. Remembers when the last call started, so that a failure can be judged
// against the reply time-out.
class Link {
public:
    explicit Link(int reply_timeout_ms) : reply_timeout_ms_(reply_timeout_ms) {}

    void start() { started_ = std::chrono::steady_clock::now(); }
    CallTiming timing() const {
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        return {static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
                reply_timeout_ms_};
    }
    void set_reply_timeout(int ms) { reply_timeout_ms_ = ms; }

private:
    int reply_timeout_ms_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

CanMessage can_request(uint8_t address, uint8_t object, uint8_t auth_level) {
    CanMessage request{};
    request.Header[0] = address;
    request.Header[1] = object;
    request.Header[2] = kActionRead;
    request.Header[3] = auth_level;
    return request;
}

int run_info(Link& link, int32_t access_level) {
    int32_t version_first = 0;
    int32_t version_second = 0;
    link.start();
    int32_t r = Pc2Lan_Get_Version(kLink, &version_first, &version_second);
    if (r != 0) {
        return call_failed("reading the version", "Pc2Lan_Get_Version", r,
                           kestctl::link_hint(r, link.timing()));
    }
    // The box sends at most 80 serial characters and a terminating zero.
    char serial[128] = {};
    link.start();
    r = Pc2Lan_Get_Serial(kLink, serial);
    if (r != 0) {
        return call_failed("reading the serial number", "Pc2Lan_Get_Serial", r,
                           kestctl::link_hint(r, link.timing()));
    }
    uint8_t sleep_state = 0;
    link.start();
    r = Pc2Lan_Get_Sleep(kLink, &sleep_state);
    if (r != 0) {
        return call_failed("reading the sleep state", "Pc2Lan_Get_Sleep", r,
                           kestctl::link_hint(r, link.timing()));
    }
    int32_t session_first = 0;
    int32_t session_second = 0;
    link.start();
    r = Pc2Lan_Get_Session_Time(kLink, &session_first, &session_second);
    if (r != 0) {
        return call_failed("reading the session time", "Pc2Lan_Get_Session_Time", r,
                           kestctl::link_hint(r, link.timing()));
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

int run_clock(Link& link) {
    const CanMessage request = can_request(kMonitorAddress, kObjectClock, kAuthClock);
    CanMessage reply{};
    link.start();
    const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
    if (r != 0) {
        return call_failed("the clock request", "Pc2Lan_Can_Request", r,
                           kestctl::can_hint(r, link.timing()));
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

enum class Presence { fitted, not_fitted, unknown };

// The monitor keeps a yield for every fitted inverter, from the current year back to its
// installation; for an inverter that is not fitted it has no value at all, not even for the
// current year. That is the box's own word on which inverters exist.
Presence ask_presence(Link& link, uint8_t address, int32_t* link_error) {
    kestctl::HistoryWalk walk(address, kestctl::kYear, 1);
    CanMessage request{};
    std::string error;
    if (!walk.next_request(&request, &error)) {
        return Presence::unknown;
    }
    CanMessage reply{};
    link.start();
    *link_error = Pc2Lan_Can_Request(kLink, &request, &reply);
    std::vector<kestctl::Sample> samples;
    if (*link_error != 0 || !walk.take_reply(reply, &samples, &error) || samples.empty()) {
        return Presence::unknown;
    }
    return samples.front().raw == kestctl::kNoValue ? Presence::not_fitted : Presence::fitted;
}

std::string names_of(const std::vector<char>& inverters) {
    std::string text = inverters.size() == 1 ? "inverter " : "inverters ";
    for (size_t i = 0; i < inverters.size(); ++i) {
        if (i > 0) {
            text += i + 1 == inverters.size() ? " and " : ", ";
        }
        text += inverters[i];
    }
    return text;
}

int run_power(Link& link) {
    struct Inverter {
        char name;
        uint8_t address;
    };
    static constexpr Inverter kInverters[] = {{'A', 4}, {'B', 8}, {'C', 12}};
    std::string lines;
    uint32_t total = 0;
    std::vector<char> missing;
    std::string first_reason;
    for (const Inverter& inverter : kInverters) {
        const CanMessage request = can_request(inverter.address, kObjectPower, kAuthPower);
        CanMessage reply{};
        link.start();
        const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
        lines += std::string("inverter ") + inverter.name + ": ";
        std::string failed;
        if (r == PC2LAN_CAN_NO_ANSWER) {
            failed = "not answering";
        } else if (r != 0) {
            return call_failed(std::string("the power request to inverter ") + inverter.name,
                               "Pc2Lan_Can_Request", r, kestctl::can_hint(r, link.timing()));
        } else if (reply.Header[2] != kActionConfirm || reply.Length < 4) {
            failed = "no valid reply (action " + std::to_string(reply.Header[2]) + ", " +
                     std::to_string(reply.Length) + " data bytes)";
        }
        if (failed.empty()) {
            const uint32_t power = reply.Data[2] + 256u * reply.Data[3];
            total += power;
            lines += tenths_of_watt(power) + "\n";
            continue;
        }
        int32_t presence_error = 0;
        const Presence presence = ask_presence(link, inverter.address, &presence_error);
        if (presence_error != 0 && presence_error != PC2LAN_CAN_NO_ANSWER) {
            return call_failed("asking the monitor which inverters are fitted",
                               "Pc2Lan_Can_Request", presence_error,
                               kestctl::can_hint(presence_error, link.timing()));
        }
        if (presence == Presence::not_fitted) {
            lines += "not fitted\n";
            continue;
        }
        lines += failed + "\n";
        missing.push_back(inverter.name);
        if (first_reason.empty()) {
            first_reason = r != 0 ? "Pc2Lan_Can_Request " + std::to_string(r) + ": " +
                                        kestctl::can_hint(r, link.timing())
                                  : failed;
        }
    }
    std::fputs(lines.c_str(), stdout);
    if (missing.empty()) {
        std::printf("total: %s\n", tenths_of_watt(total).c_str());
        return kExitOk;
    }
    const std::string who = names_of(missing);
    std::printf("total: %s (incomplete: %s did not answer)\n", tenths_of_watt(total).c_str(),
                who.c_str());
    std::fflush(stdout);
    return failure("the total is incomplete: " + who + (missing.size() == 1 ? " is" : " are") +
                   " fitted but did not answer (" + first_reason + ")");
}

int run_history(Link& link, const HistoryArgs& args) {
    kestctl::HistoryWalk walk(args.module, args.resolution, args.count);
    std::string error;
    while (!walk.done()) {
        CanMessage request{};
        if (!walk.next_request(&request, &error)) {
            return failure(error);
        }
        CanMessage reply{};
        link.start();
        const int32_t r = Pc2Lan_Can_Request(kLink, &request, &reply);
        if (r != 0) {
            return call_failed("the history request", "Pc2Lan_Can_Request", r,
                               kestctl::can_hint(r, link.timing()));
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

int read_account_count(Link& link, int32_t* count) {
    int32_t first = 0;
    link.start();
    const int32_t r = Pc2Lan_Account_Numbers(kLink, &first, count);
    if (r != 0) {
        return call_failed("reading the number of accounts", "Pc2Lan_Account_Numbers", r,
                           kestctl::account_hint("Pc2Lan_Account_Numbers", r, link.timing()));
    }
    return kExitOk;
}

struct AccountInfo {
    char name[256] = {};
    int32_t value = 0;
    int32_t flag = 0;
};

// The password is never asked for: a null buffer makes the library skip it.
int32_t read_account(Link& link, int32_t index, AccountInfo* account) {
    link.start();
    return Pc2Lan_Account_Get_Info(kLink, index, account->name, nullptr, &account->value,
                                   &account->flag);
}

int run_accounts(Link& link) {
    int32_t count = 0;
    if (const int exit_code = read_account_count(link, &count); exit_code != kExitOk) {
        return exit_code;
    }
    std::printf("%-5s  %-20s  %11s  %s\n", "index", "name", "value", "flag");
    for (int32_t i = 0; i < count; ++i) {
        AccountInfo account;
        const int32_t r = read_account(link, i, &account);
        if (r != 0) {
            return call_failed("reading account " + std::to_string(i), "Pc2Lan_Account_Get_Info", r,
                               kestctl::account_hint("Pc2Lan_Account_Get_Info", r, link.timing()));
        }
        const std::string name = account.name[0] != '\0' ? printable(account.name) : "(empty)";
        std::printf("%-5d  %-20s  %11d  %d\n", i, name.c_str(), account.value, account.flag);
    }
    return kExitOk;
}

int run_passwd(Link& link, const std::string& name, const std::string& new_password,
               int32_t access_level) {
    if (access_level < kAccountAdminLevel) {
        return failure("changing a password needs an account of access level 4 or more (" +
                       std::to_string(access_level) + " here)");
    }
    int32_t count = 0;
    if (const int exit_code = read_account_count(link, &count); exit_code != kExitOk) {
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
        const int32_t r = read_account(link, index, &account);
        if (r != 0) {
            if (index == count && r != PC2LAN_NOT_CONNECTED && r != PC2LAN_UNEXPECTED) {
                return failure("the box has no account named '" + name + "'");
            }
            return call_failed("reading account " + std::to_string(index),
                               "Pc2Lan_Account_Get_Info", r,
                               kestctl::account_hint("Pc2Lan_Account_Get_Info", r, link.timing()));
        }
        if (name == account.name) {
            break;
        }
    }

    int32_t io_timeout = 0;
    int32_t reply_timeout = 0;
    link.start();
    int32_t r = Pc2Lan_Get_Com_Param(kLink, &io_timeout, &reply_timeout);
    if (r != 0) {
        return call_failed("reading the time-outs", "Pc2Lan_Get_Com_Param", r,
                           kestctl::link_hint(r, link.timing()));
    }
    // Changing and storing the account table can take the box several seconds.
    link.start();
    r = Pc2Lan_Set_Com_Param(kLink, io_timeout, kAccountReplyTimeoutMs);
    link.set_reply_timeout(kAccountReplyTimeoutMs);
    if (r != 0) {
        return call_failed("raising the reply time-out", "Pc2Lan_Set_Com_Param", r,
                           kestctl::link_hint(r, link.timing()));
    }
    link.start();
    const int32_t modified = Pc2Lan_Account_Modify(kLink, index, name.c_str(), new_password.c_str(),
                                                   account.value, account.flag);
    const CallTiming modify_timing = link.timing();
    link.start();
    const int32_t stored = Pc2Lan_Account_Store(kLink);
    const CallTiming store_timing = link.timing();
    link.start();
    const int32_t restored = Pc2Lan_Set_Com_Param(kLink, io_timeout, reply_timeout);
    link.set_reply_timeout(reply_timeout);
    if (modified != 0) {
        return call_failed("changing the password", "Pc2Lan_Account_Modify", modified,
                           kestctl::account_hint("Pc2Lan_Account_Modify", modified, modify_timing));
    }
    if (stored != 0) {
        return call_failed("storing the account table", "Pc2Lan_Account_Store", stored,
                           kestctl::account_hint("Pc2Lan_Account_Store", stored, store_timing));
    }
    if (restored != 0) {
        return call_failed("restoring the time-outs", "Pc2Lan_Set_Com_Param", restored,
                           kestctl::link_hint(restored, link.timing()));
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
    const std::string where = options.host + ":" + std::to_string(options.port);
    Link link(options.timeout_ms);
    int32_t r = Pc2Lan_Create(kLink, options.host.c_str(), options.port, options.user.c_str(),
                              options.password.c_str(), "", "");
    if (r != 0) {
        return call_failed("creating the link", "Pc2Lan_Create", r,
                           kestctl::link_hint(r, link.timing()));
    }
    LinkGuard guard;
    r = Pc2Lan_Set_Com_Param(kLink, options.timeout_ms, options.timeout_ms);
    if (r != 0) {
        return call_failed("setting the time-outs", "Pc2Lan_Set_Com_Param", r,
                           kestctl::link_hint(r, link.timing()));
    }
    int32_t access_level = 0;
    link.start();
    r = Pc2Lan_Connect(kLink, &access_level, kConnectReserved);
    if (r < 0) {
        const CallTiming timing = link.timing();
        // The library answers -10 alike for a box it cannot reach and for a login that went
        // wrong on an open connection. A plain TCP connect of our own tells them apart; it is
        // made only now, so that it never holds one of the box's sessions during the login.
        if (r == PC2LAN_FAILED) {
            const kestctl::Reach reach = kestctl::try_tcp_connect(
                options.host, options.port, std::max(options.timeout_ms, kMinReachMs));
            if (!reach.reached) {
                return failure("cannot reach " + where + ": " + reach.why + " (Pc2Lan_Connect " +
                               std::to_string(r) + ")");
            }
        }
        return call_failed("login to " + where, "Pc2Lan_Connect", r,
                           kestctl::login_hint(r, timing));
    }
    const std::string& command = options.command;
    if (command == "info") {
        return run_info(link, access_level);
    }
    if (command == "clock") {
        return run_clock(link);
    }
    if (command == "power") {
        return run_power(link);
    }
    if (command == "history") {
        return run_history(link, history);
    }
    if (command == "accounts") {
        return run_accounts(link);
    }
    return run_passwd(link, options.args[0], options.args[1], access_level);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int exit_code = kestctl::parse_options(argc, argv, &options); exit_code >= 0) {
        return exit_code;
    }
    HistoryArgs history;
    if (const int exit_code = kestctl::check_arguments(options, &history); exit_code >= 0) {
        return exit_code;
    }
    return run(options, history);
}
