#include "services/crash/RZRCTRByteUtilities.h"

#include <openssl/evp.h>
#include <uuid/uuid.h>

#include <memory>
#include <vector>

#include "services/core/RZRReruzeraVersion.h"
#include "services/crash/RZRCTRHex.h"

namespace {

std::optional<std::string> digestHex(const EVP_MD* type, const void* bytes, std::uint32_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    static const unsigned char kEmpty = 0;
    if (EVP_Digest(bytes ? bytes : &kEmpty, bytes ? length : 0, digest, &size, type, nullptr) !=
        1) {
        return std::nullopt;
    }
    std::string hex(2 * size + 1, '\0');
    RZRCTRSafeHexToString(digest, size, hex.data());
    hex.resize(2 * size);
    return hex;
}

}  // namespace

std::optional<std::string> RZRCTRGenerateSHA1HexString(const void* bytes, std::uint32_t length) {
    return digestHex(EVP_sha1(), bytes, length);
}

std::optional<std::string> RZRCTRHashNSData(const Data& data) {
    return RZRCTRGenerateSHA1HexString(data.data(), static_cast<std::uint32_t>(data.size()));
}

std::optional<std::string> RZRCTRGenerateSHA256HexString(const void* bytes, std::uint32_t length) {
    return digestHex(EVP_sha256(), bytes, length);
}

std::optional<std::string> RZRCTR256HashNSData(const Data& data) {
    return RZRCTRGenerateSHA256HexString(data.data(), static_cast<std::uint32_t>(data.size()));
}

void RZRCTREnumerateByteRangesOfNSDataUsingBlock(
    const Data& data,
    const std::function<void(const std::uint8_t* bytes, RZRCTRByteRange range, bool* stop)>&
        block) {
    if (!block) return;
    bool stop = false;
    block(data.data(), RZRCTRByteRange{0, data.size()}, &stop);
}

std::string RZRCTRGenerateUUID() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

std::string RZRCTRUUIDToNSString(const std::uint8_t* uuid) {
    if (!uuid) return {};
    char hex[33];
    RZRCTRSafeHexToString(uuid, 16, hex);
    return hex;
}

std::string RZRCTRSDKVersion() {
    return RZRReruzeraVersion();
}

std::string RZRCTRSDKGeneratorName() {
    return "Crashtrace macOS SDK/" + RZRCTRSDKVersion();
}
