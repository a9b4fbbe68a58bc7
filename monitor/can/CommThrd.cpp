#include "CommThrd.h"

#include <QMetaMethod>
#include <chrono>

#include "CANMessages.h"
#include "DebugLog.h"
#include "VirtualKest.h"

namespace {

QString Hex2(uint8_t value) {
    return QString::asprintf("%02X", value);
}

// One history request or reply as the diagnostics show it.
QString HistoryText(uint8_t linkHandle, const CanMessage& message) {
    QString text = QString::number(linkHandle) + "-> ADR:$" + Hex2(message.Header[Hdr_Address]) +
                   " ACT:$" + Hex2(message.Header[Hdr_Action]) + " OBJ:$" +
                   Hex2(message.Header[Hdr_Object]) +
                   " AUT:" + QString::number(message.Header[Hdr_AuthLevel]) +
                   " LEN:" + QString::number(message.Length) + "  DATA: ";
    const int shown = std::min<int>(message.Length, Can_Data_Bytes);
    for (int i = 0; i < shown; ++i) {
        text += Hex2(message.Data[i]) + ' ';
    }
    return text;
}

// The channel's main-thread steps, looked up once by signature.
QMetaMethod ChannelMethod(const char* signature) {
    const QMetaObject& meta = TCANMessages::staticMetaObject;
    return meta.method(meta.indexOfMethod(signature));
}

const QMetaMethod& ReplyReceivedStep() {
    static const QMetaMethod method = ChannelMethod("ReplyReceived()");
    return method;
}
const QMetaMethod& AdvanceRingStep() {
    static const QMetaMethod method = ChannelMethod("AdvanceRing()");
    return method;
}
const QMetaMethod& HistoryReplyReceivedStep() {
    static const QMetaMethod method = ChannelMethod("HistoryReplyReceived()");
    return method;
}
const QMetaMethod& ThreadTerminatedStep() {
    static const QMetaMethod method = ChannelMethod("ThreadTerminated()");
    return method;
}

// A main-thread step ended with an error: the worker ends with it.
struct StepFailed {
    QString message;
};

}  // namespace

TCommThread::~TCommThread() {
    RequestStop();
    wait();
}

void TCommThread::RequestStop() {
    {
        std::lock_guard guard(WakeLock);
        Stop.store(true);
    }
    WakeUp.notify_all();
}

void TCommThread::Wake() {
    { std::lock_guard guard(WakeLock); }
    WakeUp.notify_all();
}

void TCommThread::run() {
    TCANMessages* const channel = Channel;
    const QString name = "***Worker for TIVREL " + QString::number(LinkHandle) + " ended: ";
    try {
        Execute();
    } catch (const StepFailed& failure) {
        DebugLine(name + failure.message);
    } catch (const std::exception& e) {
        DebugLine(name + QString::fromUtf8(e.what()));
    } catch (...) {
        DebugLine(name + "unexpected error");
    }
    // From here on the worker touches neither its own fields nor the channel's: the main
    // thread may release both once it has passed the fence.
    channel->Fence();
    ThreadTerminatedStep().invoke(channel, Qt::QueuedConnection);
}

void TCommThread::Execute() {
    while (!Stop.load()) {
        if (Channel->RingRead.load(std::memory_order_acquire) !=
            Channel->RingWrite.load(std::memory_order_acquire)) {
            ServePlain();
            Pause(Channel->RequestDelay.load());
        } else if (Channel->HistoryPending.load(std::memory_order_acquire) &&
                   Channel->MonitorClockValid.load()) {
            ServeHistory();
            Pause(Channel->RequestDelay.load());
        } else {
            WaitForWork();
        }
    }
}

void TCommThread::ServePlain() {
    // Only this thread reads the slot at RingRead until AdvanceRing has moved past it.
    const CanMessage& request = Channel->RequestRing[Channel->RingRead.load()];
    const uint8_t address = request.Header[Hdr_Address];
    const uint8_t object = request.Header[Hdr_Object];
    LastResult = Send(request);
    if (LastResult == Can_Result_Timeout) {
        Channel->HandOver(address, object, 0, Reply.Data, false, -1, LastResult);
        Step(ReplyReceivedStep());
        Step(AdvanceRingStep());
    } else if (LastResult != Can_Result_Ok) {
        // A link error: the request stays at the head and goes again after the pause. The flag
        // tells the session code that the box has gone, so that it ends this session and
        // connects the box again, instead of showing 0 W for ever.
        Channel->LinkError.store(true);
        Channel->HandOver(address, object, 0, Reply.Data, false, -1, LastResult);
        Step(ReplyReceivedStep());
    } else if (IsValidReply(Reply)) {
        Step(AdvanceRingStep());
        const uint8_t action = Reply.Header[Hdr_Action];
        if (action == Act_Confirm) {
            Channel->HandOver(address, Reply.Header[Hdr_Object], Reply.Length, Reply.Data, true);
            Step(ReplyReceivedStep());
        } else if (action == Act_Unknown || action == Act_Error_Response) {
            Channel->HandOver(address, Reply.Header[Hdr_Object], 0, Reply.Data, false);
            Step(ReplyReceivedStep());
        }
    }
}

void TCommThread::ServeHistory() {
    uint32_t generation = 0;
    const CanMessage request = Channel->TakeHistoryRequest(&generation);
    const uint8_t address = request.Header[Hdr_Address];
    LastResult = Send(request);
    const uint8_t action = Reply.Header[Hdr_Action];
    if (LastResult == Can_Result_Ok && action == Act_Error_Response) {
        DebugLine(HistoryText(LinkHandle, request));
        DebugLine(HistoryText(LinkHandle, Reply));
    }
    if (LastResult == Can_Result_Timeout) {
        return;
    }
    if (LastResult != Can_Result_Ok) {
        Channel->LinkError.store(true);
        return;
    }
    if (!IsValidReply(Reply) || action < Act_Confirm || action > Act_Error_Response) {
        return;
    }
    if (!Channel->EndHistoryRequest(generation)) {
        return;
    }
    const bool valid = action == Act_Confirm;
    Channel->HandOver(address, Reply.Header[Hdr_Object], Reply.Length, Reply.Data, valid,
                      generation);
    if (valid) {
        Channel->NoteHistoryReply(Reply.Data);
    }
    Step(HistoryReplyReceivedStep());
}

int32_t TCommThread::Send(const CanMessage& request) {
    if (InterfaceType == Interface_Replay) {
        return SimulateRequest(request, Reply, 0);
    }
    return Pc2Lan_Can_Request(LinkHandle, &request, &Reply);
}

void TCommThread::Step(const QMetaMethod& step) {
    Channel->Fence();
    step.invoke(Channel, Qt::BlockingQueuedConnection);
    const QString error = Channel->TakeStepError();
    if (!error.isEmpty()) {
        throw StepFailed{error};
    }
}

void TCommThread::Pause(uint32_t ms) {
    if (ms == 0) {
        return;
    }
    std::unique_lock lock(WakeLock);
    WakeUp.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Stop.load(); });
}

void TCommThread::WaitForWork() {
    std::unique_lock lock(WakeLock);
    WakeUp.wait(lock, [this] { return Stop.load() || Channel->HasWork(); });
}
