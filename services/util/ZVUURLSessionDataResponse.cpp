#include "services/util/ZVUURLSessionDataResponse.h"

std::shared_ptr<PRMPromise> zvu_dataTaskPromiseWithRequest(
    const std::shared_ptr<NSURLSession>& session, const NSURLRequest& request) {
    return PRMPromise::async(
        [session, request](PRMPromise::FulfillBlock fulfill, PRMPromise::RejectBlock reject) {
            auto task = session->dataTaskWithRequest(
                request,
                [fulfill, reject](std::optional<Data> data, std::shared_ptr<NSURLResponse> response,
                                  std::optional<NSError> error) {
                    if (error) {
                        reject(*error);
                        return;
                    }
                    fulfill(ZVUURLSessionDataResponse::initWithResponse(
                        std::dynamic_pointer_cast<NSHTTPURLResponse>(response), std::move(data)));
                });
            if (!task) {
                // An invalidated session makes no task; the promise must still settle.
                reject(NSError("NSURLErrorDomain", -999));
                return;
            }
            task->resume();
        });
}
