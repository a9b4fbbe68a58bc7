#include "LinkOpener.h"

#include <mutex>
#include <thread>

// What the opening threads share with the opener: whether it still wants their results.
struct TLinkOpener::TMailbox {
    std::mutex Lock;
    TLinkOpener* Receiver = nullptr;
};

TLinkOpener::TLinkOpener() : Mailbox(std::make_shared<TMailbox>()) {}

TLinkOpener::~TLinkOpener() {
    const std::lock_guard<std::mutex> lock(Mailbox->Lock);
    Mailbox->Receiver = nullptr;
}

void TLinkOpener::Open(int32_t kestId, uint8_t handle, const TKestRow& row) {
    {
        const std::lock_guard<std::mutex> lock(Mailbox->Lock);
        Mailbox->Receiver = this;
    }
    ++Running;
    std::thread([mailbox = Mailbox, kestId, handle, row] {
        const TLinkOpening opening = OpenLink(handle, row);
        const std::lock_guard<std::mutex> lock(mailbox->Lock);
        TLinkOpener* receiver = mailbox->Receiver;
        if (receiver == nullptr) {
            if (opening.Handle >= 0) {
                Pc2Lan_Disconnect(opening.Handle);
                Pc2Lan_Delete(opening.Handle);
            }
            return;
        }
        // Posted under the lock: the opener cannot be destroyed in between, and destroying it
        // drops what is posted to it.
        QMetaObject::invokeMethod(
            receiver,
            [receiver, kestId, handle, opening] {
                --receiver->Running;
                if (receiver->OnOpened) {
                    receiver->OnOpened(kestId, handle, opening);
                }
            },
            Qt::QueuedConnection);
    }).detach();
}
