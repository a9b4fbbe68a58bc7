// Opens box links on threads of their own. Logging a box in blocks for as long as the link's
// time-outs allow (21 s for a TCP connect that is never answered); on the main thread that would
// hold up every other box's polling, publishing and downloads.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "Sessions.h"
#include "dmUser.h"

class TLinkOpener : public QObject {
    Q_OBJECT

public:
    TLinkOpener();
    // An opening still running goes on; its link is closed again when it ends.
    ~TLinkOpener() override;
    TLinkOpener(const TLinkOpener&) = delete;
    TLinkOpener& operator=(const TLinkOpener&) = delete;

    // Opens handle to the box of row; OnOpened runs on the main thread once it has ended, the
    // link then belonging to the receiver.
    void Open(int32_t kestId, uint8_t handle, const TKestRow& row);

    std::function<void(int32_t kestId, uint8_t handle, const TLinkOpening& opening)> OnOpened;

private:
    // Runs OnOpened for every opening that has ended (queued by the opening threads).
    Q_INVOKABLE void Deliver();

    struct TMailbox;
    std::shared_ptr<TMailbox> Mailbox;
};
