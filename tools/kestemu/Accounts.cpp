// The account table (0xD0-0xD6), the connection table (0xD8, 0xD9) and the state file that
// keeps the account table across runs.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Box.h"
#include "Connection.h"

namespace kestemu {

namespace {

constexpr const char* kStateHeader = "kestemu accounts 1";

bool printable(const std::string& text) {
    for (unsigned char ch : text) {
        if (ch < 0x21 || ch > 0x7E) {
            return false;
        }
    }
    return true;
}

std::string field_text(const uint8_t* field) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(field, 0, kNameLength));
    return std::string(reinterpret_cast<const char*>(field),
                       end != nullptr ? static_cast<size_t>(end - field) : kNameLength);
}

void put_field(uint8_t* field, const std::string& text) {
    std::memset(field, 0, kNameLength);
    std::memcpy(field, text.data(), std::min<size_t>(text.size(), kNameLength));
}

}  // namespace

std::vector<Account> default_accounts() {
    return {{"BasicUser", "basic1234", 3, 1}, {"Administrator", "admin1234", 4, 1}};
}

int16_t check_name(const std::string& name) {
    if (name.empty()) {
        return code::kNameEmpty;
    }
    return printable(name) && name.size() <= kNameLength ? 0 : code::kNameBadChar;
}

int16_t check_password(const std::string& password) {
    if (password.empty()) {
        return code::kPasswordEmpty;
    }
    return printable(password) && password.size() <= kNameLength ? 0 : code::kPasswordBadChar;
}

int16_t check_value(int32_t value) {
    return value >= 0 && value <= 4 ? 0 : code::kValueOutOfRange;
}

std::string format_accounts(const AccountTable& table) {
    std::string text = std::string(kStateHeader) + "\n";
    for (int i = 0; i < kAccountSlots; ++i) {
        if (table[i].used) {
            const Account& a = table[i].account;
            text += std::to_string(i) + " " + a.name + " " + a.password + " " +
                    std::to_string(a.value) + " " + std::to_string(a.flag) + "\n";
        }
    }
    return text;
}

bool parse_accounts(const std::string& text, AccountTable* table, std::string* error) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kStateHeader) {
        *error = "the first line is not '" + std::string(kStateHeader) + "'";
        return false;
    }
    AccountTable loaded;
    int number = 1;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string first;
        if (!(fields >> first)) {
            continue;  // empty line
        }
        long index = -1;
        Account a;
        std::string rest;
        char* end = nullptr;
        index = std::strtol(first.c_str(), &end, 10);
        const bool index_ok = *end == '\0' && index >= 0 && index < kAccountSlots;
        if (!index_ok || !(fields >> a.name >> a.password >> a.value >> a.flag) ||
            (fields >> rest)) {
            *error = "line " + std::to_string(number) + " is not INDEX NAME PASSWORD LEVEL FLAG";
            return false;
        }
        if (check_name(a.name) != 0 || check_password(a.password) != 0 ||
            check_value(a.value) != 0) {
            *error = "line " + std::to_string(number) + " holds an invalid account";
            return false;
        }
        if (loaded[index].used) {
            *error = "account " + std::to_string(index) + " is given twice";
            return false;
        }
        for (const AccountSlot& slot : loaded) {
            if (slot.used && slot.account.name == a.name) {
                *error = "account name " + a.name + " is given twice";
                return false;
            }
        }
        loaded[index] = {true, a};
    }
    *table = loaded;
    return true;
}

int Box::account_count() const {
    for (int i = kAccountSlots - 1; i >= 0; --i) {
        if (accounts_[i].used) {
            return i + 1;
        }
    }
    return 0;
}

int16_t Box::store_accounts() {
    if (!config_.state_file.empty()) {
        const std::string temporary =
            config_.state_file + ".tmp" + std::to_string(static_cast<long>(::getpid()));
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << format_accounts(accounts_);
            out.flush();
            if (!out) {
                std::remove(temporary.c_str());
                log("cannot write " + temporary);
                return code::kStoreFailed;
            }
        }
        if (std::rename(temporary.c_str(), config_.state_file.c_str()) != 0) {
            std::remove(temporary.c_str());
            log("cannot replace " + config_.state_file);
            return code::kStoreFailed;
        }
    }
    stored_ = accounts_;
    return 0;
}

