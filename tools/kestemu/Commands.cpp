// The frame commands of the box: login, session time, box information, CAN monitor and loader.
// Account, connection and CAN commands live in Accounts.cpp and CanBus.cpp.
#include <algorithm>
#include <cstring>

#include "Box.h"
#include "Connection.h"

namespace kestemu {

namespace {

constexpr int16_t kFirmwareVersion = 0x0203;  // 2.03, answered to 0x80
constexpr int16_t kHardwareVersion = 0x0105;  // 1.05, answered to 0x00
constexpr uint16_t kMaxSessionMinutes = 1440;

// A name or password field of the coded login area: up to the first zero, at most 20 bytes.
std::string field_text(const uint8_t* field) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(field, 0, kNameLength));
    return std::string(reinterpret_cast<const char*>(field),
                       end != nullptr ? static_cast<size_t>(end - field) : kNameLength);
}

}  // namespace

void Box::handle(Connection& c, const uint8_t* frame, const Faults& faults, Reply& r) {
    const uint8_t command = frame[0];
    const int n = frame[1];
    const uint8_t* p = frame + 3;
    if (checksum(frame, 3 + n) != frame[3 + n]) {
        r.refuse(command, code::kBadChecksum);
        return;
    }
    if (command == 0xC0) {
        login(c, p, n, r);
        return;
    }
    if (c.account < 0) {
        r.refuse(command, code::kNotPermitted);
        return;
    }
    switch (command) {
        case 0x00:
            r.done(command, 2);
            put16(r.payload(), static_cast<uint16_t>(kHardwareVersion));
            break;
        case 0x01: {
            const int length =
                static_cast<int>(std::min<size_t>(config_.serial.size(), kMaxPayload));
            std::memcpy(r.payload(), config_.serial.data(), length);
            r.done(command, length);
            break;
        }
        case 0x10:
            can_request(p, n, c, faults, r);
            break;
        case 0x11:
            r.done(command, 1);
            r.payload()[0] = 0;  // awake
            break;
        case 0x62:
            set_session_time(c, p, n, r);
            break;
        case 0x63: {
            std::lock_guard lock(mutex_);
            r.done(command, 4);
            put16(r.payload(), session_first_);
            put16(r.payload() + 2, session_second_);
            break;
        }
        case 0x70:
        case 0x71:
        case 0x72:
        case 0x73:
        case 0x78:
        case 0x79:
            loader_command(c, command, p, n, r);
            break;
        case 0x80:
            r.done(command, 2);
            put16(r.payload(), static_cast<uint16_t>(kFirmwareVersion));
            break;
        case 0xA0:
        case 0xA1:
        case 0xA2:
            monitor_command(command, p, n, r);
            break;
        case 0xD0:
        case 0xD1:
        case 0xD2:
        case 0xD3:
        case 0xD4:
        case 0xD5:
        case 0xD6:
        case 0xD8:
        case 0xD9:
            if (c.level < 4) {
                r.refuse(command, code::kNotPermitted);
            } else if (command >= 0xD8) {
                connection_command(c, command, p, n, r);
            } else {
                account_command(c, command, p, n, r);
            }
            break;
        default:
            r.refuse(command, code::kUnknownCommand);
            break;
    }
}

void Box::login(Connection& c, const uint8_t* p, int n, Reply& r) {
    constexpr uint8_t command = 0xC0;
    if (n < 2 * kNameLength) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    uint8_t area[2 * kNameLength];
    std::memcpy(area, p, sizeof area);
    wire_code(area, sizeof area);
    const std::string name = field_text(area);
    const std::string password = field_text(area + kNameLength);

    std::unique_lock lock(mutex_);
    const int previous = c.account;
    c.account = -1;
    c.user_name.clear();
    c.level = 0;
    int16_t refusal = 0;
    int index = -1;
    if (faults_.refuse_logins) {
        refusal = code::kLoginRefused;
    } else if (boot_mode_) {
        refusal = code::kBootMode;
    } else {
        for (int i = 0; i < kAccountSlots && index < 0; ++i) {
            if (accounts_[i].used && accounts_[i].account.name == name) {
                index = i;
            }
        }
        if (index < 0 || accounts_[index].account.password != password) {
            refusal = code::kLoginRefused;
        } else if ((accounts_[index].account.flag & 1) == 0) {
            refusal = code::kAccountDisabled;
        } else {
            int logged_in = 0;
            for (const auto& other : connections_) {
                if (other.get() != &c && other->open && other->account >= 0) {
                    ++logged_in;
                }
            }
            if (logged_in >= config_.max_connections || c.slot < 0) {
                refusal = code::kTooManySessions;
            }
        }
    }
    if (refusal != 0) {
        lock.unlock();
        r.refuse(command, refusal);
        log("connection " + std::to_string(c.number) + ": login as '" + name + "' refused (" +
            std::to_string(refusal) + ")" + (previous >= 0 ? ", logged out" : ""));
        return;
    }
    const Account& account = accounts_[index].account;
    c.account = index;
    c.user_name = account.name;
    c.level = account.value;
    r.done(command, 8);
    put32(r.payload(), static_cast<uint32_t>(index));
    put32(r.payload() + 4, static_cast<uint32_t>(account.value));
    lock.unlock();
    log("connection " + std::to_string(c.number) + " logged in as " + name + " (level " +
        std::to_string(c.level) + ")");
}

