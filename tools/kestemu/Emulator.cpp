#include "Emulator.h"

#include "Box.h"

namespace kestemu {

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

std::vector<ReceivedFrame> Emulator::received() const {
    return box_->received();
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
