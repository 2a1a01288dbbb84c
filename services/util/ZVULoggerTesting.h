#pragma once
// Tests only: control of the shared logger.

namespace sim {
// Waits until every line submitted so far has been written.
void flushZVULogger();
// Back to the state right after set-up: level 5, no force-debug flag, no
// version, no standard-error copy.
void resetZVULoggerForTesting();
}  // namespace sim
