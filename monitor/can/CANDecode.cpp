// What a reply means: the monitor's clock gate, the inverters' live power and the samples of
// the yield history.
#include <algorithm>

#include "CANMessages.h"
#include "NaiveTime.h"

void TCANMessages::DecodeReply(uint8_t address, uint8_t object, bool valid, const uint8_t* data,
                               uint8_t length) {
    if (address == Addr_Monitor && object == Obj_Monitor_Clock) {
        MonitorClockValid.store(valid);
        if (valid) {
            WakeWorker();
        }
        return;
    }
    if (object == Obj_Actual_Power &&
        (address == Addr_Inverter_A || address == Addr_Inverter_B || address == Addr_Inverter_C)) {
        const uint16_t power = valid ? MakeWord(data[2], data[3]) : 0;
        uint16_t& field = address == Addr_Inverter_A   ? PowerA
                          : address == Addr_Inverter_B ? PowerB
                                                       : PowerC;
        field = power;
        PowerTotal = uint32_t(PowerA) + PowerB + PowerC;
        if (OnPower) {
            OnPower(this, address);
        }
        return;
    }
    if (address == Addr_Monitor && object == Obj_Yield_History && valid) {
        DecodeHistory(data, length);
    }
}

void TCANMessages::DecodeHistory(const uint8_t* data, uint8_t length) {
    const int year = data[2] + Reply_Year_Base;
    const int month = data[3];
    const int day = data[4];
    QDateTime base;
    switch (DownloadResolution) {
        case Res_Ten_Minutes:
            base = NaiveDateTime(year, month, day, data[6], data[7]);
            break;
        case Res_Day:
            base = NaiveDateTime(year, month, day);
            break;
        case Res_Month:
            base = NaiveDateTime(year, month, 1);
            break;
        case Res_Year:
            base = NaiveDateTime(year, 1, 1);
            break;
        default:
            return;
    }
    if (!base.isValid()) {
        throw TConversionError("history reply with an impossible date");
    }
    if (!AskedTime.isValid()) {
        ModuleNewest = base;
    }
    if (!WeekdayDate.isValid()) {
        WeekdayDate = QDate(year, month, day);
        WeekdayOfDate = data[5];
    }
    // An odd length leaves an incomplete last pair, which carries no sample. A record holds 32
    // data bytes whatever length it claims, so 12 samples at most.
    const int carried = std::min<int>(length, Can_Data_Bytes);
    const int count = carried > 8 ? (carried - 8) / 2 : 0;
    for (int i = 0; i < count; ++i) {
        SampleModule = data[0];
        SampleResolution = data[1];
        switch (DownloadResolution) {
            case Res_Ten_Minutes:
                SampleTime = base.addSecs(-600 * qint64(i));
                break;
            case Res_Day:
                SampleTime = base.addDays(-i);
                break;
            case Res_Month:
                SampleTime = base.addMonths(-i);
                break;
            default:
                SampleTime = base.addYears(-i);
                break;
        }
        SampleValue = MakeWord(data[8 + 2 * i], data[9 + 2 * i]);
        SampleOpen = !ModuleNewest.isValid() || SampleTime >= ModuleNewest;
        if (OnSample) {
            OnSample(this);
        }
    }
}
