#include "services/transport/ZDTCORTransportSummary.h"

#include <cmath>
#include <filesystem>
#include <sstream>

#include "platform/dispatch/Clock.h"
#include "services/transport/ZDTCORFlatFileNames.h"
#include "services/transport/ZDTCORPlatform.h"
#include "services/transport/ZDTLGSUploader.h"

namespace fs = std::filesystem;

std::string ZDTCORTransportSummary() {
    const fs::path root = fs::path(ZDTCORStateDirectory().path()) / "ZDTCORFlatFileStorage";
    std::ostringstream out;
    out << "Event transport:";
    for (ZDTCORTarget target : {ZDTCORTargetStorageOnly, ZDTCORTargetLGS, ZDTCORTargetRLG,
                                ZDTCORTargetCRS, ZDTCORTargetINT}) {
        std::size_t events = 0, batches = 0, batched = 0;
        std::error_code ec;
        for (fs::directory_iterator it(root / "zdt_event_data" / std::to_string(target), ec), end;
             !ec && it != end; it.increment(ec)) {
            if (ZDTCORParseEventFileName(it->path().filename().string())) ++events;
        }
        ec.clear();
        for (fs::directory_iterator it(root / "zdt_batch_data", ec), end; !ec && it != end;
             it.increment(ec)) {
            auto c = ZDTCORParseBatchDirName(it->path().filename().string());
            if (!c || c->target != target) continue;
            ++batches;
            std::error_code inner;
            for (fs::directory_iterator e(it->path(), inner), stop; !inner && e != stop;
                 e.increment(inner))
                ++batched;
        }
        out << "\n  target " << target << " (" << ZDTLGSTargetName(target) << "): " << events
            << " stored, " << batches << " batches (" << batched << " events)";
    }
    if (auto last = ZDTLGSUploader::sharedInstance()->lastUpload()) {
        out << "\n  last upload: target " << last->target << ", " << last->events
            << " events, status "
            << (last->status ? std::to_string(last->status) : std::string("none")) << ", "
            << static_cast<long long>(std::floor(sim::wallClockSeconds() - last->wallTime))
            << " s ago";
    } else {
        out << "\n  no upload yet";
    }
    return out.str();
}
