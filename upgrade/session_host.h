#pragma once

#include "upgrade/session_events.h"

namespace fk {

// A front end as the upload session sees it: where the events go. OnEvent is called from
// whichever thread made the event (the caller of StartUpload and StopUpload, or the network
// thread), one call at a time per upload and in the order the events happened, never under a lock
// of the session's. It must not wait: a front end that shows or sounds something queues it.
class SessionHost {
  public:
    virtual ~SessionHost() = default;
    virtual void OnEvent(const SessionEvent& event) = 0;
};

}  // namespace fk
