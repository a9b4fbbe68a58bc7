// kestctl against a box in this process that misbehaves on purpose: every way a session goes
// wrong ends with exit code 1 and one line naming what happened, with the library's code.
#include <gtest/gtest.h>

#include "ChildRun.h"
#include "Emulator.h"
#include "RawClient.h"

namespace clitest {
namespace {

struct BoxCase {
    const char* name;
    kestemu::Faults faults;
    std::vector<std::string> args;
    std::vector<const char*> in_err;
    const char* not_in_err = "\x01";
    const char* inverters = "ABC";
    std::vector<const char*> in_out = {};
    int code = 1;
};

kestemu::Faults faults(int silent_after, int close_after, bool short_reply, int delay_ms,
                       double can_timeout = 0.0) {
    kestemu::Faults f;
    f.silent_after = silent_after;
    f.close_after = close_after;
    f.short_reply = short_reply;
    f.delay_ms = delay_ms;
    f.can_timeout_probability = can_timeout;
    return f;
}

void check(const BoxCase& c, int port) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--port", std::to_string(port), "--timeout", "1500"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ChildResult r = run_child(KESTCTL_PROGRAM, args, 15000);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.code, c.code) << r.err;
    for (const char* text : c.in_err) {
        EXPECT_NE(r.err.find(text), std::string::npos) << "lacks '" << text << "': " << r.err;
    }
    EXPECT_EQ(r.err.find(c.not_in_err), std::string::npos) << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const char* text : c.in_out) {
        EXPECT_NE(r.out.find(text), std::string::npos) << "lacks '" << text << "': " << r.out;
    }
}

std::unique_ptr<kestemu::Emulator> box(const BoxCase& c, int max_connections = 512) {
    kestemu::Config config;
    config.port = 0;
    config.clock = "2026-06-21 13:00";
    config.inverters = c.inverters;
    config.max_connections = max_connections;
    config.log_connections = false;
    auto emulator = std::make_unique<kestemu::Emulator>(config);
    EXPECT_TRUE(emulator->start());
    emulator->set_faults(c.faults);
    return emulator;
}

TEST(KestctlMessages, EachFailureNamesWhatHappened) {
    const std::vector<BoxCase> cases = {
        {"silent at login",
         faults(0, -1, false, 0),
         {"info"},
         {"Pc2Lan_Connect -10", "accepted the TCP", "did not answer the login within 1500 ms"},
         "cannot reach"},
        {"slow login",
         faults(-1, -1, false, 4000),
         {"info"},
         {"Pc2Lan_Connect -10", "did not answer the login within 1500 ms"},
         "cannot reach"},
        {"short login reply",
         faults(-1, -1, true, 0),
         {"info"},
         {"Pc2Lan_Connect -10", "accepted the TCP", "incomplete"},
         "cannot reach"},
        {"wrong password",
         {},
         {"--password", "wrong1234", "info"},
         {"Pc2Lan_Connect -12", "user name or password"}},
        {"silent after login",
         faults(1, -1, false, 0),
         {"info"},
         {"Pc2Lan_Get_Version -3", "did not answer within 1500 ms"},
         "closed"},
        {"closed after login",
         faults(-1, 1, false, 0),
         {"info"},
         {"Pc2Lan_Get_Version -3", "the box closed the connection"},
         "did not answer"},
        {"refused password",
         {},
         {"passwd", "BasicUser", "new pass1"},
         {"Pc2Lan_Account_Modify -17", "refused the new password"}},
        {"all inverters", {}, {"power"}, {}, "incomplete", "ABC", {"inverter B: ", "total: "}, 0},
        {"B not fitted", {}, {"power"}, {}, "incomplete", "AC", {"inverter B: not fitted\n"}, 0},
        {"fitted inverters silent",
         faults(-1, -1, false, 0, 1.0),
         {"power"},
         {"incomplete: inverters A and C are fitted but did not answer", "Pc2Lan_Can_Request -11"},
         "\x01",
         "AC",
         {"inverter A: not answering\n", "inverter B: not fitted\n",
          "total: 0.0 W (incomplete: inverters A and C did not answer)\n"}},
    };
    for (const BoxCase& c : cases) {
        check(c, box(c)->port());
    }

    const BoxCase gone = {"nothing listens", {}, {"info"}, {"cannot reach", "Pc2Lan_Connect -10"}};
    int port = 0;
    {
        port = box(gone)->port();  // stopped again at once
    }
    check(gone, port);

    const BoxCase full = {"too many sessions",
                          {},
                          {"info"},
                          {"Pc2Lan_Connect -14", "as many sessions open"},
                          "password"};
    const auto one_session = box(full, 1);
    kestemu::test::RawClient holder(one_session->port());
    ASSERT_EQ(holder.login_admin().refusal(), 0);
    check(full, one_session->port());
}

}  // namespace
}  // namespace clitest
