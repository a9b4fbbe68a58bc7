#include "Box.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "Calendar.h"
#include "Connection.h"

namespace kestemu {

namespace {

CivilTime installed_date(const Config& config) {
    CivilTime t;
    if (!parse_civil(config.installed, &t)) {
        t = CivilTime{};
    }
    return t;
}

CivilTime local_wall_time() {
    const std::time_t seconds = std::time(nullptr);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    CivilTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = std::min(parts.tm_sec, 59);
    return t;
}

std::string dotted(uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
           std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

std::string check_config(const Config& config) {
    in_addr address{};
    if (inet_pton(AF_INET, config.bind.c_str(), &address) != 1) {
        return "bind address '" + config.bind + "' is not a dotted IPv4 address";
    }
    if (config.port < 0 || config.port > 65535) {
        return "port " + std::to_string(config.port) + " is outside 0..65535";
    }
    if (!config.clock.empty() && !parse_civil(config.clock, nullptr)) {
        return "clock '" + config.clock + "' is not a date and time YYYY-MM-DD HH:MM";
    }
    CivilTime installed;
    if (!parse_civil(config.installed, &installed) || config.installed.size() != 10) {
        return "installation date '" + config.installed + "' is not a date YYYY-MM-DD";
    }
    for (size_t i = 0; i < config.inverters.size(); ++i) {
        const char c = config.inverters[i];
        if ((c != 'A' && c != 'B' && c != 'C') || config.inverters.find(c) != i) {
            return "inverters '" + config.inverters + "' must be letters out of A, B, C";
        }
    }
    for (const char letter : {config.faults.zero_inverter, config.faults.silent_inverter}) {
        const uint8_t address = inverter_address(letter);
        const char upper = address == 0 ? '?' : static_cast<char>('A' + address / 4 - 1);
        if (letter != 0 && config.inverters.find(upper) == std::string::npos) {
            return "fault inverter '" + std::string(1, letter) +
                   "' is not one of the fitted inverters '" + config.inverters + "'";
        }
    }
    if (config.faults.zero_inverter != 0 && inverter_address(config.faults.zero_inverter) ==
                                                inverter_address(config.faults.silent_inverter)) {
        return "the zero and the silent fault need different inverters";
    }
    if (config.max_connections < 1 || config.max_connections > 65535) {
        return "max_connections must lie in 1..65535";
    }
    if (config.erase_ms < 0) {
        return "erase_ms must not be negative";
    }
    if (config.accounts.size() > static_cast<size_t>(kAccountSlots)) {
        return "at most 16 accounts fit the account table";
    }
    for (const Account& a : config.accounts) {
        if (check_name(a.name) != 0 || check_password(a.password) != 0 ||
            check_value(a.value) != 0) {
            return "account '" + a.name +
                   "' needs a name and password of 1..20 characters 0x21..0x7E and a level 0..4";
        }
        for (const Account& b : config.accounts) {
            if (&a != &b && a.name == b.name) {
                return "account name '" + a.name + "' is given twice";
            }
        }
    }
    return {};
}

}  // namespace

Box::Box(Config config)
    : config_(std::move(config)),
      config_error_(check_config(config_)),
      model_(config_.seed, config_.inverters, installed_date(config_)),
      started_(std::chrono::steady_clock::now()) {
    CivilTime start = local_wall_time();
    if (!config_.clock.empty()) {
        parse_civil(config_.clock, &start);
    }
    clock_start_second_ = calendar::to_seconds(start);

    std::vector<Account> initial = config_.accounts;
    if (initial.empty()) {
        initial = default_accounts();
    }
    for (size_t i = 0; i < initial.size() && i < accounts_.size(); ++i) {
        accounts_[i] = {true, initial[i]};
    }
    if (config_error_.empty() && !config_.state_file.empty()) {
        load_state_file(&accounts_, false);
    }
    stored_ = accounts_;
    session_first_ = config_.session_first;
    session_second_ = config_.session_minutes;
    flash_.assign(kFlashSize, 0xFF);
    faults_ = config_.faults;
    slot_used_.assign(config_error_.empty() ? config_.max_connections : 0, false);
}

Box::~Box() {
    stop();
}

bool Box::load_state_file(AccountTable* table, bool report_missing) const {
    std::ifstream in(config_.state_file);
    if (!in) {
        if (report_missing) {
            log("state file " + config_.state_file + " cannot be read; using the stored table");
        }
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    AccountTable loaded;
    if (!parse_accounts(text.str(), &loaded, &error)) {
        std::fprintf(stderr, "kestemu: state file %s is malformed (%s); using %s\n",
                     config_.state_file.c_str(), error.c_str(),
                     report_missing ? "the stored table" : "the default accounts");
        return false;
    }
    *table = loaded;
    return true;
}

bool Box::start(std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error != nullptr) {
            *error = message;
        }
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
            listen_fd_ = -1;
        }
        return false;
    };
    if (!config_error_.empty()) {
        return fail(config_error_);
    }
    std::lock_guard lock(mutex_);
    if (running_ || stopping_) {
        // The running listener stays as it is.
        if (error != nullptr) {
            *error = "the box was already started";
        }
        return false;
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        return fail(std::string("cannot make a socket: ") + std::strerror(errno));
    }
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(config_.port));
    inet_pton(AF_INET, config_.bind.c_str(), &address.sin_addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("cannot bind " + config_.bind + ":" + std::to_string(config_.port) + ": " +
                    std::strerror(errno));
    }
    if (::listen(listen_fd_, 1024) != 0) {
        return fail(std::string("cannot listen: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        return fail(std::string("cannot make an eventfd: ") + std::strerror(errno));
    }
    try {
        listener_ = std::thread(&Box::listen_loop, this);
    } catch (const std::exception& e) {
        ::close(wake_fd_);
        wake_fd_ = -1;
        return fail(std::string("cannot start the listener: ") + e.what());
    }
    running_ = true;
    return true;
}

void Box::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
    }
    stopping_ = true;
    wake_listener();
    if (listener_.joinable()) {
        listener_.join();
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) {
            c->close_from_outside();
        }
    }
    reap(true);
    ::close(listen_fd_);
    listen_fd_ = -1;
    ::close(wake_fd_);
    wake_fd_ = -1;
}

