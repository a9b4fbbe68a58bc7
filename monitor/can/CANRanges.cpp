// A download of chosen ranges of slots: each module starts with a request without time, whose
// reply names the box's newest slot, then walks its ranges newest first, ten ten-minute slots or
// one slot of the other resolutions a request.
#include <algorithm>
#include <limits>

#include "CANMessages.h"
#include "HistorySlots.h"
#include "NaiveTime.h"

namespace {

int64_t SlotsFromTo(const QDateTime& newest, const QDateTime& oldest, uint8_t resolution) {
    return std::max<int64_t>(0,
                             SlotNumber(newest, resolution) - SlotNumber(oldest, resolution) + 1);
}

}  // namespace

void TCANMessages::StartHistoryRanges(uint8_t resolution, std::vector<TModuleRanges> modules) {
    BeginDownload(resolution);

    // A module without a range, and every module past the four a box has, is left out.
    modules.erase(std::remove_if(modules.begin(), modules.end(),
                                 [](const TModuleRanges& m) { return m.Ranges.empty(); }),
                  modules.end());
    if (modules.size() > std::size(ModuleList)) {
        modules.resize(std::size(ModuleList));
    }
    RangePlan = std::move(modules);
    RangeDownload = true;
    IncludeTotal = IncludeA = IncludeB = IncludeC = false;
    ModuleCount = 0;
    for (const TModuleRanges& m : RangePlan) {
        IncludeTotal = IncludeTotal || m.Module == Module_Total;
        IncludeA = IncludeA || m.Module == Addr_Inverter_A;
        IncludeB = IncludeB || m.Module == Addr_Inverter_B;
        IncludeC = IncludeC || m.Module == Addr_Inverter_C;
        ModuleList[ModuleCount++] = m.Module;
    }
    ModuleIndex = 0;
    RangeIndex = 0;
    BlocksPerModule = 0;
    BlocksDone = 0;
    BlocksRequested = 0;
    ModuleNewest = QDateTime();
    BoxNewest = QDateTime();
    BlocksExpected = 0;
    if (RangePlan.empty()) {
        RangeDownload = false;
        return;
    }
    AskRange(RangePlan[0].Ranges[0].Newest);
}

void TCANMessages::ContinueRanges() {
    if (!Downloading || !RangeDownload || ModuleIndex >= RangePlan.size()) {
        Downloading = false;
        return;
    }
    THistoryRange& range = RangePlan[ModuleIndex].Ranges[RangeIndex];
    QDateTime next;
    if (!AskedTime.isValid()) {
        if (!ReplyValid || !ModuleNewest.isValid()) {
            // The box did not name its newest slot: this range cannot be walked.
            NextRange();
            return;
        }
        const QDateTime newest = SlotStart(ModuleNewest, DownloadResolution);
        if (!BoxNewest.isValid()) {
            PlaceRanges(newest);
        }
        range.Newest = newest;
        next = SlotStep(newest, DownloadResolution, -1);
    } else {
        // A refused block is passed over: the next download asks for its slots again.
        next = SlotStep(AskedTime, DownloadResolution, -int64_t(LastCount));
    }
    if (next.isValid() && SlotsLeft(range, next) > 0) {
        AskRange(next);
    } else {
        NextRange();
    }
}

void TCANMessages::AskRange(const QDateTime& from) {
    const uint8_t module = RangePlan[ModuleIndex].Module;
    const THistoryRange& range = RangePlan[ModuleIndex].Ranges[RangeIndex];
    uint8_t asked = 0;
    int64_t left = 0;  // in this range after this request
    if (!from.isValid()) {
        asked = RequestHistoryBlock(module, 0, QDateTime(), 1);
        left = std::max<int64_t>(SlotsLeft(range, QDateTime()) - 1, 0);
    } else {
        const int64_t inRange = SlotsLeft(range, from);
        const int count = int(std::clamp<int64_t>(inRange, 1, SlotsPerRequest(DownloadResolution)));
        asked = RequestHistoryBlock(module, BoxWeekday(from.date()), from, uint8_t(count));
        left = std::max<int64_t>(inRange - asked, 0);
    }
    {
        std::lock_guard guard(Lock);
        LastCount = asked;
    }
    BlocksDone = uint16_t(BlocksDone + asked);
    BlocksRequested += asked;
    // The expected count follows what is left: the open range's size is known once the box has
    // named its newest slot, and a range cut to the box's history asks for fewer.
    const int64_t expected = int64_t(BlocksRequested) + left + LaterSlots();
    BlocksExpected = int32_t(std::min<int64_t>(expected, std::numeric_limits<int32_t>::max()));
}

void TCANMessages::NextRange() {
    ++RangeIndex;
    while (ModuleIndex < RangePlan.size()) {
        const std::vector<THistoryRange>& ranges = RangePlan[ModuleIndex].Ranges;
        for (; RangeIndex < ranges.size(); ++RangeIndex) {
            const THistoryRange& range = ranges[RangeIndex];
            if (!range.Newest.isValid() || SlotsLeft(range, range.Newest) > 0) {
                AskRange(range.Newest);
                return;
            }
        }
        if (++ModuleIndex < RangePlan.size()) {
            BlocksDone = 0;
        }
        RangeIndex = 0;
        ModuleNewest = QDateTime();
    }
    BlocksExpected = BlocksRequested;
    Downloading = false;
}

void TCANMessages::PlaceRanges(const QDateTime& newest) {
    BoxNewest = newest;
    const QDateTime oldest = OldestSlotOnBox(newest, DownloadResolution);
    for (TModuleRanges& module : RangePlan) {
        for (THistoryRange& range : module.Ranges) {
            if (!range.Oldest.isValid() || range.Oldest < oldest) {
                range.Oldest = oldest;
            }
        }
    }
}

int64_t TCANMessages::SlotsLeft(const THistoryRange& range, const QDateTime& from) const {
    QDateTime newest = from;
    if (!newest.isValid()) {
        // An open range not yet walked starts at the box's newest slot, or, until the box has
        // named it, at the PC's.
        newest = BoxNewest.isValid() ? BoxNewest : SlotStart(NaiveNow(), DownloadResolution);
        if (range.Oldest.isValid() && !BoxNewest.isValid()) {
            newest = std::max(newest, range.Oldest);
        }
    }
    const QDateTime window = OldestSlotOnBox(newest, DownloadResolution);
    const QDateTime oldest = range.Oldest.isValid() ? std::max(range.Oldest, window) : window;
    return SlotsFromTo(newest, oldest, DownloadResolution);
}

int64_t TCANMessages::LaterSlots() const {
    int64_t total = 0;
    for (size_t m = ModuleIndex; m < RangePlan.size(); ++m) {
        const std::vector<THistoryRange>& ranges = RangePlan[m].Ranges;
        for (size_t r = m == ModuleIndex ? RangeIndex + 1 : 0; r < ranges.size(); ++r) {
            total += SlotsLeft(ranges[r], ranges[r].Newest);
        }
    }
    return total;
}

uint8_t TCANMessages::BoxWeekday(const QDate& date) const {
    if (!WeekdayDate.isValid() || WeekdayOfDate < 1 || WeekdayOfDate > 7) {
        return uint8_t(date.dayOfWeek());  // Monday 1 .. Sunday 7
    }
    const int64_t shift = (WeekdayOfDate - 1 + WeekdayDate.daysTo(date)) % 7;
    return uint8_t((shift + 7) % 7 + 1);
}
