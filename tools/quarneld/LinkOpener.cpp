#include "LinkOpener.h"

#include <mutex>
#include <thread>
#include <vector>

// What the opening threads share with the opener: whether it still wants their results, and
// the results that have come in. The results cross under the lock, not inside Qt's queued
// call, whose ordering the thread checker cannot see.
struct TLinkOpener::TMailbox {
    struct TResult {
        int32_t KestId;
        uint8_t Handle;
        TLinkOpening Opening;
    };
    std::mutex Lock;
    TLinkOpener* Receiver = nullptr;
    std::vector<TResult> Results;
};

TLinkOpener::TLinkOpener() : Mailbox(std::make_shared<TMailbox>()) {
    Mailbox->Receiver = this;
}

TLinkOpener::~TLinkOpener() {
    const std::lock_guard<std::mutex> lock(Mailbox->Lock);
    Mailbox->Receiver = nullptr;
    for (const TMailbox::TResult& result : Mailbox->Results) {
        if (result.Opening.Handle >= 0) {
            Pc2Lan_Disconnect(result.Opening.Handle);
            Pc2Lan_Delete(result.Opening.Handle);
        }
    }
    Mailbox->Results.clear();
}

void TLinkOpener::Open(int32_t kestId, uint8_t handle, const TKestRow& row) {
    std::thread([mailbox = Mailbox, kestId, handle, row] {
        const TLinkOpening opening = OpenLink(handle, row);
        const std::lock_guard<std::mutex> lock(mailbox->Lock);
        if (mailbox->Receiver == nullptr) {
            if (opening.Handle >= 0) {
                Pc2Lan_Disconnect(opening.Handle);
                Pc2Lan_Delete(opening.Handle);
            }
            return;
        }
        mailbox->Results.push_back({kestId, handle, opening});
        // Posted under the lock: the opener cannot be destroyed in between, and destroying it
        // drops what is posted to it.
        QMetaObject::invokeMethod(mailbox->Receiver, "Deliver", Qt::QueuedConnection);
    }).detach();
}

void TLinkOpener::Deliver() {
    std::vector<TMailbox::TResult> results;
    {
        const std::lock_guard<std::mutex> lock(Mailbox->Lock);
        results.swap(Mailbox->Results);
    }
    for (const TMailbox::TResult& result : results) {
        if (OnOpened) {
            OnOpened(result.KestId, result.Handle, result.Opening);
        }
    }
}
