// Runs a built program as a child process (posix_spawn: the suite also runs under
// ThreadSanitizer), standard input from /dev/null, both outputs captured, killed at a deadline
// so that a hang fails its case instead of blocking the suite.
#pragma once

#include <string>
#include <vector>

namespace clitest {

struct ChildResult {
    bool exited = false;  // ended through exit(), not by a signal
    int code = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
};

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      int deadline_ms = 20000);

}  // namespace clitest
