#include "Emulator.h"

#include <algorithm>

#include "Box.h"

namespace kestemu {

uint8_t inverter_address(char letter) {
    switch (letter) {
        case 'A':
        case 'a':
            return 4;
        case 'B':
        case 'b':
            return 8;
        case 'C':
        case 'c':
            return 12;
        default:
            return 0;
    }
}

Emulator::Emulator(Config config) : box_(std::make_unique<Box>(std::move(config))) {}

Emulator::~Emulator() {
    stop();
}

bool Emulator::start(std::string* error) {
    return box_->start(error);
}

void Emulator::stop() {
    box_->stop();
}

int Emulator::port() const {
    return box_->port();
}

std::string Emulator::address() const {
    return box_->address();
}

void Emulator::set_faults(const Faults& faults) {
    box_->set_faults(faults);
}

Faults Emulator::faults() const {
    return box_->faults();
}

Outage Emulator::outage() const {
    return box_->outage(box_->faults());
}

std::vector<ReceivedFrame> Emulator::received() const {
    return box_->received();
}

std::vector<HistoryRequest> Emulator::history_requests() const {
    // A forwarded CAN request: command byte, two bytes of frame header, then the CAN header
    // (address, object, action, level), the data length and the data.
    constexpr uint8_t can_command = 0x10;
    std::vector<HistoryRequest> requests;
    for (const ReceivedFrame& frame : received()) {
        const std::vector<uint8_t>& b = frame.bytes;
        if (b.size() < 17 || b[0] != can_command || b[3] != 0 || b[4] != 0x41) {
            continue;
        }
        HistoryRequest r;
        r.module = b[8];
        r.resolution = b[9];
        r.timed = std::any_of(b.begin() + 10, b.begin() + 16, [](uint8_t x) { return x != 0; });
        r.time = CivilTime{2000 + b[10], b[11], b[12], b[14], b[15], 0};
        r.weekday = b[13];
        r.count = b[16];
        requests.push_back(r);
    }
    return requests;
}

void Emulator::clear_received() {
    box_->clear_received();
}

int Emulator::open_connections() const {
    return box_->open_connections();
}

int Emulator::accepted_connections() const {
    return box_->accepted_connections();
}

std::vector<Account> Emulator::accounts() const {
    return box_->accounts();
}

const YieldModel& Emulator::model() const {
    return box_->model();
}

CivilTime Emulator::now() const {
    return box_->now();
}

std::vector<uint8_t> Emulator::flash(uint32_t address, uint32_t count) const {
    return box_->flash(address, count);
}

}  // namespace kestemu
