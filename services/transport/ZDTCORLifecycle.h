#pragma once
// Relays the transport's three lifecycle notices to the transformer, the
// upload coordinator and the registrar, in that order, on the posting
// thread.

#include <memory>

#include "platform/foundation/Object.h"

class ZDTCORLifecycle : public NSObject {
  public:
    static std::shared_ptr<ZDTCORLifecycle> sharedInstance();
    ZDTCORLifecycle();
    ~ZDTCORLifecycle() override;
};

// Brings the transport up once per process: the application object, the
// lifecycle relay, the flat-file storage (registered for its targets, with
// its start-up sweep), the uploader and the upload coordinator's timer.
void ZDTCORLoadTransport();
