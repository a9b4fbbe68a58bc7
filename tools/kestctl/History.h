// Yield history as kestctl fetches it from the monitor module: the request walk backwards in
// time, the reply decoding and the printed form of time stamps and values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/Pc2Lan.h"

namespace kestctl {

constexpr uint8_t kTenMinutes = 36;
constexpr uint8_t kDay = 71;
constexpr uint8_t kMonth = 106;
constexpr uint8_t kYear = 125;

constexpr uint8_t kModuleTotal = 128;

constexpr uint16_t kNoValue = 65535;

// A naive local calendar value, like the box's own clock.
struct CalendarTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

bool is_valid(const CalendarTime& t);
int iso_weekday(const CalendarTime& t);  // Monday 1 .. Sunday 7
// steps periods of the given resolution earlier (ten minutes, days, months or years).
CalendarTime step_back(const CalendarTime& t, uint8_t resolution, int steps);

// "10min", "day", "month", "year" -> 36, 71, 106, 125; "total", "A", "B", "C" -> 128, 4, 8, 12.
bool parse_resolution(std::string_view text, uint8_t* resolution);
bool parse_module(std::string_view text, uint8_t* module);

struct Sample {
    CalendarTime time;
    uint16_t raw = kNoValue;
    bool times_four = false;  // the box stores big values divided by four
};

std::string format_time(const CalendarTime& t, uint8_t resolution);
std::string format_value(const Sample& sample, uint8_t resolution);  // "-" when there is none

// Fetches count samples of one module, newest first. The first request asks for the current
// period (time zero, one sample); each later one asks for up to ten samples, starting with the
// period before the oldest one received so far.
class HistoryWalk {
public:
    HistoryWalk(uint8_t module, uint8_t resolution, int count);

    bool done() const { return taken_ >= count_; }
    // False with a message when the walk cannot go further back.
    bool next_request(CanMessage* request, std::string* error) const;
    // Takes the monitor's reply to the last request and appends the samples still wanted.
    bool take_reply(const CanMessage& reply, std::vector<Sample>* samples, std::string* error);

private:
    uint8_t module_;
    uint8_t resolution_;
    int count_;
    int taken_ = 0;
    bool started_ = false;  // a reply has been taken, so next_ holds the next period wanted
    CalendarTime next_;
};

}  // namespace kestctl
