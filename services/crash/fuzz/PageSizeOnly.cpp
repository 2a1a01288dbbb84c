// The fuzz build links the allocator without the host facts, which need
// folders it does not build; the allocator asks them only for the page size.
#include <unistd.h>

#include "services/crash/RZRCTRHost.h"

std::uint32_t RZRCTRHostGetPageSize() {
    return static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
}
