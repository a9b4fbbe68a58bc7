// kestemu: one whole Kest box on a TCP port, run in-process by the tests and as a program by the
// demo. The box logs connections in, forwards CAN requests to a simulated monitor module and
// inverters A, B, C, keeps an account table, a CAN monitor log and a loader flash, and can
// misbehave on purpose (Faults).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "YieldModel.h"

namespace kestemu {

struct Account {
    std::string name;
    std::string password;
    int32_t value = 0;  // the account's access level, answered at login
    int32_t flag = 1;   // bit 0: the account may log in
};

// Deterministic misbehaviour. Counters are per connection and count the frames the box has
// received on it, the login included. -1 (or 0 / false) means off.
struct Faults {
    int silent_after = -1;        // receive but never answer once this many frames were answered
    int close_after = -1;         // close the connection once this many frames were answered
    int skip_frames = 0;          // the reply faults below leave the first skip_frames frames alone
    bool stale_sequence = false;  // send a reply with a wrong sequence number before the real one
    bool split_reply = false;     // send each reply in two TCP segments, a few ms apart
    bool short_reply = false;     // send a reply that is shorter than its length byte says
    bool garbage = false;         // send random bytes instead of the reply
    int delay_ms = 0;             // wait this long before every reply
    double can_timeout_probability = 0.0;  // inverter requests that time out on the CAN bus
    bool refuse_logins = false;            // every login is refused (box code -13)
    // 'A', 'B' or 'C' (either case), 0 off; each a fitted inverter, not both the same.
    char zero_inverter = 0;    // answers 0 W and produces nothing from the box clock's start
    char silent_inverter = 0;  // never answers on the CAN bus: every request to it gets -21
};

// The CAN address of inverter 'A', 'B', 'C' (either case): 4, 8, 12; 0 for anything else.
uint8_t inverter_address(char letter);

struct Config {
    std::string bind = "127.0.0.1";
    int port = 7777;                // 0 picks a free port
    std::vector<Account> accounts;  // empty: the two default accounts
    uint16_t session_first = 0;
    uint16_t session_minutes = 10;  // second session-time value; 0 never closes idle links
    int idle_limit_ms = -1;  // >= 0 overrides the idle limit of session_minutes; 0 never closes
    std::string serial = "KEST-0042-7319";
    uint32_t seed = 1;
    std::string inverters = "ABC";         // fitted inverters
    std::string clock;                     // empty: the PC's local time; else "YYYY-MM-DD HH:MM"
    std::string installed = "2021-03-15";  // "YYYY-MM-DD": periods before it have no value
    std::string state_file;                // keeps the account table across runs when set
    int max_connections = 512;
    int erase_ms = 200;  // how long a flash block erase takes
    Faults faults;
    bool log_connections = true;  // one line per connection event on standard error
};

// One frame as the box received it, bytes exactly as they arrived.
struct ReceivedFrame {
    int connection = 0;  // 1, 2, ... in the order connections were accepted
    std::vector<uint8_t> bytes;
    // CLOCK_MONOTONIC when the box had written the whole reply to the socket; 0 while none is
    // written (not yet, or never: a silent box, a closing fault).
    int64_t replied_ns = 0;
};

// One yield history request (monitor module, object 0x41) as the box received it. A request
// without time asks for the newest period.
struct HistoryRequest {
    uint8_t module = 0;      // 128 the box total, 4, 8, 12 inverters A, B, C
    uint8_t resolution = 0;  // 36, 71, 106, 125
    bool timed = false;
    CivilTime time;  // the newest period asked for, when timed
    uint8_t weekday = 0;
    uint8_t count = 0;  // samples asked for
};

class Box;  // the implementation

class Emulator {
public:
    explicit Emulator(Config config);
    ~Emulator();  // stops the box
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Binds, listens and starts serving. False with a message in error when it cannot.
    bool start(std::string* error = nullptr);
    // Closes every connection and the listener, and waits for all threads. Safe to call twice.
    void stop();

    int port() const;             // the port actually bound
    std::string address() const;  // the address bound, dotted

    void set_faults(const Faults& faults);
    Faults faults() const;

    std::vector<ReceivedFrame> received() const;
    // The yield history requests among the received frames, in order.
    std::vector<HistoryRequest> history_requests() const;
    void clear_received();
    int open_connections() const;
    int accepted_connections() const;

    // The account table, slots 0..count-1; an empty slot reads as {"", "", 0, 0}.
    std::vector<Account> accounts() const;
    const YieldModel& model() const;
    // The zero-power fault as the model takes it: its inverter stopped at the box clock's start
    // (address 0 when the fault is off). The box's yields are model().yield(..., outage()).
    Outage outage() const;
    CivilTime now() const;  // the box clock
    std::vector<uint8_t> flash(uint32_t address, uint32_t count) const;

private:
    std::unique_ptr<Box> box_;
};

}  // namespace kestemu
