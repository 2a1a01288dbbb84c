#pragma once
// The remote-configuration client's log lines: service tag, message code and
// text, at the levels of the shared logger.

#include <string>

#include "platform/log/Log.h"

inline void RCNLog(OSLogType level, const std::string& code, const std::string& message) {
    static const auto* const log = new OSLog(
        *os_log_create("com.zevera.reruzera", "RemoteConfig"));  // used until the last thread ends
    os_log_with_type(*log, level, "[Reruzera/RemoteConfig][" + code + "] " + message);
}