void Box::wake_listener() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
}

void Box::listen_loop() {
    while (!stopping_) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t ignored = ::read(wake_fd_, &count, sizeof count);
        }
        if (stopping_) {
            break;
        }
        reap(false);
        if ((fds[0].revents & POLLIN) != 0) {
            accept_one();
        }
    }
}

void Box::accept_one() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log(std::string("cannot accept a connection: ") + std::strerror(errno));
            pollfd wake{wake_fd_, POLLIN, 0};
            ::poll(&wake, 1, 50);  // no busy loop while out of descriptors
        }
        return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const uint32_t ip = ntohl(peer.sin_addr.s_addr);
    const uint16_t port = ntohs(peer.sin_port);
    std::shared_ptr<Connection> connection;
    int slot = -1;
    try {
        std::lock_guard lock(mutex_);
        auto free_slot = std::find(slot_used_.begin(), slot_used_.end(), false);
        if (free_slot != slot_used_.end()) {
            slot = static_cast<int>(free_slot - slot_used_.begin());
        }
        connection =
            std::make_shared<Connection>(*this, fd, accepted_ + 1, slot, ip, port, config_.seed);
        connections_.push_back(connection);
        if (slot >= 0) {
            slot_used_[slot] = true;
        }
        ++accepted_;
        ++open_;
    } catch (const std::exception& e) {
        if (!connection) {
            ::close(fd);
        }
        log(std::string("cannot take a connection: ") + e.what());
        return;
    }
    log("connection " + std::to_string(connection->number) + " from " + dotted(ip) + ":" +
        std::to_string(port) + " opened" +
        (slot >= 0 ? ", connection number " + std::to_string(slot)
                   : ", no free connection number"));
    try {
        connection->start();
    } catch (const std::exception& e) {
        log("connection " + std::to_string(connection->number) + " cannot start: " + e.what());
        std::lock_guard lock(mutex_);
        connections_.erase(std::find(connections_.begin(), connections_.end(), connection));
        if (slot >= 0) {
            slot_used_[slot] = false;
        }
        --open_;
    }
}

