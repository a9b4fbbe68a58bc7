// A plain TCP connect to the box before the link library logs in: only this tells "nothing
// listens there" apart from "the box took the connection but fumbled the login".
#pragma once

#include <string>

namespace kestctl {

struct Reach {
    bool reached = false;
    std::string why;  // when not reached: what went wrong, in a few words
};

// Resolves host (a dotted address or a name) and tries each address until one accepts a TCP
// connection within timeout_ms; the connection is closed again at once.
Reach try_tcp_connect(const std::string& host, int port, int timeout_ms);

}  // namespace kestctl
