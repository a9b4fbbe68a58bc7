// The kestemu command line.
#pragma once

#include <string>

#include "Emulator.h"

namespace kestemu {

enum class ParseResult { run, help, error };

// Fills config from the arguments (argv[0] is the program name). On error, message says what
// is wrong with which option.
ParseResult parse_command_line(int argc, const char* const* argv, Config* config,
                               std::string* message);
std::string usage();
// True for the 127.0.0.0/8 addresses, which no other machine can reach.
bool is_loopback(const std::string& address);

}  // namespace kestemu
