#pragma once
// Writes a multipart/form-data body part by part into an output stream,
// counting the bytes written, and fills a request with the body and its
// Content-Type and Content-Length. A short write is never retried: the part
// is left incomplete, and the count holds every byte the stream took (also
// those of the short write), so Content-Length always matches the bytes
// collected.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "platform/net/NSURL.h"
#include "platform/net/NSURLRequest.h"
#include "platform/foundation/OutputStream.h"

class RZRCTRMultipartMimeStreamEncoder : public NSObject {
  public:
    using EncodeBlock = std::function<void(RZRCTRMultipartMimeStreamEncoder& encoder)>;

    // Encodes into memory, then sets the request's body and headers.
    static void populateRequest(NSURLRequest& request, const EncodeBlock& block);
    // A null boundary gets a new one.
    static std::shared_ptr<RZRCTRMultipartMimeStreamEncoder> encoderWithStream(
        std::shared_ptr<NSOutputStream> stream, std::optional<std::string> boundary);
    RZRCTRMultipartMimeStreamEncoder(std::shared_ptr<NSOutputStream> stream,
                                     std::optional<std::string> boundary);
    std::string className() const override { return "RZRCTRMultipartMimeStreamEncoder"; }

    static std::string generateBoundary();
    static std::string contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary);
    std::string contentTypeHTTPHeaderValue() const;
    std::string contentLengthHTTPHeaderValue() const;

    void encode(const EncodeBlock& block);
    void beginEncoding();
    void endEncoding();

    // A value part; refused (logged) for an empty name or a null value.
    void addValue(const Value& value, const std::string& fieldName);
    // A file part; refused (logged) for empty data, an empty field name or
    // an empty file name.
    void addFileData(const Data& data, const std::string& fileName,
                     const std::optional<std::string>& mimeType, const std::string& fieldName);
    // The file's whole contents as a file part; an unreadable file adds
    // nothing.
    void addFile(const NSURL& fileURL, const std::string& fileName,
                 const std::optional<std::string>& mimeType, const std::string& fieldName);

    void writeData(const Data& data);
    bool writeBytes(const std::uint8_t* bytes, std::size_t length);

    const std::string& boundary() const { return boundary_; }
    std::uint64_t length() const { return length_; }
    const std::shared_ptr<NSOutputStream>& outputStream() const { return stream_; }

  private:
    bool writeText(const std::string& text);

    std::shared_ptr<NSOutputStream> stream_;
    std::string boundary_;
    std::uint64_t length_ = 0;
};
