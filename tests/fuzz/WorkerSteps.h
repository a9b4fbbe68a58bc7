// The fuzz targets play a channel's worker on the fuzzer's own thread: a channel whose worker
// has ended, and the worker's handling of one reply, step by step as the worker does it. A
// thread start per input would cost more than everything else together.
#pragma once

#include <QCoreApplication>
#include <array>
#include <cstdlib>

#include "monitor/can/CANMessages.h"
#include "monitor/can/CommThrd.h"

namespace fuzzwork {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A channel without its worker; Reset brings it back to the state after connecting.
inline TCANMessages& Channel() {
    static TCANMessages* channel = [] {
        auto* made = new TCANMessages(1, Interface_Replay, 0);
        made->TerminateThread();
        made->Thread->wait();
        QCoreApplication::sendPostedEvents(made, QEvent::MetaCall);
        return made;
    }();
    return *channel;
}

inline void Reset(TCANMessages& channel) {
    channel.CancelHistory();
    channel.PowerA = channel.PowerB = channel.PowerC = 0;
    channel.PowerTotal = 0;
    channel.MonitorClockValid.store(false);
    channel.LinkError.store(false);
    channel.NextTime = QDateTime();
    channel.NextWeekday = 0;
    channel.SampleTime = QDateTime();
    channel.OnSample = nullptr;
    channel.HandOver(0, 0, 0, std::array<uint8_t, Can_Data_Bytes>{}.data(), false);
}

// The worker after a plain request to address with that result; false when it would end.
inline bool PlainReply(TCANMessages& channel, const CanMessage& request, int32_t result,
                       const CanMessage& reply) {
    const uint8_t address = request.Header[Hdr_Address];
    const uint8_t object = request.Header[Hdr_Object];
    if (result != Can_Result_Ok) {
        if (result != Can_Result_Timeout) {
            channel.LinkError.store(true);
        }
        channel.HandOver(address, object, 0, reply.Data, false);
    } else if (!IsValidReply(reply)) {
        return true;
    } else {
        const uint8_t action = reply.Header[Hdr_Action];
        if (action == Act_Confirm) {
            channel.HandOver(address, reply.Header[Hdr_Object], reply.Length, reply.Data, true);
        } else if (action == Act_Unknown || action == Act_Error_Response) {
            channel.HandOver(address, reply.Header[Hdr_Object], 0, reply.Data, false);
        } else {
            return true;
        }
    }
    channel.ReplyReceived();
    return channel.TakeStepError().isEmpty();
}

// The worker after the pending history request with that result; false when it would end.
inline bool HistoryReply(TCANMessages& channel, int32_t result, const CanMessage& reply) {
    uint32_t generation = 0;
    const CanMessage request = channel.TakeHistoryRequest(&generation);
    const uint8_t action = reply.Header[Hdr_Action];
    if (result != Can_Result_Ok) {
        if (result != Can_Result_Timeout) {
            channel.LinkError.store(true);
        }
        return true;
    }
    if (!IsValidReply(reply) || action < Act_Confirm || action > Act_Error_Response) {
        return true;
    }
    Check(channel.EndHistoryRequest(generation));
    const bool valid = action == Act_Confirm;
    channel.HandOver(request.Header[Hdr_Address], reply.Header[Hdr_Object], reply.Length,
                     reply.Data, valid, generation);
    if (valid) {
        try {
            channel.NoteHistoryReply(reply.Data);
        } catch (const TConversionError&) {
            return false;
        }
    }
    channel.HistoryReplyReceived();
    if (!channel.TakeStepError().isEmpty()) {
        return false;
    }
    if (channel.Downloading) {
        // The next request is pending, and asks for at most ten samples.
        const CanMessage next = channel.TakeHistoryRequest(&generation);
        Check(channel.HistoryPending.load());
        Check(next.Length == 9 && next.Data[8] <= 10);
    }
    return true;
}

// What every step leaves true.
inline void CheckChannel(const TCANMessages& channel) {
    Check(channel.PowerTotal == uint32_t(channel.PowerA) + channel.PowerB + channel.PowerC);
    Check(channel.ModuleIndex < 4 && channel.ModuleCount <= 4);
    Check(channel.BlocksDone <= channel.BlocksPerModule || !channel.Downloading);
    Check(!channel.NextTime.isValid() || channel.NextTime.date().isValid());
}

}  // namespace fuzzwork