void Box::set_session_time(Connection& c, const uint8_t* p, int n, Reply& r) {
    constexpr uint8_t command = 0x62;
    if (c.level < 4) {
        r.refuse(command, code::kNotPermitted);
        return;
    }
    if (n < 4) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    const uint16_t first = get16(p);
    const uint16_t second = get16(p + 2);
    if (first > kMaxSessionMinutes || second > kMaxSessionMinutes) {
        r.refuse(command, code::kLoginRefused);
        return;
    }
    std::lock_guard lock(mutex_);
    session_first_ = first;
    session_second_ = second;
    r.result(command, 2);
}

void Box::monitor_command(uint8_t command, const uint8_t* p, int n, Reply& r) {
    std::lock_guard lock(mutex_);
    switch (command) {
        case 0xA0:
            if (n < 2) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            monitor_state_ = {p[0], p[1]};
            r.done(command, 2);
            r.payload()[0] = monitor_state_[0];
            r.payload()[1] = monitor_state_[1];
            break;
        case 0xA1:
            r.done(command, 4);
            r.payload()[0] = monitor_state_[0];
            r.payload()[1] = monitor_state_[1];
            put16(r.payload() + 2, static_cast<uint32_t>(monitor_.size()));
            break;
        default: {
            if (n < 2) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            const size_t wanted = std::min<size_t>(get16(p), 5);
            const size_t k = std::min(wanted, monitor_.size());
            for (size_t i = 0; i < k; ++i) {
                std::memcpy(r.payload() + 16 * i, monitor_.front().data(), 16);
                monitor_.pop_front();
            }
            r.done(command, static_cast<int>(16 * k));
            break;
        }
    }
}

void Box::loader_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r) {
    std::unique_lock lock(mutex_);
    switch (command) {
        case 0x70: {
            const bool confirmed = n >= 2 && p[0] == 0x6B && p[1] == 0x94;
            boot_mode_ = boot_mode_ || confirmed;
            r.done(command, 1);
            r.payload()[0] = confirmed ? 0 : 1;
            break;
        }
        case 0x71: {
            if (n < 1) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            const uint8_t block = p[0];
            r.done(command, 1);
            if (!boot_mode_ || block >= kFlashSize / kFlashBlock) {
                r.payload()[0] = 0xFF;
                return;
            }
            lock.unlock();
            if (!c.sleep_ms(config_.erase_ms)) {
                r.send = false;  // the connection was closed during the erase
                return;
            }
            lock.lock();
            std::fill_n(flash_.begin() + block * kFlashBlock, kFlashBlock, 0xFF);
            r.payload()[0] = block;
            break;
        }
        case 0x72:
        case 0x79: {
            if (n < 2) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            const uint32_t address = get16(p);
            const uint32_t count = static_cast<uint32_t>(n - 2);
            r.done(command, 3);
            put16(r.payload(), address);
            if (!boot_mode_) {
                r.payload()[2] = 1;
            } else if (address + count > kFlashSize) {
                r.payload()[2] = 2;
            } else {
                std::memcpy(flash_.data() + address, p + 2, count);
                r.payload()[2] = 0;
            }
            break;
        }
        case 0x73:
            boot_mode_ = false;
            r.done(command, 1);
            r.payload()[0] = 0;
            break;
        default: {  // 0x78 read back
            if (n < 3) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            const uint32_t address = get16(p);
            const uint32_t count =
                std::min<uint32_t>({p[2], kMaxPayload - 2, kFlashSize - address});
            put16(r.payload(), address);
            std::memcpy(r.payload() + 2, flash_.data() + address, count);
            r.done(command, static_cast<int>(count + 2));
            break;
        }
    }
}

}  // namespace kestemu
