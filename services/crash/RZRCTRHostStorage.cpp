// Crash-time code: no allocation, no locks, no stdio.
#include <sys/statvfs.h>

#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHost.h"

void RZRCTRHostRecordStorage(RZRCTRFile* file) {
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    const char* documents = readonly ? readonly->host.documentDirectoryPath : nullptr;
    RZRCTRFileOpenSection(file, "storage");
    RZRCTRFileOpenHash(file);
    struct statvfs volume;
    if (documents && ::statvfs(documents, &volume) == 0) {
        const auto blockSize = static_cast<std::uint32_t>(volume.f_frsize);
        RZRCTRFileWriteUInt64Entry(file, "free",
                                   static_cast<std::uint64_t>(volume.f_bavail) * blockSize);
        RZRCTRFileWriteUInt64Entry(file, "total",
                                   static_cast<std::uint64_t>(volume.f_blocks) * blockSize);
    }
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}
