#include "services/transport/ZDTLGSReply.h"

#include <pb_decode.h>

#include <string>

#include "LogUpload.pb.h"

ZDTLGSReply ZDTLGSDecodeReply(const Data& body, NSError* error) {
    zdtlgs_UploadReply reply = zdtlgs_UploadReply_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(body.data(), body.size());
    ZDTLGSReply result;
    if (!pb_decode(&stream, zdtlgs_UploadReply_fields, &reply)) {
        if (error) {
            Dictionary info;
            const char* message = PB_GET_ERROR(&stream);
            info.set("nanopb error:", std::string(message ? message : "(none)"));
            *error = NSError("NSURLErrorDomain", -1, std::move(info));
        }
        pb_release(zdtlgs_UploadReply_fields, &reply);
        return result;
    }
    if (reply.has_wait_before_next_ms) result.waitBeforeNextMs = reply.wait_before_next_ms;
    result.hasQosRules = reply.has_qos_rules;
    pb_release(zdtlgs_UploadReply_fields, &reply);
    return result;
}
