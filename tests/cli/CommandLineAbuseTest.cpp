// Every option of kestctl, kestemu and quarnel-fetch fed what a careless script might pass: no
// value, empty values, numbers that are not numbers, 100 kB texts, control characters, unknown
// and repeated options, stray words. Each must end through exit() with the usage code 2 and one
// short, clean message naming the culprit; a value wrongly accepted makes kestctl fail to reach
// port 1 (exit 1), kestemu serve until killed, quarnel-fetch miss its database.
#include <gtest/gtest.h>

#include <algorithm>

#include "ChildRun.h"

namespace clitest {
namespace {

const std::string kCtl = KESTCTL_PROGRAM;
const std::string kEmu = KESTEMU_PROGRAM;
const std::string kFetch = QUARNEL_FETCH_PROGRAM;
const std::string kHuge(100 * 1024, 'a');
const std::string kControl = "ab\x01\x1b[2J\r\ncd";

struct Case {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::string needle;  // part of the message
};

using Variants = std::vector<std::pair<const char*, std::string>>;
const Variants kNotNumbers = {
    {"Empty", ""},     {"Negative", "-5"}, {"Huge", "99999999999999999999"},
    {"Junk", "12abc"}, {"Word", "abc"},    {"Space", " 12"},
    {"Exp", "1e3"},    {"Hex", "0x10"},    {"Plus", "+12"}};
const Variants kBadTexts = {{"Empty", ""}, {"Huge", kHuge}, {"Control", kControl}};

// stem names the row; the option goes last for the missing value, kestctl gets a command, and
// kestemu a free port should it wrongly start.
void add_rows(std::vector<Case>* rows, const std::string& stem, const std::string& program,
              const std::string& option, const Variants& variants) {
    auto args = [&](std::vector<std::string> a) {
        if (option != "--port" && program != kFetch) {
            a.insert(a.begin(), {"--port", program == kCtl ? "1" : "0"});
        }
        if (program == kCtl) {
            a.push_back("info");
        }
        return a;
    };
    rows->push_back({stem + "_Missing", program, {option}, option});
    if (variants.front().second.empty()) {
        rows->push_back({stem + "_EmptyAttached", program, args({option + "="}), option});
    }
    for (const auto& [variant, value] : variants) {
        rows->push_back({stem + "_" + variant, program, args({option, value}), option});
    }
}

std::vector<Case> all_cases() {
    std::vector<Case> rows;
    add_rows(&rows, "KestctlPort", kCtl, "--port", kNotNumbers);
    add_rows(&rows, "KestctlTimeout", kCtl, "--timeout", kNotNumbers);
    add_rows(&rows, "KestctlHost", kCtl, "--host", kBadTexts);
    add_rows(&rows, "KestctlUser", kCtl, "--user", kBadTexts);
    add_rows(&rows, "KestctlPassword", kCtl, "--password", kBadTexts);
    for (const char* option : {"port", "session-minutes", "idle-ms", "seed", "max-connections",
                               "erase-ms", "fault-silent-after", "fault-close-after", "fault-skip",
                               "delay-ms", "can-timeout-probability"}) {
        add_rows(&rows, "Kestemu_" + std::string(option), kEmu, "--" + std::string(option),
                 kNotNumbers);
    }
    for (const char* option : {"bind", "account", "clock", "installed", "state"}) {
        add_rows(&rows, "Kestemu_" + std::string(option), kEmu, "--" + std::string(option),
                 kBadTexts);
    }
    // An empty serial number or inverter list is a valid value.
    add_rows(&rows, "KestemuSerial", kEmu, "--serial", {kBadTexts[1], kBadTexts[2]});
    add_rows(&rows, "KestemuInverters", kEmu, "--inverters", {kBadTexts[1], kBadTexts[2]});
    add_rows(&rows, "FetchRequestDelay", kFetch, "--request-delay", kNotNumbers);
    add_rows(&rows, "FetchDataDir", kFetch, "--data-dir", kBadTexts);
    add_rows(&rows, "FetchBox", kFetch, "--box", kBadTexts);
    add_rows(&rows, "FetchResolution", kFetch, "--resolution", kBadTexts);

    const std::vector<Case> others = {
        {"KestctlUnknownOption", kCtl, {"--frob", "info"}, "unknown option '--frob'"},
        {"KestctlShortOption", kCtl, {"-x", "info"}, "unknown option '-x'"},
        {"KestctlRepeated", kCtl, {"--host", "a", "--host=b", "--port", "1", "info"}, "--host"},
        {"KestctlNoCommand", kCtl, {"--port", "1"}, "no command"},
        {"KestctlHugeCommand", kCtl, {"--port", "1", kHuge}, "unknown command"},
        {"KestctlExtraWord", kCtl, {"--port", "1", "info", "extra"}, "no arguments"},
        {"KestctlCountJunk", kCtl, {"--port", "1", "history", "day", "A", "12abc"}, "count"},
        {"KestctlCountNegative", kCtl, {"--port", "1", "history", "day", "A", "-3"}, "count"},
        {"KestctlModuleControl", kCtl, {"--port", "1", "history", "day", kControl}, "module"},
        {"KestctlPasswdHuge", kCtl, {"--port", "1", "passwd", "BasicUser", kHuge}, "20 char"},
        {"KestctlPasswdControl", kCtl, {"--port", "1", "passwd", kControl, "pass1234"}, "control"},
        {"KestemuUnknownOption", kEmu, {"--frob"}, "unknown option '--frob'"},
        {"KestemuShortOption", kEmu, {"-x"}, "unknown option '-x'"},
        {"KestemuRepeated", kEmu, {"--port", "0", "--port", "0"}, "--port"},
        {"KestemuRepeatedFlag", kEmu, {"--port", "0", "--quiet", "--quiet"}, "--quiet"},
        {"KestemuStrayWord", kEmu, {"--port", "0", "junk"}, "unexpected argument 'junk'"},
        {"KestemuFlagValue", kEmu, {"--port", "0", "--quiet=yes"}, "--quiet"},
        {"KestemuNan", kEmu, {"--port", "0", "--can-timeout-probability", "nan"}, "probability"},
        {"FetchUnknownOption", kFetch, {"--frob"}, "Unknown option 'frob'"},
        {"FetchRepeated", kFetch, {"--request-delay", "1", "--request-delay=2"}, "more than once"},
        {"FetchRepeatedFlag", kFetch, {"--coverage", "--coverage"}, "--coverage"},
        {"FetchStrayWord", kFetch, {kHuge}, "Unexpected argument"},
        {"FetchFlagValue", kFetch, {"--quiet=yes"}, "--quiet"},
    };
    rows.insert(rows.end(), others.begin(), others.end());
    return rows;
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineAbuse : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineAbuse, EndsWithTheUsageCodeAndOneCleanMessage) {
    const Case& c = GetParam();
    const ChildResult r = run_child(c.program, c.args);
    const std::string err = r.err.substr(0, 300);
    ASSERT_FALSE(r.timed_out) << "still running at the deadline; " << err;
    ASSERT_TRUE(r.exited) << "ended by a signal; " << err;
    EXPECT_EQ(r.code, 2) << err;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << err;
    EXPECT_LT(r.err.size(), 1000u) << "the message repeats the whole value";
    EXPECT_TRUE(std::none_of(r.err.begin(), r.err.end(), [](unsigned char u) {
        return (u < 0x20 && u != '\n') || u == 0x7F;
    })) << "control characters reach the terminal";
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Options, CommandLineAbuse, ::testing::ValuesIn(all_cases()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace clitest