void Box::account_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r) {
    if (command == 0xD2 || command == 0xD4) {
        write_account(command, p, n, r);
        return;
    }
    if (command == 0xD3) {
        remove_account(c, p, n, r);
        return;
    }
    std::lock_guard lock(mutex_);
    switch (command) {
        case 0xD0:
            r.result(command, 4);
            put16(r.payload() + 2, static_cast<uint32_t>(account_count()));
            break;
        case 0xD1: {
            if (n < 2) {
                r.refuse(command, code::kPayloadTooShort);
                return;
            }
            const int index = get16(p);
            if (index >= account_count()) {
                r.refuse(command, code::kIndexOutOfRange);
                return;
            }
            const AccountSlot& slot = accounts_[index];
            const Account empty{"", "", 0, 0};
            const Account& a = slot.used ? slot.account : empty;
            r.result(command, 52);
            uint8_t* out = r.payload();
            put16(out + 2, 0);
            put_field(out + 4, a.name);
            put_field(out + 4 + kNameLength, a.password);
            wire_code(out + 4, 2 * kNameLength);
            put32(out + 44, static_cast<uint32_t>(a.value));
            put32(out + 48, static_cast<uint32_t>(a.flag));
            break;
        }
        case 0xD5: {
            AccountTable table = stored_;
            if (!config_.state_file.empty()) {
                load_state_file(&table, true);
            }
            accounts_ = table;
            r.result(command, 2);
            break;
        }
        default: {  // 0xD6
            const int16_t refusal = store_accounts();
            if (refusal != 0) {
                r.refuse(command, refusal);
            } else {
                r.result(command, 2);
            }
            break;
        }
    }
}

void Box::write_account(uint8_t command, const uint8_t* p, int n, Reply& r) {
    if (n < 50) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    const int index = get16(p);
    uint8_t area[2 * kNameLength];
    std::memcpy(area, p + 2, sizeof area);
    wire_code(area, sizeof area);
    Account a;
    a.name = field_text(area);
    a.password = field_text(area + kNameLength);
    a.value = static_cast<int32_t>(get32(p + 42));
    a.flag = static_cast<int32_t>(get32(p + 46));

    std::lock_guard lock(mutex_);
    int16_t refusal = 0;
    if (index >= kAccountSlots) {
        refusal = code::kIndexOutOfRange;
    } else if (command == 0xD2 && accounts_[index].used) {
        refusal = code::kSlotUsed;
    } else if (command == 0xD4 && !accounts_[index].used) {
        refusal = code::kNoSuchEntry;
    } else if ((refusal = check_name(a.name)) != 0 || (refusal = check_password(a.password)) != 0 ||
               (refusal = check_value(a.value)) != 0) {
    } else {
        for (int i = 0; i < kAccountSlots; ++i) {
            if (i != index && accounts_[i].used && accounts_[i].account.name == a.name) {
                refusal = code::kConflict;
            }
        }
    }
    if (refusal != 0) {
        r.refuse(command, refusal);
        return;
    }
    accounts_[index] = {true, a};
    r.result(command, 2);
}

void Box::remove_account(Connection& c, const uint8_t* p, int n, Reply& r) {
    constexpr uint8_t command = 0xD3;
    if (n < 2) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    const int index = get16(p);
    std::lock_guard lock(mutex_);
    if (index >= kAccountSlots) {
        r.refuse(command, code::kIndexOutOfRange);
        return;
    }
    if (!accounts_[index].used) {
        r.refuse(command, code::kNoSuchEntry);
        return;
    }
    auto administrator = [](const AccountSlot& s) {
        return s.used && (s.account.flag & 1) != 0 && s.account.value >= 4;
    };
    int administrators = 0;
    for (const AccountSlot& s : accounts_) {
        administrators += administrator(s) ? 1 : 0;
    }
    if (index == c.account || (administrator(accounts_[index]) && administrators == 1)) {
        r.refuse(command, code::kLastAdministrator);
        return;
    }
    accounts_[index] = AccountSlot{};
    r.result(command, 2);
}

void Box::connection_command(Connection& c, uint8_t command, const uint8_t* p, int n, Reply& r) {
    if (n < 2) {
        r.refuse(command, code::kPayloadTooShort);
        return;
    }
    const int slot = get16(p);
    if (slot >= config_.max_connections) {
        r.refuse(command, code::kIndexOutOfRange);
        return;
    }
    std::lock_guard lock(mutex_);
    Connection* target = nullptr;
    for (const auto& other : connections_) {
        if (other->open && other->slot == slot) {
            target = other.get();
        }
    }
    if (target == nullptr) {
        r.refuse(command, code::kNoSuchEntry);
        return;
    }
    if (command == 0xD9) {
        if (target == &c) {
            r.refuse(command, code::kConflict);
            return;
        }
        target->close_from_outside();
        r.result(command, 2);
        log("connection " + std::to_string(target->number) + " killed by connection " +
            std::to_string(c.number));
        return;
    }
    r.result(command, 40);
    uint8_t* block = r.payload() + 4;
    std::memset(r.payload() + 2, 0, 38);
    put16(block, static_cast<uint32_t>(slot));
    block[2] = static_cast<uint8_t>(target->peer_ip >> 24);
    block[3] = static_cast<uint8_t>(target->peer_ip >> 16);
    block[4] = static_cast<uint8_t>(target->peer_ip >> 8);
    block[5] = static_cast<uint8_t>(target->peer_ip);
    put16(block + 6, target->peer_port);
    put16(block + 8, target->account >= 0 ? static_cast<uint32_t>(target->account) : 0xFFFF);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - target->connected_at);
    put32(block + 10, static_cast<uint32_t>(seconds.count()));
    put32(block + 14, target->frames.load());
    std::memcpy(block + 18, target->user_name.data(),
                std::min<size_t>(target->user_name.size(), 18));
}

}  // namespace kestemu
