// SIGINT and SIGTERM for a program with an event loop: the handler only writes a byte to a socket
// pair, whose reading end the loop watches. A second signal ends the program at once, for a box
// that holds up the orderly end.
#pragma once

namespace tools {

// Installs the handlers; false when the socket pair or a handler cannot be made.
bool catch_stop_signals();
// The end to watch for reading (a QSocketNotifier on it).
int stop_signal_fd();
// Reads the byte a signal wrote, once the end has become readable.
void take_stop_signal();

}  // namespace tools
