// The box's simulated sunshine: a deterministic daylight model for inverters A, B and C.
//
// Yields are consistent across resolutions: the ten-minute slots of a day add up (to within
// rounding) to that day, the days to their month and the months to their year. All times are
// naive local calendar values, like the box's own clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestemu {

struct CivilTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

// Minutes since 1970-01-01 00:00 of a civil time (seconds dropped), and back.
int64_t to_minutes(const CivilTime& t);
CivilTime from_minutes(int64_t minutes);
int iso_weekday(const CivilTime& t);                        // Monday 1 .. Sunday 7
bool parse_civil(const std::string& text, CivilTime* out);  // "YYYY-MM-DD" or "YYYY-MM-DD HH:MM"

// An inverter that stops producing at a moment (the zero-power fault): from then on its yield
// does not grow and its power is 0. address 0: none.
struct Outage {
    uint8_t address = 0;  // 4, 8, 12
    CivilTime from;
};

class YieldModel {
public:
    YieldModel(uint32_t seed, std::string inverters, CivilTime installed);

    // Yield of one period in the unit the box reports it in, before any times-4 scaling:
    //   resolution 36: 0.01 Wh for the ten-minute slot starting at period;
    //   71: 0.5 Wh for the day of period; 106: 0.01 kWh for its month; 125: 0.5 kWh for its year.
    // module 128 is the box total (all fitted inverters), 4, 8, 12 inverters A, B, C.
    // No value (nullopt) for a period that starts before the installation date or after now,
    // for an inverter that is not fitted, or for an unknown module or resolution. The period
    // that contains now counts what was produced up to now. An outage's inverter produces nothing
    // from outage.from on, and the box total counts what it produced before.
    std::optional<uint32_t> yield(uint8_t module, uint8_t resolution, const CivilTime& period,
                                  const CivilTime& now, const Outage& outage = {}) const;

    // Actual AC power of one inverter (4, 8, 12) at a moment, in tenths of a watt, with seeded
    // noise; 0 at night, when the inverter is not fitted, or once the outage has stopped it.
    uint16_t power(uint8_t address, const CivilTime& now, const Outage& outage = {}) const;

    bool fitted(uint8_t address) const;

private:
    struct DayCache;

    double energy_wh(int inverter, int64_t from_second, int64_t to_second) const;
    double day_wh(int inverter, int64_t day) const;
    double part_of_day_wh(int inverter, int64_t day, int from_second, int to_second) const;

    uint32_t seed_;
    std::string inverters_;
    CivilTime installed_;
    std::shared_ptr<DayCache> cache_;  // exact energy of whole days, shared by copies
};

}  // namespace kestemu
