// What a failed link library call means, in words a technician can act on. The library's codes
// alone do not tell a silent box from one that hung up, so the hints also weigh how long the
// call took against the reply time-out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestctl {

struct CallTiming {
    int elapsed_ms = 0;
    int reply_timeout_ms = 2500;
};

// Any export; for codes the export does not map itself.
std::string link_hint(int32_t code, const CallTiming& timing);
std::string can_hint(int32_t code, const CallTiming& timing);
// call is the export's name: the account exports map the box's refusals differently.
std::string account_hint(std::string_view call, int32_t code, const CallTiming& timing);
// A failed Pc2Lan_Connect after a TCP connection to the box was seen to open.
std::string login_hint(int32_t code, const CallTiming& timing);

}  // namespace kestctl
