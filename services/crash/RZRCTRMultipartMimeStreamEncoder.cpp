#include "services/crash/RZRCTRMultipartMimeStreamEncoder.h"

#include <utility>

#include "platform/foundation/FileSystem.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRUtilities.h"

void RZRCTRMultipartMimeStreamEncoder::populateRequest(NSURLRequest& request,
                                                       const EncodeBlock& block) {
    auto stream = std::make_shared<NSMemoryOutputStream>();
    RZRCTRMultipartMimeStreamEncoder encoder(stream, generateBoundary());
    encoder.encode(block);
    request.setValue(encoder.contentTypeHTTPHeaderValue(), "Content-Type");
    request.setValue(encoder.contentLengthHTTPHeaderValue(), "Content-Length");
    request.HTTPBody = stream->dataWritten();
}

std::shared_ptr<RZRCTRMultipartMimeStreamEncoder>
RZRCTRMultipartMimeStreamEncoder::encoderWithStream(std::shared_ptr<NSOutputStream> stream,
                                                    std::optional<std::string> boundary) {
    return std::make_shared<RZRCTRMultipartMimeStreamEncoder>(std::move(stream),
                                                              std::move(boundary));
}

RZRCTRMultipartMimeStreamEncoder::RZRCTRMultipartMimeStreamEncoder(
    std::shared_ptr<NSOutputStream> stream, std::optional<std::string> boundary)
    : stream_(std::move(stream)), boundary_(boundary ? *boundary : generateBoundary()) {}

std::string RZRCTRMultipartMimeStreamEncoder::generateBoundary() {
    return RZRCTRGenerateUUID();
}

std::string RZRCTRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
    const std::string& boundary) {
    return "multipart/form-data; boundary=" + boundary;
}

std::string RZRCTRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
    return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string RZRCTRMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const {
    return std::to_string(length_);
}

void RZRCTRMultipartMimeStreamEncoder::encode(const EncodeBlock& block) {
    beginEncoding();
    block(*this);
    endEncoding();
}

void RZRCTRMultipartMimeStreamEncoder::beginEncoding() {
    length_ = 0;
    stream_->open();
    writeText("MIME-Version: 1.0\r\n");
}

void RZRCTRMultipartMimeStreamEncoder::endEncoding() {
    writeText("--" + boundary_ + "--\r\n");
    stream_->close();
}

void RZRCTRMultipartMimeStreamEncoder::addValue(const Value& value, const std::string& fieldName) {
    if (fieldName.empty() || value.isNull()) {
        RZRCTRErrorLog("name (%@) or value (%@) is invalid", fieldName, value);
        return;
    }
    const std::string text = value.isString() ? *value.asString() : value.description();
    if (!writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + fieldName +
                   "\"\r\n"))
        return;
    if (!writeText("Content-Type: text/plain\r\n\r\n")) return;
    writeText(text + "\r\n");
}

void RZRCTRMultipartMimeStreamEncoder::addFileData(const Data& data, const std::string& fileName,
                                                   const std::optional<std::string>& mimeType,
                                                   const std::string& fieldName) {
    if (data.empty()) {
        RZRCTRErrorLog("Unable to MIME encode data with zero length (%@)", fieldName);
        return;
    }
    if (fieldName.empty() || fileName.empty()) {
        RZRCTRErrorLog("name (%@) or fieldname (%@) is invalid", fieldName, fileName);
        return;
    }
    if (!writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + fieldName +
                   "\"; filename=\"" + fileName + "\"\r\n"))
        return;
    const bool written = mimeType ? writeText("Content-Type: " + *mimeType + "\r\n") &&
                                        writeText("Content-Transfer-Encoding: binary\r\n\r\n")
                                  : writeText("Content-Type: application/octet-stream\r\n\r\n");
    if (!written) return;
    const std::uint64_t before = length_;
    writeData(data);
    if (length_ - before != data.size()) return;
    writeText("\r\n");
}

void RZRCTRMultipartMimeStreamEncoder::addFile(const NSURL& fileURL, const std::string& fileName,
                                               const std::optional<std::string>& mimeType,
                                               const std::string& fieldName) {
    auto data = sim::FileSystem::readFile(fileURL.path());
    addFileData(data.value_or(Data{}), fileName, mimeType, fieldName);
}

void RZRCTRMultipartMimeStreamEncoder::writeData(const Data& data) {
    RZRCTREnumerateByteRangesOfNSDataUsingBlock(
        data, [this](const std::uint8_t* bytes, RZRCTRByteRange range, bool* stop) {
            const long written = stream_->write(bytes, range.length);
            // Bytes a short write did take are in the stream: count them.
            if (written > 0) length_ += static_cast<std::uint64_t>(written);
            if (written < 0 || static_cast<std::size_t>(written) != range.length) {
                RZRCTRErrorLog("Failed to write data to stream");
                *stop = true;
            }
        });
}

bool RZRCTRMultipartMimeStreamEncoder::writeBytes(const std::uint8_t* bytes, std::size_t length) {
    const long written = stream_->write(bytes, length);
    if (written > 0) length_ += static_cast<std::uint64_t>(written);
    if (written < 0 || static_cast<std::size_t>(written) != length) {
        RZRCTRErrorLog("Failed to write bytes to stream");
        return false;
    }
    return true;
}

bool RZRCTRMultipartMimeStreamEncoder::writeText(const std::string& text) {
    return writeBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
