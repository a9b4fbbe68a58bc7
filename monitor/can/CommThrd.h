// The worker of one channel: it sends the channel's queued requests, then its pending history
// request, to the box one at a time, and has the main thread decode every reply.
#pragma once

#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Pc2Lan.h"

class QMetaMethod;
class TCANMessages;

class TCommThread : public QThread {
    Q_OBJECT

public:
    TCommThread() = default;
    ~TCommThread() override;

    // Set by the channel before it starts the thread.
    void SetChannel(TCANMessages* channel) { Channel = channel; }
    void SetLinkHandle(uint8_t handle) { LinkHandle = handle; }
    void SetInterfaceType(uint8_t type) { InterfaceType = type; }

    // Any thread. The request in progress is completed first; a pause or an idle wait ends.
    void RequestStop();
    // There may be work now: ends an idle wait (not the pause after a request).
    void Wake();

    int32_t LastResult = 0;  // worker only

protected:
    void run() override;

private:
    void Execute();
    void ServePlain();
    void ServeHistory();
    int32_t Send(const CanMessage& request);
    void Step(const QMetaMethod& step);
    void Pause(uint32_t ms);
    void WaitForWork();

    TCANMessages* Channel = nullptr;
    uint8_t LinkHandle = 0;
    uint8_t InterfaceType = 0;
    CanMessage Reply = {};  // reused for every request

    std::atomic<bool> Stop{false};
    std::mutex WakeLock;
    std::condition_variable WakeUp;
};
