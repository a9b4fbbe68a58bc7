// The box behind the Emulator facade: the listener, the open connections and the state every
// connection shares (accounts, session-time pair, CAN monitor log, loader flash, faults, frame
// log, clock). Connections run on their own threads and call handle() for every frame.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Emulator.h"
#include "Frame.h"
#include "YieldModel.h"

namespace kestemu {

class Connection;

constexpr int kAccountSlots = 16;
constexpr int kNameLength = 20;
constexpr uint32_t kFlashSize = 64 * 1024;
constexpr uint32_t kFlashBlock = 1024;
constexpr size_t kMonitorCapacity = 1024;
constexpr size_t kFrameLogCapacity = 100000;

struct AccountSlot {
    bool used = false;
    Account account;
};
using AccountTable = std::array<AccountSlot, kAccountSlots>;

// "BasicUser" / "basic1234" at level 3 and "Administrator" / "admin1234" at level 4.
std::vector<Account> default_accounts();

// Checks of names, passwords and levels shared by the account commands, the state file and
// the command line. Each returns 0 or the box's refusal code.
int16_t check_name(const std::string& name);
int16_t check_password(const std::string& password);
int16_t check_value(int32_t value);

// The account table as the state file keeps it.
std::string format_accounts(const AccountTable& table);
bool parse_accounts(const std::string& text, AccountTable* table, std::string* error);

class Box {
public:
    explicit Box(Config config);
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    bool start(std::string* error);
    void stop();

    int port() const { return port_.load(); }
    std::string address() const { return config_.bind; }
    const YieldModel& model() const { return model_; }
    Outage outage(const Faults& faults) const;
    CivilTime now() const;

    void set_faults(const Faults& faults);
    Faults faults() const;
    std::vector<ReceivedFrame> received() const;
    void clear_received();
    int open_connections() const;
    int accepted_connections() const;
    std::vector<Account> accounts() const;
    std::vector<uint8_t> flash(uint32_t address, uint32_t count) const;

    // Called by connections on their own threads.
    // Logs the frame; *logged is its number in the log for note_reply.
    Faults note_frame(const Connection& connection, const uint8_t* frame, int size,
                      uint64_t* logged);
    void note_reply(uint64_t logged, int64_t replied_ns);
    void handle(Connection& connection, const uint8_t* frame, const Faults& faults, Reply& reply);
    void connection_ended(Connection& connection, const std::string& reason);
    void wake_listener();       // a connection thread has finished and may be joined
    int idle_limit_ms() const;  // -1: never
    void log(const std::string& line) const;

private:
    // Box.cpp
    void listen_loop();
    void accept_one();
    void reap(bool all);
    bool load_state_file(AccountTable* table, bool report_missing) const;
    uint32_t box_ms() const;

    // Commands.cpp
    void login(Connection& c, const uint8_t* p, int n, Reply& r);
    void set_session_time(Connection& c, const uint8_t* p, int n, Reply& r);
    void monitor_command(uint8_t command, const uint8_t* p, int n, Reply& r);
    void loader_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r);

    // Accounts.cpp
    void account_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r);
    void write_account(uint8_t command, const uint8_t* p, int n, Reply& r);
    void remove_account(Connection& c, const uint8_t* p, int n, Reply& r);
    void connection_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r);
    int account_count() const;  // highest used slot + 1; mutex_ held
    int16_t store_accounts();   // mutex_ held

    // CanBus.cpp
    void can_request(const uint8_t* p, int n, Connection& c, const Faults& faults, Reply& r);
    int monitor_module(const uint8_t* request, uint8_t* reply, const Outage& outage);
    int history(const uint8_t* data, int length, uint8_t* out, const Outage& outage) const;
    void record_can(uint8_t direction, const uint8_t* header, int length, const uint8_t* data);

    Config config_;
    std::string config_error_;
    YieldModel model_;
    const std::chrono::steady_clock::time_point started_;
    int64_t clock_start_second_ = 0;

    mutable std::mutex mutex_;  // everything below up to the frame log
    AccountTable accounts_;
    AccountTable stored_;  // the table as the last store left it
    uint16_t session_first_ = 0;
    uint16_t session_second_ = 10;
    std::array<uint8_t, 2> monitor_state_{1, 0};
    std::deque<std::array<uint8_t, 16>> monitor_;
    std::vector<uint8_t> flash_;
    bool boot_mode_ = false;
    Faults faults_;
    std::vector<std::shared_ptr<Connection>> connections_;  // open, or ended and not yet joined
    std::vector<bool> slot_used_;
    int accepted_ = 0;
    int open_ = 0;
    bool running_ = false;

    mutable std::mutex log_mutex_;
    std::deque<ReceivedFrame> received_;
    uint64_t logged_ = 0;  // frames logged since the start, those dropped or cleared included

    int listen_fd_ = -1;
    int wake_fd_ = -1;  // eventfd: stop requested or a connection ended
    std::atomic<bool> stopping_{false};
    std::atomic<int> port_{0};
    std::thread listener_;
};

}  // namespace kestemu