void Box::reap(bool all) {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard lock(mutex_);
        auto keep = std::stable_partition(connections_.begin(), connections_.end(),
                                          [&](const auto& c) { return !all && !c->finished(); });
        done.assign(keep, connections_.end());
        connections_.erase(keep, connections_.end());
    }
    for (auto& c : done) {
        c->join();
    }
}

void Box::connection_ended(Connection& c, const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        c.open = false;
        c.account = -1;
        if (c.slot >= 0 && c.slot < static_cast<int>(slot_used_.size())) {
            slot_used_[c.slot] = false;
        }
        --open_;
    }
    log("connection " + std::to_string(c.number) + " closed: " + reason);
}

int Box::idle_limit_ms() const {
    if (config_.idle_limit_ms >= 0) {
        return config_.idle_limit_ms == 0 ? -1 : config_.idle_limit_ms;
    }
    std::lock_guard lock(mutex_);
    return session_second_ == 0 ? -1 : session_second_ * 60000;
}

void Box::log(const std::string& line) const {
    if (config_.log_connections) {
        std::fprintf(stderr, "kestemu: %s\n", line.c_str());
    }
}

Outage Box::outage(const Faults& faults) const {
    return {inverter_address(faults.zero_inverter), calendar::from_seconds(clock_start_second_)};
}

CivilTime Box::now() const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started_);
    return calendar::from_seconds(clock_start_second_ + elapsed.count());
}

uint32_t Box::box_ms() const {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started_)
                                     .count());
}

Faults Box::note_frame(const Connection& c, const uint8_t* frame, int size, uint64_t* logged) {
    {
        std::lock_guard lock(log_mutex_);
        if (received_.size() >= kFrameLogCapacity) {
            received_.pop_front();
        }
        received_.push_back({c.number, std::vector<uint8_t>(frame, frame + size), 0});
        *logged = logged_++;
    }
    std::lock_guard lock(mutex_);
    return faults_;
}

void Box::note_reply(uint64_t logged, int64_t replied_ns) {
    std::lock_guard lock(log_mutex_);
    const uint64_t first = logged_ - received_.size();
    if (logged >= first) {
        received_[logged - first].replied_ns = replied_ns;
    }
}

void Box::set_faults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

Faults Box::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

std::vector<ReceivedFrame> Box::received() const {
    std::lock_guard lock(log_mutex_);
    return {received_.begin(), received_.end()};
}

void Box::clear_received() {
    std::lock_guard lock(log_mutex_);
    received_.clear();
}

int Box::open_connections() const {
    std::lock_guard lock(mutex_);
    return open_;
}

int Box::accepted_connections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::vector<Account> Box::accounts() const {
    std::lock_guard lock(mutex_);
    std::vector<Account> table;
    for (int i = 0; i < account_count(); ++i) {
        table.push_back(accounts_[i].used ? accounts_[i].account : Account{"", "", 0, 0});
    }
    return table;
}

std::vector<uint8_t> Box::flash(uint32_t address, uint32_t count) const {
    std::lock_guard lock(mutex_);
    if (address >= kFlashSize) {
        return {};
    }
    const uint32_t n = std::min(count, kFlashSize - address);
    return {flash_.begin() + address, flash_.begin() + address + n};
}

}  // namespace kestemu
