// Feeds arbitrary replies to a channel's decoder, the way its worker hands them over, with the
// channel in varied states: no download, or a history download at any resolution outstanding.
//
// Input: byte 0 the resolution (index into Resolutions, the last entry taking byte 1 raw),
// byte 1 bits 0..3 the modules of the download and bit 4 the clock gate at start, bytes 2 and 3
// the PC's date (year 2000 + byte % 100, month). Then records [kind, address, object, action,
// authlevel, length, data...] carrying min(length, 32) data bytes:
//   kind % 4 == 0  a reply to a plain request sent to address (the worker's ServePlain);
//   kind % 4 == 1  a reply to the pending history request (the worker's ServeHistory);
//   kind % 4 == 2  DecodeReply called directly, with any length up to 255 and 32 data bytes;
//   kind % 4 == 3  the user: bit 2 cancels the download, bit 3 starts a new one.
#include <QCoreApplication>
#include <QDateTime>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "QuietLog.h"
#include "WorkerSteps.h"

namespace {

using fuzzwork::Check;

constexpr uint8_t Resolutions[] = {Res_Ten_Minutes, Res_Day, Res_Month, Res_Year, 0, 0};

// Every sample handed on names a real moment near the reply's date, and carries the reply's
// module and resolution bytes and a 16-bit value.
struct SampleCheck {
    const uint8_t* data = nullptr;
    void operator()(TCANMessages* sender) const {
        Check(sender->SampleTime.isValid());
        const int year = sender->SampleTime.date().year();
        Check(year >= 1792 - 12 && year <= 2047);
        Check(sender->SampleModule == data[0]);
        Check(sender->SampleResolution == data[1]);
        Check(sender->SampleValue >= 0 && sender->SampleValue <= 0xFFFF);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    fuzzwork::QuietDebugOutput();
    fuzzwork::Channel();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) {
        return 0;
    }
    TCANMessages& channel = fuzzwork::Channel();
    fuzzwork::Reset(channel);
    const uint8_t choice = bytes[0] % std::size(Resolutions);
    const uint8_t resolution =
        choice == std::size(Resolutions) - 1 ? bytes[1] : Resolutions[choice];
    const uint8_t modules = bytes[1] & 0x0F;
    const QDate today(2000 + bytes[2] % 100, 1 + bytes[3] % 12, 1);
    channel.MonitorClockValid.store((bytes[1] & 0x10) != 0);
    auto start = [&] {
        channel.StartHistory(modules & 1, modules & 2, modules & 4, modules & 8, resolution, today);
    };
    start();

    // The decoder gets exactly the 32 bytes of a record: a read past them is a fault.
    auto data = std::make_unique<uint8_t[]>(Can_Data_Bytes);
    SampleCheck check{data.get()};
    channel.OnSample = check;

    size_t at = 4;
    while (at + 6 <= size) {
        const uint8_t kind = bytes[at];
        CanMessage reply = {};
        std::memcpy(reply.Header, bytes + at + 1, 4);
        reply.Length = bytes[at + 5];
        at += 6;
        const size_t carried = std::min<size_t>({reply.Length, Can_Data_Bytes, size - at});
        std::memcpy(reply.Data, bytes + at, carried);
        at += carried;
        std::memcpy(data.get(), reply.Data, Can_Data_Bytes);

        switch (kind % 4) {
            case 0:
                // A request to the reply's address byte; the decoder takes the request's
                // address and the reply's object.
                if (!fuzzwork::PlainReply(channel, reply, Can_Result_Ok, reply)) {
                    return 0;
                }
                break;
            case 1:
                if (channel.HistoryPending.load() &&
                    !fuzzwork::HistoryReply(channel, Can_Result_Ok, reply)) {
                    return 0;
                }
                break;
            case 2:
                try {
                    channel.DecodeReply(reply.Header[Hdr_Address], reply.Header[Hdr_Object],
                                        (reply.Header[Hdr_Action] & 1) != 0, data.get(),
                                        reply.Length);
                } catch (const TConversionError&) {
                    return 0;
                }
                break;
            default:
                if (kind & 4) {
                    channel.CancelHistory();
                }
                if (kind & 8) {
                    start();
                }
                break;
        }
        fuzzwork::CheckChannel(channel);
    }
    return 0;
}
