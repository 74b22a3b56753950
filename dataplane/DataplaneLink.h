#pragma once
// The channel an application owns to one dataplane module. DataplaneKrnlink is the only
// implementation; owners and tests hold it as ozy::RefPtr<DataplaneLink>.
#include "dataplane/DpFraming.h"
#include "runtime/RefCounted.h"

namespace CfgAgent {

class DataplaneLink : public RefCounter<DataplaneLink> {
  public:
    // Values passed to the owner's link-status handler.
    enum Status : int {
        kLinkUp = 0,
        kLinkDown = 1,
    };

    virtual ~DataplaneLink() = default;
    // Opens the link, arms the reopen timer and starts the sender and receiver loops.
    virtual bool Start() = 0;
    // Stops the timer, closes the link and makes both loops return.
    virtual void Stop() = 0;
    // Re-arms the reopen timer for 5 seconds from now.
    virtual void ScheduleReopen() = 0;
    // Queues one framed message (ownership passes to the link in every case).
    virtual bool Send(DpMsg msg) = 0;
    // Called by the receive handler: more input waits to be read, or arrives within `waitMs`
    // milliseconds (0: right now); the next message's handling then follows at once. False when
    // the link cannot tell.
    virtual bool ReceivePending(int waitMs) {
        (void)waitMs;
        return false;
    }
};

}  // namespace CfgAgent
